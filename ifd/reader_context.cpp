// One reader of a PC/SC host (see reader_context.h).

#include "reader_context.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <thread>

#include "atr.h"
#include "t0_engine.h"

namespace ttycard::ifd {
namespace {

constexpr std::uint32_t kProtocolT0 = 0;
constexpr std::uint32_t kProtocolT1 = 1;
constexpr std::size_t kCase1 = 4;
// Reader commands that can safely be repeated (reset, status) are tried this
// often when their reply is damaged.
constexpr int kCommandTries = 3;

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
  t1::CardReset(t1_, 32, true, t1_config_);
}

serial::OpenError Reader::Open(const char* device, int* err_no) {
  const serial::OpenError error =
      serial::Open(port_, link::kBaud, link::kDataBits, link::kParity, device, err_no);
  if (error != serial::OpenError::kNone) return error;
  link_.Restart();
  ForgetCard();
  std::this_thread::sleep_for(link::kReaderSettle);
  line_.SetBlockTime(command_block_time_);
  return error;
}

void Reader::Close() {
  serial::Close(port_);
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
  if (result != ADM_OK) return IFD_ERROR_POWER_ACTION;
  // The reader answers a reset of an empty slot with an empty ATR; every card
  // has at least TS and T0. No ATR is longer than 33 bytes.
  if (length == 0 || length > atr_.size()) return IFD_ERROR_POWER_ACTION;
  atr_.fill(0);
  std::memcpy(atr_.data(), atr.data(), length);
  atr_length_ = length;
  // A fresh card: its own IFSC, our IFSD to be announced, and its first
  // I-block numbered 0 both ways.
  t1::CardReset(t1_, atr::Parse(atr_.data(), atr_length_).ifsc, true, t1_config_);
  return IFD_SUCCESS;
}

std::uint32_t Reader::PowerDown() {
  line_.SetBlockTime(command_block_time_);
  if (link::UnpowerIcc(link_) != ADM_OK) return IFD_ERROR_POWER_ACTION;
  atr_.fill(0);
  atr_length_ = 0;
  return IFD_SUCCESS;
}

std::uint32_t Reader::Presence() {
  line_.SetBlockTime(command_block_time_);
  int result = ADM_COMM_ERROR;
  for (int attempt = 0; attempt < kCommandTries && result == ADM_COMM_ERROR && !port_.lost;
       ++attempt) {
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
  if (tx.size() < kCase1 || tx.data() == nullptr || rx == nullptr) return IFD_ERROR_NOT_SUPPORTED;
  std::size_t length = 0;
  int result = ADM_COMM_ERROR;
  if (protocol == kProtocolT0) {
    // The reader's T=0 frame carries at most 254 APDU bytes: a longer
    // command is refused before anything is sent. A case 1 command gets
    // T=0's P3 of 0 ("no data") in a copy.
    if (tx.size() > kMaxT0Command) return IFD_ERROR_NOT_SUPPORTED;
    std::array<unsigned char, kMaxT0Command> apdu{};
    std::memcpy(apdu.data(), tx.data(), tx.size());
    const std::size_t n = tx.size() == kCase1 ? kCase1 + 1 : tx.size();
    result = t0::Exchange(channel_, {apdu.data(), n}, {rx, capacity}, &length, t0_block_time_);
  } else if (protocol == kProtocolT1) {
    if (tx.size() > kMaxCommand) return IFD_ERROR_NOT_SUPPORTED;
    // In T=1 a case 1 command is its four bytes.
    result = t1::Exchange(channel_, t1_config_, t1_, tx, {rx, capacity}, &length);
  } else {
    return IFD_PROTOCOL_NOT_SUPPORTED;
  }
  if (result != ADM_OK) return IFD_COMMUNICATION_ERROR;
  *rxlen = length;
  return IFD_SUCCESS;
}

}  // namespace ttycard::ifd
