// The card's end of a T=1 exchange (t1_block_line.h). Rules are the numbered
// rules of ISO/IEC 7816-3, 11.6.

#include "t1_block_line.h"

#include <algorithm>

#include "blockproto.h"

namespace ttycard::t1 {
namespace {

constexpr int kMaxRequests = 64;
constexpr unsigned int kMinIfs = 1;
constexpr unsigned int kMaxIfs = 254;

}  // namespace

int BlockLine::Resynchronise() {
  for (int attempt = 0; attempt < kMaxRetries; ++attempt) {
    const std::array<unsigned char, kOverhead> block{kNad, kSResynchRequest, 0, kSResynchRequest};
    if (!Transact(block.data(), block.size())) return ADM_COMM_ERROR;
    if (Classify() != Kind::kDamaged && Pcb() == (kSResynchRequest | kSResponse) && Len() == 0) {
      *state_.ns = 0;
      *state_.nr = 0;
      state_.resync_pending = false;
      card_may_hold_part_ = false;
      // Both ends are back at the values the ATR gave.
      state_.ifsc = state_.atr_ifsc;
      state_.ifsd = 32;
      state_.ifs_pending = config_.ifsd_wanted != 0;
      state_.ifs_refused = false;
      return ADM_OK;
    }
  }
  return ADM_COMM_ERROR;
}

void BlockLine::NegotiateIfsd(unsigned int size) {
  state_.ifs_pending = false;
  const auto want = static_cast<unsigned char>(size);
  std::array<unsigned char, kOverhead + 1> block{kNad, kSIfsRequest, 1, want, 0};
  block[4] = T1CalculateLRC(block.data(), 4);
  for (int attempt = 0; attempt < kMaxRetries; ++attempt) {
    if (!Transact(block.data(), block.size())) return;
    const Kind kind = Classify();
    if (kind == Kind::kDamaged) continue;  // rule 7.2: the request again
    if (Pcb() == (kSIfsRequest | kSResponse) && Len() == 1 && reply_[kPrologue] == want) {
      state_.ifsd = want;
    } else {
      state_.ifs_refused = true;
    }
    return;
  }
}

bool BlockLine::Transact(const unsigned char* block, std::size_t n) {
  if (++transactions_ > config_.max_transactions) return false;
  if (config_.per_block_waits) {
    channel_.SetBlockTime(next_wait_ > 0 ? next_wait_ : config_.base_block_time);
    next_wait_ = 0;
  }
  card_may_hold_part_ = true;
  unsigned int got = 0;
  reply_ok_ = Quelt(channel_, block, static_cast<int>(n), reply_.data(), &got) == ADM_OK;
  reply_length_ = reply_ok_ ? got : 0;
  return true;
}

bool BlockLine::SendR(unsigned char error) {
  std::array<unsigned char, kOverhead> block{
      kNad, static_cast<unsigned char>(kRBlock | ((*state_.nr & 1) ? kRBlockNr : 0) | error), 0, 0};
  block[3] = T1CalculateLRC(block.data(), 3);
  return Transact(block.data(), block.size());
}

bool BlockLine::SendS(unsigned char pcb, std::span<const unsigned char> inf) {
  std::array<unsigned char, kOverhead + 1> block{kNad, pcb, static_cast<unsigned char>(inf.size())};
  if (!inf.empty()) block[kPrologue] = inf[0];
  block[kPrologue + inf.size()] = T1CalculateLRC(block.data(), kPrologue + inf.size());
  return Transact(block.data(), kOverhead + inf.size());
}

Kind BlockLine::Classify() {
  // Rule 7.1: a block whose length or LRC does not add up, or no block at
  // all, is an error of transmission, whatever its PCB says.
  if (!reply_ok_ || reply_length_ < kOverhead || reply_length_ != kOverhead + Len() ||
      T1CalculateLRC(reply_.data(), reply_length_ - 1) != reply_[reply_length_ - 1]) {
    saw_damage_ = true;
    return Kind::kDamaged;
  }
  const PcbFields pcb = ReadPcb(Pcb());
  switch (pcb.type) {
    case BlockType::kI:
      return Kind::kI;
    case BlockType::kR:
      return Len() == 0 ? Kind::kR : Kind::kOdd;
    case BlockType::kS:
      break;
  }
  // From the card only IFS, ABORT and WTX requests make sense here.
  if (pcb.s_response || !pcb.s_plain) return Kind::kOdd;
  if (pcb.s_type == kSTypeAbort) return Kind::kSRequest;
  if ((pcb.s_type == kSTypeIfs || pcb.s_type == kSTypeWtx) && Len() == 1) return Kind::kSRequest;
  return Kind::kOdd;
}

bool BlockLine::SettleRequests() {
  for (int requests = 0; Classify() == Kind::kSRequest;) {
    if (++requests > kMaxRequests) return false;
    const unsigned char pcb = Pcb();
    const unsigned char inf = reply_[kPrologue];
    if (pcb == kSAbortRequest) {
      // Rule 9: the card gives up the chain; confirm and stop.
      SendS(kSAbortRequest | kSResponse, {});
      return false;
    }
    if (pcb == kSWtxRequest) {
      // Rule 3: the time is granted before the answer goes out, for the
      // card's next block only or until changed, as the road wants.
      const int granted = WtxBlockTime(config_, inf);
      if (config_.per_block_waits) {
        next_wait_ = granted;
      } else {
        channel_.SetBlockTime(granted);
      }
    }
    if (pcb == kSIfsRequest && inf >= kMinIfs && inf <= kMaxIfs) state_.ifsc = inf;
    // Rules 3 and 4: a response echoes the request's INF.
    if (!SendS(static_cast<unsigned char>(pcb | kSResponse), {&inf, 1})) return false;
  }
  return true;
}

bool BlockLine::Confirm() {
  std::array<std::array<unsigned char, ADM_MAX_WIDE_REPLY>, 3> copies{};
  std::array<std::size_t, 3> sizes{};
  std::size_t count = 0;
  const auto keep = [&] {
    copies[count] = reply_;
    sizes[count++] = reply_length_;
  };
  keep();
  const unsigned char ns = Ns();
  for (int tries = 0; tries < kMaxRetries + 1 && count < copies.size(); ++tries) {
    // N(R) = the block's own N(S): "send that block again".
    const unsigned char saved = *state_.nr;
    *state_.nr = ns;
    const bool sent = SendR(0);
    *state_.nr = saved;
    if (!sent || !SettleRequests()) return false;
    if (Classify() != Kind::kI || Ns() != ns) continue;  // damaged or odd: ask again
    for (std::size_t k = 0; k < count; ++k) {
      if (sizes[k] == reply_length_ &&
          std::equal(reply_.begin(), reply_.begin() + static_cast<long>(reply_length_),
                     copies[k].begin())) {
        return true;
      }
    }
    keep();
  }
  return false;
}

}  // namespace ttycard::t1
