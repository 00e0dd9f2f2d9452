// One reader of a PC/SC host (see reader_context.h).

#include "reader_context.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <thread>

#include "atr.h"
#include "t0_engine.h"
#include "transmit.h"

namespace ttycard::ifd {
namespace {

// The T=1 exchange of a PC/SC host: blocks of the card's size, the largest
// IFSD the reader can return, every reply but a granted extension awaited
// for the reader-command block time, answers of any length.
constexpr t1::Config kHostT1{
    .fixed_chunks = false,
    .per_block_waits = true,
    .base_block_time = ADM_COMMAND_BLOCK_TIME,
    .max_response = kMaxResponse,
    .max_transactions = 20000,
    .ifsd_wanted = kIfsd,
};

}  // namespace

Reader::Line::Line(Reader& r) : r_(r) {
  r_.port_.buffered = true;
}
bool Reader::Line::Read(int count, unsigned char* buf) {
  return serial::Read(r_.port_, count, buf);
}
bool Reader::Line::ReadRest(int count, unsigned char* buf) {
  return serial::Read(r_.port_, count, buf, serial::Arrival::kRest);
}
bool Reader::Line::Write(int count, const unsigned char* data) {
  return serial::Write(r_.port_, count, data);
}
bool Reader::Line::Flush() {
  return serial::FlushInput(r_.port_);
}
void Reader::Line::SetBlockTime(int seconds) {
  if (r_.record_.blocktime == seconds) return;
  r_.record_.blocktime = seconds;
  r_.events_.BlockTime(seconds);
}

int Reader::Channel::Transmit(const unsigned char* frame, int len, unsigned char* reply,
                              unsigned int* replylen) {
  return link::Transmit(r_.link_, frame, len, reply, replylen);
}

Reader::Reader(ReaderEvents& events, int command_block_time, int t0_block_time)
    : events_(events),
      command_block_time_(command_block_time),
      t0_block_time_(t0_block_time),
      t1_config_(kHostT1) {
  t1_config_.base_block_time = command_block_time;
  link_.unchecked_notice = &Reader::Unchecked;
  link_.notice_context = this;
}

void Reader::Unchecked(void* self) {
  static_cast<Reader*>(self)->events_.UncheckedReader();
}

void Reader::ForgetCard() {
  atr_.fill(0);
  atr_length_ = 0;
  protocol_ = 0;
  t1::CardReset(t1_, 32, true, t1_config_);
}

// Opening the line and the reader's start-up are apart: the port is
// configured here, and the settle time runs on the clock while the host does
// other work (pcscd opens every reader of its configuration before it serves
// a client). Whoever uses the line first after it calls Settle().
serial::OpenError Reader::Start(const char* device, int* err_no) {
  const serial::OpenError error = serial::Open(port_, link::kBaud, link::kDataBits, link::kParity,
                                               device, err_no, serial::Pause::kByCaller);
  if (error != serial::OpenError::kNone) return error;
  const auto deadline = std::chrono::steady_clock::now() + kSettleTime;
  settle_until_.store(deadline.time_since_epoch().count(), std::memory_order_relaxed);
  settling_ = true;
  link_.Restart();
  ForgetCard();
  line_.SetBlockTime(command_block_time_);
  return error;
}

serial::OpenError Reader::Open(const char* device, int* err_no) {
  const serial::OpenError error = Start(device, err_no);
  if (error != serial::OpenError::kNone) return error;
  std::this_thread::sleep_until(SettleDeadline());
  Settle();
  return error;
}

bool Reader::Settle() {
  if (!settling_) return true;
  if (std::chrono::steady_clock::now() < SettleDeadline()) return false;
  settling_ = false;
  // Whatever the UART and the reader produced while they came up is noise.
  // A line that cannot even be flushed has failed.
  if (!serial::FlushInput(port_)) port_.lost = true;
  return true;
}

void Reader::Close() {
  serial::Close(port_);
  settling_ = false;
  settle_until_.store(0, std::memory_order_relaxed);
  ForgetCard();
}

std::uint32_t Reader::PowerUp(bool /*reset*/) {
  // Power-up and reset are one reader command.
  line_.SetBlockTime(command_block_time_);
  std::array<unsigned char, ADM_MAX_WIDE_REPLY> atr{};
  unsigned int length = 0;
  // A reset can be repeated: a reply damaged on the line is asked for again.
  int result = ADM_COMM_ERROR;
  for (int attempt = 0; attempt < kCommandTries && result != ADM_OK && !port_.lost; ++attempt) {
    result = link::ResetIcc(link_, atr.data(), &length);
  }
  // The reader answers a reset of an empty slot with an empty ATR; every card
  // has at least TS and T0. A fresh card: its own IFSC, our IFSD to be
  // announced, its first I-block numbered 0 both ways, and the protocol its
  // ATR sets. A reset that brings no ATR ends the card session all the same.
  const bool taken =
      result == ADM_OK && atr::Take({atr.data(), std::min<std::size_t>(length, atr.size())}, false,
                                    atr_, &atr_length_, [this](const atr::Info& info) {
                                      t1::CardReset(t1_, info.ifsc, true, t1_config_);
                                      protocol_ = info.runs & (kRunsT0 | kRunsT1);
                                    });
  if (taken) return IFD_SUCCESS;
  ForgetCard();
  return IFD_ERROR_POWER_ACTION;
}

std::uint32_t Reader::PowerDown() {
  line_.SetBlockTime(command_block_time_);
  if (link::UnpowerIcc(link_) != ADM_OK) return IFD_ERROR_POWER_ACTION;
  ForgetCard();
  return IFD_SUCCESS;
}

std::uint32_t Reader::Presence(int tries) {
  // A settling reader cannot be asked yet; nobody can have powered a card in
  // it since it was opened.
  if (!Settle()) return IFD_ICC_NOT_PRESENT;
  line_.SetBlockTime(command_block_time_);
  int result = ADM_COMM_ERROR;
  for (int attempt = 0; attempt < tries && result == ADM_COMM_ERROR && !port_.lost; ++attempt) {
    result = link::IccPresence(link_);
  }
  switch (result) {
    case ADM_OK:
      return IFD_ICC_PRESENT;
    case ADM_FAILURE:
      // The card was pulled: whatever it was powered with is gone with it.
      if (atr_length_ > 0) ForgetCard();
      return IFD_ICC_NOT_PRESENT;
    default:
      return IFD_COMMUNICATION_ERROR;
  }
}

std::uint32_t Reader::Transmit(std::uint32_t protocol, std::span<const unsigned char> tx,
                               unsigned char* rx, std::size_t capacity, std::size_t* rxlen) {
  *rxlen = 0;
  if (atr_length_ == 0) return IFD_COMMUNICATION_ERROR;  // no card powered
  // The card runs one protocol from its ATR on: a command in another one
  // would only confuse it, and never reaches it.
  if (protocol > kProtocolT1 || (protocol_ >> protocol & 1u) == 0) {
    return IFD_PROTOCOL_NOT_SUPPORTED;
  }
  // T=1 on this road: the card's block sizes, APDUs up to an extended case 4.
  const auto exchange_t1 = [this](std::span<const unsigned char> apdu, std::span<unsigned char> out,
                                  std::size_t* outlen) {
    if (apdu.size() > kMaxCommand) return ADM_FAILURE;
    return t1::Exchange(channel_, t1_config_, t1_, apdu, out, outlen);
  };
  return Send(channel_, t0_block_time_, exchange_t1, protocol, tx, {rx, capacity}, rxlen);
}

}  // namespace ttycard::ifd
