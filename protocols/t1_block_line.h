// The card's end of a T=1 exchange, one block at a time (ISO/IEC 7816-3,
// clause 11): a block goes out through the reader, the card's block comes
// back and is classified; the card's S-block requests are answered; the card
// is resynchronised, told our IFS, or asked for a block again. What the
// blocks of a command and its response should be is the exchange's business
// (t1_engine.cpp); this keeps the budgets, the waits and the reply.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "channel.h"
#include "t1_blocks.h"
#include "t1_engine.h"

namespace ttycard::t1 {

// Tries of one block (11.6.3 rule 7.4).
inline constexpr int kMaxRetries = 3;

// The card's block as the exchange sees it: an I-block, an R-block, an S-block
// request to be answered, damaged or missing, or anything else.
enum class Kind { kI, kR, kSRequest, kDamaged, kOdd };

class BlockLine {
 public:
  BlockLine(proto::Channel& channel, const Config& config, State& state)
      : channel_(channel), config_(config), state_(state) {}

  // Whether the card may hold part of an exchange: a block went out since
  // it last held nothing (since the last resynchronisation).
  bool CardMayHoldPart() const { return card_may_hold_part_; }
  bool SawDamage() const { return saw_damage_; }

  // 11.6.3 rule 6: S(RESYNCH request) until the card confirms; both
  // sequence numbers and both sizes go back to what the ATR gave.
  int Resynchronise();
  // 11.4.2: S(IFS request) with `size`; a card that answers anything but
  // the echo keeps what it had and is not asked again until its reset.
  void NegotiateIfsd(unsigned int size);

 protected:
  // Sends one block; false when the exchange has to stop (transaction budget
  // spent). A transaction that got no usable reply is not such a stop: the
  // reply then classifies as damaged.
  bool Transact(const unsigned char* block, std::size_t n);
  // An R-block naming the N(S) expected in the card's next I-block.
  bool SendR(unsigned char error);
  bool SendS(unsigned char pcb, std::span<const unsigned char> inf);

  Kind Classify();
  // Answers the card's S-block requests until the reply is something else.
  // False when the exchange has to stop (ABORT, endless requests, budget).
  bool SettleRequests();
  // The reply is an I-block with the N(S) expected: asks the card for it
  // again until two copies agree (at most three more times). On success the
  // reply is the agreed block.
  bool Confirm();

  // The card's reply.
  unsigned char Pcb() const { return reply_[1]; }
  unsigned char Len() const { return reply_[2]; }
  unsigned char Ns() const { return ReadPcb(Pcb()).number ? 1 : 0; }
  const unsigned char* Inf() const { return &reply_[kPrologue]; }

  proto::Channel& channel_;
  const Config& config_;
  State& state_;

 private:
  std::array<unsigned char, ADM_MAX_WIDE_REPLY> reply_{};
  std::size_t reply_length_ = 0;
  bool reply_ok_ = false;
  bool card_may_hold_part_ = false;
  bool saw_damage_ = false;
  int transactions_ = 0;
  int next_wait_ = 0;  // seconds granted for the card's next block (per-block waits)
};

}  // namespace ttycard::t1
