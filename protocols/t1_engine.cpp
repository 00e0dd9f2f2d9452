// T=1 exchange of one APDU (ISO/IEC 7816-3, clause 11).
//
// Command: the APDU goes out in I-blocks; all but the last carry the M bit
// and each must be acknowledged by the card with an R-block naming the next
// N(S) (11.6.2 rule 5). Response: the card's I-block with the N(S) we expect;
// while it carries the M bit we ask for the next one with an R-block whose
// N(R) is the N(S) we expect next.
//
// On the way the card may ask for more time (S(WTX request)), a different
// information field size (S(IFS request)) or an abort, it may ask for a
// block again, and a block may arrive damaged or not at all. The rules
// followed, and where:
//   - 11.6.3 rule 7.1: a damaged block, or no usable reply, is answered
//     with an R-block naming the N(S) we expect and the EDC bit; the card
//     then sends its last block again (or, when ours never reached it, asks
//     for ours).
//   - Sequence numbers are one bit, so a number names one of two blocks: the
//     one just sent, or the one before it. An R-block naming the block just
//     sent asks for it again, same number, same data. One naming the other
//     number without an error acknowledges a chained block (rule 5). One
//     naming the other number WITH an error asks for the block before, which
//     the card already acknowledged: it lost it, and no block of ours can
//     mend that (the same data under the new number would be a second copy;
//     the next chunk under the old number, a spliced command). Both ends drop
//     the command (S(RESYNCH request), rule 6) and the exchange fails. Only
//     the first block of a command, answered directly, goes again under the
//     number the card names: the card holds nothing of the command yet, the
//     two numberings merely parted (the card was reset, say).
//   - An I-block is the answer only after the last block of a command and
//     only with the N(S) we expect. An I-block answering a chained block, or
//     the card's previous I-block sent again, is an error and is repaired
//     with an R-block (other error): never an acknowledgement, never the
//     answer to the new command.
//   - Every block is tried at most three times (rule 7.4), S-block requests
//     are answered at most 64 times in a row, and one exchange makes a
//     bounded number of reader transactions.
//   - Both the reader's reply checksum and the block's LRC are XORs, so two
//     characters damaged in the same bit of two bytes pass both. After a
//     line has shown damage, the next exchanges read every long block of the
//     card twice (an R-block naming the block's own N(S) asks the card for
//     it again, rule 7.1) and take it only when two copies agree; and both
//     ways blocks shrink to 32 bytes of INF (IFS request), because a long
//     block on a noisy line is rarely whole and costs most to repeat. A clean
//     line gets the card's full sizes back.
//   - An exchange given up after a block went out may leave the card in the
//     middle of it (a command chain not finished, a response not collected,
//     numbers out of step): unless it was resynchronised before it ended,
//     the next exchange starts with S(RESYNCH request) (rule 6), which puts
//     both sequence numbers back to 0.

#include "t1_engine.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "blockproto.h"
#include "t1_block_line.h"
#include "t1_blocks.h"

namespace ttycard::t1 {
namespace {

// One 0xA1 frame carries a block of at most 254 bytes (its length byte
// counts the block and one more byte), so a command block has at most 250
// bytes of INF.
constexpr std::size_t kMaxCommandInf = ADM_MAX_CARD_PAYLOAD - kOverhead;
// Exchanges read carefully after damage was seen, and the blocks that are
// long enough for two damaged characters to matter.
constexpr int kCarefulExchanges = 32;
constexpr std::size_t kCarefulInf = 16;
constexpr unsigned int kCarefulBlock = 32;

// What follows the card's reply to one I-block of a command.
enum class Step {
  kAnswered,       // the card's I-block: the response begins
  kAcknowledged,   // a chained block taken
  kSendAgain,      // the same block, under the same number
  kRenumber,       // the same block, under the number the card expects
  kResynchronise,  // the card lost a block it acknowledged: drop the command
  kRepairDamaged,  // an R-block with the EDC error
  kRepair,         // an R-block with the other error
};

// One I-block of a command as it goes on the wire.
class IBlock {
 public:
  IBlock(std::span<const unsigned char> inf, bool more, unsigned char ns)
      : inf_size_(inf.size()), more_(more) {
    bytes_[0] = kNad;
    bytes_[2] = static_cast<unsigned char>(inf_size_);
    if (inf_size_ > 0) std::memcpy(&bytes_[kPrologue], inf.data(), inf_size_);
    Number(ns);
  }
  void Number(unsigned char ns) {
    ns_ = ns & 1;
    bytes_[1] = static_cast<unsigned char>((ns_ ? kIBlockNs : 0) | (more_ ? kIBlockMore : 0));
    bytes_[kPrologue + inf_size_] = T1CalculateLRC(bytes_.data(), kPrologue + inf_size_);
  }
  unsigned char Ns() const { return ns_; }
  bool More() const { return more_; }
  const unsigned char* Data() const { return bytes_.data(); }
  std::size_t Size() const { return kOverhead + inf_size_; }

 private:
  std::array<unsigned char, kOverhead + kMaxCommandInf> bytes_{};
  std::size_t inf_size_;
  bool more_;
  unsigned char ns_ = 0;
};

// One exchange: the blocks of a command, then those of the response.
class Run : public BlockLine {
 public:
  using BlockLine::BlockLine;

  // Sends one I-block of a command and settles the card's reply: a chained
  // block ends acknowledged, the last one with the card's first I-block as
  // the reply. `first`: the block opens the command.
  int SendBlock(std::span<const unsigned char> inf, bool more, bool first) {
    IBlock block(inf, more, *state_.ns);
    bool send_i_block = true;   // false: an R-block, about the reply to it
    unsigned char r_error = 0;  // the error bits of that R-block
    for (int attempt = 0; attempt <= kMaxRetries; ++attempt) {
      const bool sent = send_i_block ? Transact(block.Data(), block.Size()) : SendR(r_error);
      if (!sent || !SettleRequests()) break;
      switch (Judge(block, first && send_i_block)) {
        case Step::kAnswered:      // rule 2
        case Step::kAcknowledged:  // rule 5
          ++*state_.ns;
          return ADM_OK;
        case Step::kSendAgain:  // rule 7.1, asked by the card
          send_i_block = true;
          break;
        case Step::kRenumber:  // the first block only
          ++*state_.ns;
          block.Number(*state_.ns);
          send_i_block = true;
          break;
        case Step::kResynchronise:  // rule 6; failing that, the next exchange tries
          Resynchronise();
          return ADM_COMM_ERROR;
        case Step::kRepairDamaged:  // rule 7.1
          send_i_block = false;
          r_error = kRBlockEdcError;
          break;
        case Step::kRepair:  // rule 7.1
          send_i_block = false;
          r_error = kRBlockOtherError;
          break;
      }
    }
    ++*state_.ns;  // the block went out: its number is spent
    return ADM_COMM_ERROR;
  }

  // Collects the response starting with the I-block in the reply. Every block
  // costs at least one transaction, so the budget bounds the loop.
  int Collect(std::span<unsigned char> out, std::size_t& length) {
    length = 0;
    const std::size_t limit = std::min(out.size(), config_.max_response);
    for (int piece = 0; piece <= config_.max_transactions; ++piece) {
      if (length + Len() > limit) return T1_CHAIN_ERROR;
      if (state_.careful > 0 && Len() > kCarefulInf && !Confirm()) return T1_CHAIN_ERROR;
      std::memcpy(&out[length], Inf(), Len());
      length += Len();
      *state_.nr = static_cast<unsigned char>(Ns() ^ 1);
      if ((Pcb() & kIBlockMore) == 0) return ADM_OK;
      if (!AskForNextPiece()) return T1_CHAIN_ERROR;
    }
    return T1_CHAIN_ERROR;
  }

 private:
  // The card's reply to `block`, or to an R-block we sent about it, by the
  // rules of 11.6.2 and 11.6.3. `answers_first`: the reply answers the
  // first I-block of the command itself.
  Step Judge(const IBlock& block, bool answers_first) {
    const Kind kind = Classify();
    // Rule 7.1: a block damaged on the way, or none: say so, the card sends
    // its last block again.
    if (kind == Kind::kDamaged) return Step::kRepairDamaged;
    const PcbFields pcb = ReadPcb(Pcb());
    if (kind == Kind::kI) {
      // Rule 2: after the last block of a command, the card's I-block with
      // the N(S) we expect acknowledges it and carries the response. Any
      // other I-block (answering a chained block, or the card's previous
      // one again) is invalid here: rule 7.1, other error.
      const bool answer = !block.More() && pcb.number == (*state_.nr & 1);
      return answer ? Step::kAnswered : Step::kRepair;
    }
    // Rule 7.1: an S-block we did not ask for, an R-block with INF.
    if (kind != Kind::kR) return Step::kRepair;
    // Rule 7.1 on the card's side: N(R) names the block just sent, which
    // did not arrive whole (or, without an error bit, is simply asked for
    // again). The same data under the same number is always safe.
    if (pcb.number == block.Ns()) return Step::kSendAgain;
    if (pcb.error != 0) {
      // An error naming the other number. At the start of a command the card
      // holds nothing of it: only the numbering parted, the block goes again
      // under the card's number. Anywhere else the other number is that of
      // the block before, which the card acknowledged and now says it lost;
      // the two commands must not mix: rule 6, and the exchange fails.
      return answers_first ? Step::kRenumber : Step::kResynchronise;
    }
    // Rule 5: N(R) names the next block, the chained block is taken. After
    // the last block there is nothing to acknowledge: ask the card for its
    // I-block (rule 7.1, other error).
    return block.More() ? Step::kAcknowledged : Step::kRepair;
  }

  // The reply is a block of a chained response: asks for the next one with
  // an R-block naming its N(S) (rule 5). On success the reply is that one.
  bool AskForNextPiece() {
    unsigned char r_error = 0;
    for (int attempt = 0; attempt <= kMaxRetries; ++attempt) {
      if (!SendR(r_error) || !SettleRequests()) return false;
      const Kind kind = Classify();
      if (kind == Kind::kI && Ns() == (*state_.nr & 1)) return true;
      // The previous piece again (our R-block was lost), or an R-block of
      // the card (it did not take ours): the same R-block (rule 7.3). A
      // damaged block: EDC (rule 7.1); anything else: other error.
      r_error = kind == Kind::kDamaged                   ? kRBlockEdcError
                : (kind == Kind::kI || kind == Kind::kR) ? 0
                                                         : kRBlockOtherError;
    }
    return false;
  }
};

}  // namespace

void CardReset(State& state, unsigned int ifsc, bool restart_send, const Config& config) {
  *state.nr = 0;
  if (restart_send) *state.ns = 0;
  state.resync_pending = false;
  state.atr_ifsc = ifsc;
  state.ifsc = ifsc;
  state.ifsd = 32;
  state.ifs_pending = config.ifsd_wanted != 0;
  state.ifs_refused = false;
}

int Exchange(proto::Channel& channel, const Config& config, State& state,
             std::span<const unsigned char> apdu, std::span<unsigned char> out,
             std::size_t* outlen) {
  Run run(channel, config, state);
  if (state.resync_pending && run.Resynchronise() != ADM_OK) return ADM_COMM_ERROR;
  // The card's sizes on a clean line, short blocks on a noisy one.
  const bool careful = state.careful > 0 && config.ifsd_wanted != 0;
  const unsigned int ifsd = careful ? kCarefulBlock : config.ifsd_wanted;
  if (config.ifsd_wanted != 0 && !state.ifs_refused && (state.ifs_pending || state.ifsd != ifsd)) {
    run.NegotiateIfsd(ifsd);
  }

  // Fixed chunks: up to 15 bytes fit one block; from 16 on, full chunks are
  // chained and the rest closes the chain (16 to 19 bytes: one block). Card
  // sizes: blocks of the card's IFSC (an IFS request on the way counts from
  // the next block), the last one holding what is left. Each pass sends a
  // block or stops, so the APDU's length bounds the loop.
  int result = ADM_OK;
  std::size_t pos = 0;
  while (result == ADM_OK) {
    const std::size_t left = apdu.size() - pos;
    std::size_t size = 0;
    if (config.fixed_chunks) {
      size = apdu.size() >= 16 && left >= CHUNK_SIZE ? CHUNK_SIZE : 0;
    } else {
      const std::size_t max = std::min<std::size_t>(
          {state.ifsc, kMaxCommandInf, careful ? kCarefulBlock : kMaxCommandInf});
      size = left > max ? max : 0;
    }
    if (size == 0) break;
    result = run.SendBlock(apdu.subspan(pos, size), true, pos == 0);
    pos += size;
  }
  if (result == ADM_OK && apdu.size() - pos > kMaxCommandInf) result = ADM_COMM_ERROR;
  if (result == ADM_OK) result = run.SendBlock(apdu.subspan(pos), false, pos == 0);

  std::size_t length = 0;
  if (result == ADM_OK) result = run.Collect(out, length);
  if (run.SawDamage()) {
    state.careful = kCarefulExchanges;
  } else if (state.careful > 0) {
    --state.careful;
  }
  if (result != ADM_OK) {
    if (run.CardMayHoldPart()) state.resync_pending = true;
    return result;
  }
  *outlen = length;
  return ADM_OK;
}

}  // namespace ttycard::t1
