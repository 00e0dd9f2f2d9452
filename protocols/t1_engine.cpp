// T=1 exchange of one APDU (ISO/IEC 7816-3, clause 11).
//
// Command: the APDU goes out in I-blocks; all but the last carry the M bit
// and must each be acknowledged by the card with an R-block naming the next
// N(S) (11.6.2.2). Response: the card's I-block with the N(S) we expect;
// while it carries the M bit we ask for the next one with an R-block whose
// N(R) is the N(S) we expect next.
//
// On the way the card may ask for more time (S(WTX request)), a different
// information field size (S(IFS request)) or an abort, it may ask for a
// block again, and a block may arrive damaged or not at all. The rules
// followed, and where:
//   - 11.6.3.2 rule 7.1: a damaged block, or no usable reply, is answered
//     with an R-block naming the N(S) we expect and the EDC bit; the card
//     then sends its last block again (or, when ours never reached it, asks
//     for ours).
//   - an R-block naming the N(S) of the block we
//     just sent asks for that very block again, under the same number.
//   - An I-block is the answer only after the last block of a command and
//     only with the N(S) we expect. An I-block answering a chained block, or
//     the card's previous I-block sent again, is an error and is repaired
//     with an R-block (other error): never an acknowledgement, never the
//     answer to the new command.
//   - An R-block acknowledges a chained block only when its N(R) names the
//     next block.
//   - Every block is tried at most three times (11.6.3.2 rule 7.4), S-block
//     requests are answered at most 64 times in a row, and one exchange
//     makes a bounded number of reader transactions.
//   - Both the reader's reply checksum and the block's LRC are XORs, so two
//     characters damaged in the same bit of two bytes pass both. After a
//     line has shown damage, the next exchanges read every long block of the
//     card twice (an R-block naming the block's own N(S) asks the card for
//     it again, 11.6.3.2) and take it only when two copies agree; and both
//     ways blocks shrink to 32 bytes of INF (IFS request), because a long
//     block on a noisy line is rarely whole and costs most to repeat. A clean
//     line gets the card's full sizes back.
//   - An exchange given up after a block went out may leave the card in the
//     middle of it (a command chain not finished, a response not collected,
//     numbers out of step): the next exchange starts with S(RESYNCH request)
//     (11.6.3.2 rule 6), which puts both sequence numbers back to 0.

#include "t1_engine.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "blockproto.h"
#include "t1_blocks.h"

namespace ttycard::t1 {
namespace {

constexpr int kMaxRetries = 3;
constexpr int kMaxRequests = 64;
// One 0xA1 frame carries a block of at most 254 bytes (its length byte
// counts the block and one more byte), so a command block has at most 250
// bytes of INF.
constexpr std::size_t kMaxFrameBlock = 254;
constexpr std::size_t kMaxCommandInf = kMaxFrameBlock - kOverhead;
constexpr unsigned int kMinIfs = 1;
// Exchanges read carefully after damage was seen, and the blocks that are
// long enough for two damaged characters to matter.
constexpr int kCarefulExchanges = 32;
constexpr std::size_t kCarefulInf = 16;
constexpr unsigned int kCarefulBlock = 32;
constexpr unsigned int kMaxIfs = 254;

enum class Kind { kI, kR, kSRequest, kDamaged, kOdd };

class Run {
 public:
  Run(proto::Channel& channel, const Config& config, State& state)
      : channel_(channel), config_(config), state_(state) {}

  bool SentAny() const { return sent_any_; }
  bool SawDamage() const { return saw_damage_; }

  // 11.6.3.2 rule 6: S(RESYNCH request) until the card confirms.
  int Resynchronise() {
    for (int attempt = 0; attempt < kMaxRetries; ++attempt) {
      const std::array<unsigned char, kOverhead> block{kNad, kSResynchRequest, 0, kSResynchRequest};
      if (!Transact(block.data(), block.size())) return ADM_COMM_ERROR;
      if (Classify() != Kind::kDamaged && Pcb() == (kSResynchRequest | kSResponse) && Len() == 0) {
        *state_.ns = 0;
        *state_.nr = 0;
        state_.resync_pending = false;
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

  // 11.4.2: tell the card the size of the blocks we take (S(IFS request));
  // a card that answers anything but the echo keeps what it had (32 after a
  // reset) and is not asked again until its next reset.
  void NegotiateIfsd(unsigned int size) {
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

  // Sends one I-block and settles the card's answer. A chained block must be
  // acknowledged; after the last block reply_ holds the card's first I-block.
  int SendBlock(std::span<const unsigned char> inf, bool more) {
    unsigned char ns = *state_.ns & 1;
    std::array<unsigned char, kOverhead + kMaxCommandInf> block{};
    const auto number = [&] {
      block[1] = static_cast<unsigned char>((ns ? kIBlockNs : 0) | (more ? kIBlockMore : 0));
      block[kPrologue + inf.size()] = T1CalculateLRC(block.data(), kPrologue + inf.size());
    };
    block[0] = kNad;
    block[2] = static_cast<unsigned char>(inf.size());
    if (!inf.empty()) std::memcpy(&block[kPrologue], inf.data(), inf.size());
    number();

    bool send_block = true;
    unsigned char repair = 0;
    for (int tries = 0;; ++tries) {
      if (tries > kMaxRetries) break;
      const bool sent = send_block ? Transact(block.data(), kOverhead + inf.size()) : SendR(repair);
      if (!sent || !SettleRequests()) break;
      const Kind kind = Classify();
      send_block = false;
      repair = kRBlockOtherError;
      if (kind == Kind::kI && !more && Ns() == (*state_.nr & 1)) {
        ++*state_.ns;
        return ADM_OK;  // the answer
      }
      if (kind == Kind::kR) {
        const unsigned char nr = (Pcb() & kRBlockNr) ? 1 : 0;
        if (nr == ns) {
          send_block = true;  // the card asks for this block (again)
        } else if ((Pcb() & kRBlockErrorMask) != 0) {
          // An error, and the card expects the other N(S): it did not take
          // the block (its numbering and ours parted, e.g. over a card
          // reset). The same block again, under the number it asks for.
          ++*state_.ns;
          ns ^= 1;
          number();
          send_block = true;
        } else if (more) {
          ++*state_.ns;
          return ADM_OK;  // N(R) names the next block: acknowledged
        }
        // After the last block there is nothing to acknowledge: ask the
        // card for its I-block.
      } else if (kind == Kind::kDamaged) {
        repair = kRBlockEdcError;
      }
    }
    ++*state_.ns;  // the block went out: its number is spent
    return ADM_COMM_ERROR;
  }

  // Collects the response starting with the I-block in reply_.
  int Collect(std::span<unsigned char> out, std::size_t& length) {
    length = 0;
    const std::size_t limit = std::min(out.size(), config_.max_response);
    for (;;) {
      if (length + Len() > limit) return T1_CHAIN_ERROR;
      if (state_.careful > 0 && Len() > kCarefulInf && !Confirm()) return T1_CHAIN_ERROR;
      std::memcpy(&out[length], &reply_[kPrologue], Len());
      length += Len();
      *state_.nr = static_cast<unsigned char>(Ns() ^ 1);
      if ((Pcb() & kIBlockMore) == 0) return ADM_OK;

      unsigned char repair = 0;
      for (int tries = 0;; ++tries) {
        if (tries > kMaxRetries) return T1_CHAIN_ERROR;
        if (!SendR(repair) || !SettleRequests()) return T1_CHAIN_ERROR;
        const Kind kind = Classify();
        if (kind == Kind::kI && Ns() == (*state_.nr & 1)) break;  // the next piece
        // The previous piece again, or the card did not take our R-block:
        // ask once more; a damaged block: say so.
        repair = kind == Kind::kDamaged                   ? kRBlockEdcError
                 : (kind == Kind::kI || kind == Kind::kR) ? 0
                                                          : kRBlockOtherError;
      }
    }
  }

 private:
  // reply_ holds an I-block with the N(S) expected: asks the card for it
  // again until two copies agree (at most three more times). On success
  // reply_ holds the agreed block.
  bool Confirm() {
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

  unsigned char Pcb() const { return reply_[1]; }
  unsigned char Len() const { return reply_[2]; }
  unsigned char Ns() const { return (Pcb() & kIBlockNs) ? 1 : 0; }

  // Sends one block; false when the exchange has to stop (transaction budget
  // spent). A transaction that got no usable reply is not such a stop: the
  // reply then classifies as damaged.
  bool Transact(const unsigned char* block, std::size_t n) {
    if (++transactions_ > config_.max_transactions) return false;
    if (config_.per_block_waits) {
      channel_.SetBlockTime(next_wait_ > 0 ? next_wait_ : config_.base_block_time);
      next_wait_ = 0;
    }
    sent_any_ = true;
    unsigned int got = 0;
    reply_ok_ = Quelt(channel_, block, static_cast<int>(n), reply_.data(), &got) == ADM_OK;
    reply_length_ = reply_ok_ ? got : 0;
    return true;
  }

  bool SendR(unsigned char error) {
    std::array<unsigned char, kOverhead> block{
        kNad, static_cast<unsigned char>(kRBlock | ((*state_.nr & 1) ? kRBlockNr : 0) | error), 0,
        0};
    block[3] = T1CalculateLRC(block.data(), 3);
    return Transact(block.data(), block.size());
  }

  bool SendS(unsigned char pcb, std::span<const unsigned char> inf) {
    std::array<unsigned char, kOverhead + 1> block{kNad, pcb,
                                                   static_cast<unsigned char>(inf.size())};
    if (!inf.empty()) block[kPrologue] = inf[0];
    block[kPrologue + inf.size()] = T1CalculateLRC(block.data(), kPrologue + inf.size());
    return Transact(block.data(), kOverhead + inf.size());
  }

  Kind Classify() {
    // 11.4.1 / 11.6.3: a block whose length or LRC does not add up, or no
    // block at all, is an error of transmission, whatever its PCB says.
    if (!reply_ok_ || reply_length_ < kOverhead || reply_length_ != kOverhead + Len() ||
        T1CalculateLRC(reply_.data(), reply_length_ - 1) != reply_[reply_length_ - 1]) {
      saw_damage_ = true;
      return Kind::kDamaged;
    }
    if ((Pcb() & kRBlock) == 0) return Kind::kI;
    if ((Pcb() & kBlockKindMask) == kRBlock) return Len() == 0 ? Kind::kR : Kind::kOdd;
    // From the card only IFS, ABORT and WTX requests make sense here.
    if ((Pcb() == kSIfsRequest || Pcb() == kSWtxRequest) && Len() == 1) return Kind::kSRequest;
    if (Pcb() == kSAbortRequest) return Kind::kSRequest;
    return Kind::kOdd;
  }

  // Answers the card's S-block requests until reply_ holds something else.
  // False when the exchange has to stop (ABORT, endless requests, budget).
  bool SettleRequests() {
    for (int requests = 0; Classify() == Kind::kSRequest;) {
      if (++requests > kMaxRequests) return false;
      const unsigned char pcb = Pcb();
      const unsigned char inf = reply_[kPrologue];
      if (pcb == kSAbortRequest) {
        // 11.6.3.1 rule 9: the card gives up the chain; confirm and stop.
        SendS(kSAbortRequest | kSResponse, {});
        return false;
      }
      if (pcb == kSWtxRequest) {
        // 11.6.2.3 rule 3: the card needs `inf` times its waiting time; give
        // the reader three seconds for each, never less than the usual wait.
        const int grant = 3 * static_cast<int>(inf);
        if (config_.per_block_waits) {
          next_wait_ = std::max(grant, config_.base_block_time);
        } else if (grant > config_.base_block_time) {
          channel_.SetBlockTime(grant);
        }
      }
      if (pcb == kSIfsRequest && inf >= kMinIfs && inf <= kMaxIfs) state_.ifsc = inf;
      // 11.6.2.3 rules 3 and 4: a response echoes the request's INF.
      if (!SendS(static_cast<unsigned char>(pcb | kSResponse), {&inf, 1})) return false;
    }
    return true;
  }

  proto::Channel& channel_;
  const Config& config_;
  State& state_;
  std::array<unsigned char, ADM_MAX_WIDE_REPLY> reply_{};
  std::size_t reply_length_ = 0;
  bool reply_ok_ = false;
  bool sent_any_ = false;
  bool saw_damage_ = false;
  int transactions_ = 0;
  int next_wait_ = 0;
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
  // the next block), the last one holding what is left.
  int result = ADM_OK;
  std::size_t pos = 0;
  for (;;) {
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
    result = run.SendBlock(apdu.subspan(pos, size), true);
    if (result != ADM_OK) break;
    pos += size;
  }
  if (result == ADM_OK && apdu.size() - pos > kMaxCommandInf) result = ADM_COMM_ERROR;
  if (result == ADM_OK) result = run.SendBlock(apdu.subspan(pos), false);

  std::size_t length = 0;
  if (result == ADM_OK) result = run.Collect(out, length);
  if (run.SawDamage()) {
    state.careful = kCarefulExchanges;
  } else if (state.careful > 0) {
    --state.careful;
  }
  if (result != ADM_OK) {
    if (run.SentAny()) state.resync_pending = true;
    return result;
  }
  *outlen = length;
  return ADM_OK;
}

}  // namespace ttycard::t1

namespace {

unsigned char ucSChainNum = 0;
unsigned char ucRChainNum = 0;

// The T=1 exchange of the version 1.0 interface: 20-byte chunks, a 272-byte
// response, a granted waiting time that stays in force.
constexpr ttycard::t1::Config kFixedConfig{};
ttycard::t1::State g_state{&ucSChainNum, &ucRChainNum};
ttycard::proto::AdmChannel g_channel;

}  // namespace

extern "C" void T1_CardReset(void) {
  // A fresh card numbers its first I-block 0 and holds no half-done exchange.
  ttycard::t1::CardReset(g_state, 32, false, kFixedConfig);
}

extern "C" int T1_ExchangeData(const unsigned char* apdu, unsigned int len, unsigned char* response,
                               unsigned int* resplen) {
  if (response == nullptr || resplen == nullptr || (apdu == nullptr && len > 0)) {
    return ADM_COMM_ERROR;
  }
  std::array<unsigned char, T1_MAX_RESPONSE> collected{};
  std::size_t length = 0;
  const int result =
      ttycard::t1::Exchange(g_channel, kFixedConfig, g_state, {apdu, len}, collected, &length);
  if (result != ADM_OK) {
    if (result != T1_CHAIN_ERROR) *resplen = 0;  // a broken chain leaves the caller's untouched
    return result;
  }
  std::memcpy(response, collected.data(), length);
  *resplen = static_cast<unsigned int>(length);
  return ADM_OK;
}
