// T=1 exchange of one APDU (ISO/IEC 7816-3, clause 11).
//
// Command: an APDU of up to 15 bytes travels in one I-block. A longer one is
// cut into chained I-blocks of CHUNK_SIZE bytes (M bit set), each to be
// acknowledged by the card with an R-block, and ends with an unchained block
// holding the rest (which may be empty).
//
// Response: the card's I-block; while it has the M bit set the driver asks
// for the next one with an R-block whose N(R) is the N(S) it expects.
//
// On the way the card may ask for more time (S(WTX request)), a different
// information field size (S(IFS request)) or an abort; it may ask for a block
// again (R-block), and a block may arrive corrupted. Every such detour is
// bounded, so a card or line that keeps misbehaving ends the exchange with
// an error instead of holding the caller for ever.
//
// Sequence numbers live for the process, across exchanges and card resets:
//   ucSChainNum  bit 0 is N(S) of our next I-block
//   ucRChainNum  bit 0 is the N(S) expected in the card's next I-block,
//                which is the N(R) our R-blocks carry; it follows the N(S)
//                the card actually sends, so it never drifts from the card,
//                and starts from 0 again when the card is reset
//                (T1_CardReset).
//
// An exchange given up half-way can leave the card in the middle of it (a
// chained command not finished, a response chain not collected). Before the
// next exchange the card is then resynchronised (S(RESYNCH request),
// 11.6.3.2), which puts both sequence numbers back to 0 on both ends. An
// exchange whose only block got no answer at all needs none: the numbers
// simply move on.

#include <array>
#include <cstring>
#include <span>

#include "blockproto.h"
#include "linkcmds.h"
#include "t1_blocks.h"

namespace {

using namespace ttycard::t1;

unsigned char ucSChainNum = 0;
unsigned char ucRChainNum = 0;
bool g_resync_pending = false;

// 11.6.3: a block is tried a few times before the exchange is given up.
constexpr int kMaxRetries = 3;
// Consecutive S-block requests answered before the card is considered stuck.
constexpr int kMaxRequests = 64;
// Reader transactions in one exchange, whatever the card does.
constexpr int kMaxTransactions = 1024;

class Exchange {
 public:
  // Sends one I-block and settles the card's answer. For a chained block the
  // card must acknowledge it (R-block asking for the next N(S)); for the last
  // block the card's first I-block is left in reply_.
  int SendIBlock(std::span<const unsigned char> inf, bool more) {
    for (int retries = 0;; ++retries) {
      const unsigned char ns = ucSChainNum & 1;
      std::array<unsigned char, kOverhead + CHUNK_SIZE> block{};
      block[0] = kNad;
      block[1] = static_cast<unsigned char>((ns ? kIBlockNs : 0) | (more ? kIBlockMore : 0));
      block[2] = static_cast<unsigned char>(inf.size());
      if (!inf.empty()) std::memcpy(&block[kPrologue], inf.data(), inf.size());
      block[kPrologue + inf.size()] = T1CalculateLRC(block.data(), kPrologue + inf.size());

      int result = Transact(block.data(), kOverhead + inf.size());
      if (result == ADM_OK) result = Settle();
      if (result != ADM_OK) {
        ++ucSChainNum;  // the block went out: its number is spent
        return result;
      }

      if (Kind() == kIBlock) {
        // A chained block answered with an I-block: the card jumped ahead of
        // our chain; take it as an acknowledgement and go on.
        if (!more) ucRChainNum = static_cast<unsigned char>(((Pcb() & kIBlockNs) ? 1 : 0) ^ 1);
        ++ucSChainNum;
        return ADM_OK;
      }

      // An R-block. 11.6.2.2: a chained block is acknowledged by an R-block
      // without an error indication.
      const unsigned char nr = (Pcb() & kRBlockNr) ? 1 : 0;
      const bool error = (Pcb() & kRBlockErrorMask) != 0;
      if (more && !error) {
        ++ucSChainNum;
        return ADM_OK;
      }
      // Otherwise the card wants an I-block again, the one numbered N(R)
      // (11.6.2.3 rule 6): send the same information with that N(S).
      if (retries >= kMaxRetries) {
        ++ucSChainNum;
        return ADM_COMM_ERROR;
      }
      if (nr != ns) ++ucSChainNum;
    }
  }

  // 11.6.3.2 rule 6: S(RESYNCH request) until the card answers with
  // S(RESYNCH response); both ends then number their blocks from 0.
  int Resynchronise() {
    for (int attempt = 0; attempt < kMaxRetries; ++attempt) {
      std::array<unsigned char, kOverhead> block{kNad, kSResynchRequest, 0, kSResynchRequest};
      if (Transact(block.data(), block.size()) != ADM_OK) return ADM_COMM_ERROR;
      if (reply_length_ == kOverhead && Pcb() == (kSResynchRequest | kSResponse) && Len() == 0 &&
          T1CalculateLRC(reply_.data(), 3) == reply_[3]) {
        ucSChainNum = 0;
        ucRChainNum = 0;
        return ADM_OK;
      }
    }
    return ADM_COMM_ERROR;
  }

  // True once the card has answered anything in this exchange.
  bool CardAnswered() const { return answered_ > 0; }

  // Collects the response starting with the I-block in reply_, asking for
  // each further chained block with an R-block.
  int Collect(std::array<unsigned char, T1_MAX_RESPONSE>& out, unsigned int& length) {
    length = 0;
    if (!Append(out, length)) return T1_CHAIN_ERROR;
    while ((Pcb() & kIBlockMore) != 0) {
      for (int retries = 0;; ++retries) {
        if (SendR(0) != ADM_OK) return T1_CHAIN_ERROR;
        const int result = Settle();
        if (result != ADM_OK) return result;
        // The next block of the chain, carrying the N(S) we asked for.
        if (Kind() == kIBlock && Ns() == (ucRChainNum & 1)) break;
        // An R-block, or the previous block once more: ask again.
        if (retries >= kMaxRetries) return ADM_COMM_ERROR;
      }
      ucRChainNum = static_cast<unsigned char>(Ns() ^ 1);
      if (!Append(out, length)) return T1_CHAIN_ERROR;
    }
    return ADM_OK;
  }

 private:
  enum BlockKind { kIBlock, kRBlockKind, kSRequestKind, kCorrupt, kUnexpected };

  unsigned char Pcb() const { return reply_[1]; }
  unsigned char Len() const { return reply_[2]; }
  unsigned char Ns() const { return (Pcb() & kIBlockNs) ? 1 : 0; }

  // Sends one block; on success reply_ holds the card's answer.
  int Transact(const unsigned char* block, std::size_t n) {
    if (++transactions_ > kMaxTransactions) return ADM_COMM_ERROR;
    unsigned int got = 0;
    const int result = T1_QueltTransaction(block, static_cast<int>(n), reply_.data(), &got);
    if (result == ADM_OK) {
      reply_length_ = got;
      ++answered_;
    }
    return result;
  }

  int SendR(unsigned char error) {
    std::array<unsigned char, kOverhead> block{
        kNad, static_cast<unsigned char>(kRBlock | ((ucRChainNum & 1) ? kRBlockNr : 0) | error), 0,
        0};
    block[3] = T1CalculateLRC(block.data(), 3);
    return Transact(block.data(), block.size());
  }

  // An S-block response; IFS and WTX responses carry one byte, ABORT none.
  int SendS(unsigned char pcb, std::span<const unsigned char> inf) {
    std::array<unsigned char, kOverhead + 1> block{kNad, pcb,
                                                   static_cast<unsigned char>(inf.size())};
    if (!inf.empty()) block[kPrologue] = inf[0];
    block[kPrologue + inf.size()] = T1CalculateLRC(block.data(), kPrologue + inf.size());
    return Transact(block.data(), kOverhead + inf.size());
  }

  BlockKind Kind() const {
    // 11.4.1 / 11.6.3: a block whose length or LRC does not add up is an
    // error of transmission, whatever its PCB says.
    if (reply_length_ < kOverhead || reply_length_ != kOverhead + Len()) return kCorrupt;
    if (T1CalculateLRC(reply_.data(), reply_length_ - 1) != reply_[reply_length_ - 1]) {
      return kCorrupt;
    }
    if ((Pcb() & kRBlock) == 0) return kIBlock;
    if ((Pcb() & kBlockKindMask) == kRBlock) return Len() == 0 ? kRBlockKind : kUnexpected;
    // From the card only IFS, ABORT and WTX requests make sense here.
    if ((Pcb() == kSIfsRequest || Pcb() == kSWtxRequest) && Len() == 1) return kSRequestKind;
    if (Pcb() == kSAbortRequest) return kSRequestKind;
    return kUnexpected;
  }

  // Answers the card's requests and repairs damaged blocks until reply_
  // holds a sound I-block or R-block.
  int Settle() {
    int requests = 0;
    int repairs = 0;
    for (;;) {
      switch (Kind()) {
        case kIBlock:
        case kRBlockKind:
          return ADM_OK;
        case kCorrupt:
        case kUnexpected: {
          // 11.6.3.2 rule 7: ask for the block again, saying what was wrong.
          if (++repairs > kMaxRetries) return ADM_COMM_ERROR;
          const unsigned char error = Kind() == kCorrupt ? kRBlockEdcError : kRBlockOtherError;
          if (SendR(error) != ADM_OK) return ADM_COMM_ERROR;
          break;
        }
        case kSRequestKind: {
          if (++requests > kMaxRequests) return ADM_COMM_ERROR;
          const unsigned char pcb = Pcb();
          const unsigned char inf = reply_[kPrologue];
          if (pcb == kSAbortRequest) {
            // 11.6.3.1 rule 9: the card gives up the chain; confirm and stop.
            SendS(kSAbortRequest | kSResponse, {});
            return ADM_COMM_ERROR;
          }
          if (pcb == kSWtxRequest) {
            // 11.6.2.3 rule 3: the card needs `inf` times its waiting time;
            // wait three seconds per unit for the answer to our response.
            Adm_SetWWT(3 * static_cast<int>(inf));
          }
          // 11.6.2.3 rules 3 and 4: a response echoes the request's INF.
          if (SendS(static_cast<unsigned char>(pcb | kSResponse), {&inf, 1}) != ADM_OK) {
            return ADM_COMM_ERROR;
          }
          break;
        }
      }
    }
  }

  bool Append(std::array<unsigned char, T1_MAX_RESPONSE>& out, unsigned int& length) const {
    if (length + Len() > out.size()) return false;
    std::memcpy(&out[length], &reply_[kPrologue], Len());
    length += Len();
    return true;
  }

  std::array<unsigned char, ADM_MAX_REPLY> reply_{};
  std::size_t reply_length_ = 0;
  int transactions_ = 0;
  int answered_ = 0;
};

}  // namespace

extern "C" void T1_CardReset(void) {
  // A fresh card numbers its first I-block 0 and holds no half-done exchange.
  ucRChainNum = 0;
  g_resync_pending = false;
}

extern "C" int T1_ExchangeData(const unsigned char* apdu, unsigned int len, unsigned char* response,
                               unsigned int* resplen) {
  if (response == nullptr || resplen == nullptr || (apdu == nullptr && len > 0)) {
    return ADM_COMM_ERROR;
  }
  const std::span<const unsigned char> command(apdu, len);

  Exchange exchange;
  if (g_resync_pending) {
    if (exchange.Resynchronise() != ADM_OK) {
      *resplen = 0;
      return ADM_COMM_ERROR;
    }
    g_resync_pending = false;
  }

  // Up to 15 bytes fit one block; from 16 on, full chunks are chained and
  // the rest closes the chain (16 to 19 bytes: no full chunk, one block).
  const std::size_t chunks = len / CHUNK_SIZE;
  int result = ADM_OK;
  for (std::size_t i = 0; i < chunks && result == ADM_OK; ++i) {
    result = exchange.SendIBlock(command.subspan(i * CHUNK_SIZE, CHUNK_SIZE), true);
  }
  if (result == ADM_OK) result = exchange.SendIBlock(command.subspan(chunks * CHUNK_SIZE), false);

  std::array<unsigned char, T1_MAX_RESPONSE> collected{};
  unsigned int length = 0;
  if (result == ADM_OK) result = exchange.Collect(collected, length);

  if (result != ADM_OK) {
    // Part of the exchange reached the card: it may be waiting in the middle.
    if (chunks > 0 || exchange.CardAnswered()) g_resync_pending = true;
    if (result != T1_CHAIN_ERROR) *resplen = 0;  // a broken chain leaves the caller's untouched
    return result;
  }
  std::memcpy(response, collected.data(), length);
  *resplen = length;
  return ADM_OK;
}
