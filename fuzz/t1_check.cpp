#include "t1_check.h"

#include <algorithm>
#include <cstring>

#include "blockproto.h"
#include "fuzz_check.h"
#include "linkcmds.h"

namespace fuzzing {
namespace {

using Block = std::vector<std::uint8_t>;

constexpr std::size_t kChunk = 20;
constexpr std::size_t kMaxResponse = 272;
constexpr int kMaxRetries = 3;
constexpr int kMaxRequests = 64;
constexpr int kMaxTransactions = 1024;
// After an exchange that saw a damaged block, this many exchanges read every
// block of the card with more than 16 INF bytes until two copies agree.
constexpr int kCarefulExchanges = 32;
constexpr std::size_t kCarefulInf = 16;

// The driver's T=1 state, shadowed for the life of the process.
struct Shadow {
  bool ns = false;  // N(S) of the next I-block
  bool nr = false;  // N(S) expected from the card
  bool resync_due = false;
  int careful = 0;
};
Shadow g_t1;

enum class Kind { kI, kR, kSRequest, kDamaged, kOdd };

Block WithLrc(Block b) {
  b.push_back(Xor(b.data(), b.size()));
  return b;
}

Block RBlock(bool nr, std::uint8_t error) {
  return WithLrc({0x00, static_cast<std::uint8_t>(0x80 | (nr ? 0x10 : 0) | error), 0x00});
}

class Replay {
 public:
  explicit Replay(std::size_t first) : i_(first), first_(first) {}

  // The driver sends `block` next, unless the exchange's transaction budget
  // is spent (false: it must stop there).
  bool Send(const Block& block, const char* what) {
    if (++transactions_ > kMaxTransactions) return false;
    const auto& log = Log();
    FUZZ_CHECK(i_ < log.size(), what);
    const auto& frame = log[i_].frame;
    FUZZ_CHECK(frame[1] == 0xA1, "a T=1 block travels in reader command 0xA1");
    FUZZ_CHECK(frame.size() >= 9 && frame[frame.size() - 2] == 0x00,
               "command 0xA1 carries a whole T=1 block and a 0 byte");
    FUZZ_CHECK(Block(frame.begin() + 3, frame.end() - 2) == block, what);
    // Only an extension granted just before changes the block time.
    if (i_ > first_ && !wtx_) {
      FUZZ_CHECK(log[i_].blocktime == log[i_ - 1].blocktime, "the block time stays as it was");
    }
    wtx_ = false;
    reply_ = &log[i_].reply;
    answered_ = log[i_].answered;
    ++i_;
    if (Classify() == Kind::kDamaged && block[1] != 0xE2) saw_damage_ = true;
    return true;
  }

  Kind Classify() const {
    const Block& r = *reply_;
    if (!answered_ || r.size() < 4 || r.size() != 4u + r[2] ||
        Xor(r.data(), r.size() - 1) != r.back()) {
      return Kind::kDamaged;
    }
    const std::uint8_t pcb = r[1];
    if ((pcb & 0x80) == 0) return Kind::kI;
    if ((pcb & 0xC0) == 0x80) return r[2] == 0 ? Kind::kR : Kind::kOdd;
    if ((pcb == 0xC1 || pcb == 0xC3) && r[2] == 1) return Kind::kSRequest;
    if (pcb == 0xC2) return Kind::kSRequest;
    return Kind::kOdd;
  }
  std::uint8_t Pcb() const { return (*reply_)[1]; }
  std::uint8_t Len() const { return (*reply_)[2]; }
  bool Ns() const { return (Pcb() & 0x40) != 0; }

  // Answers the card's S-requests; false when the exchange must stop.
  bool Settle() {
    for (int requests = 0; Classify() == Kind::kSRequest;) {
      if (++requests > kMaxRequests) return false;
      const std::uint8_t pcb = Pcb();
      const std::uint8_t inf = (*reply_)[3];
      if (pcb == 0xC2) {
        Send(WithLrc({0x00, 0xE2, 0x00}), "an ABORT request is confirmed, and the exchange ends");
        return false;
      }
      if (pcb == 0xC3) {
        // Three seconds per unit, never less than the usual 4 s.
        const int grant = 3 * inf;
        const auto& log = Log();
        if (i_ < log.size()) {
          FUZZ_CHECK(log[i_].blocktime == (grant > 4 ? grant : 4),
                     "block time 3 s per unit, at least 4 s, before WTX is answered");
        }
        wtx_ = true;
      }
      if (!Send(WithLrc({0x00, static_cast<std::uint8_t>(pcb | 0x20), 0x01, inf}),
                "an S-request is answered by its response, echoing its byte")) {
        return false;
      }
    }
    return true;
  }

  bool Resynchronise() {
    resynchronised_ = false;
    for (int attempt = 0; attempt < kMaxRetries; ++attempt) {
      if (!Send(WithLrc({0x00, 0xC0, 0x00}),
                "RESYNCH: after a failed exchange, or when the card lost a chained block")) {
        return false;
      }
      if (Classify() != Kind::kDamaged && Pcb() == 0xE0 && Len() == 0) {
        g_t1.ns = g_t1.nr = false;
        g_t1.resync_due = false;
        return true;
      }
    }
    return false;
  }

  // One I-block and the card's answer to it. `first`: it opens the command.
  bool SendBlock(const std::uint8_t* inf, std::size_t n, bool more, bool first) {
    bool ns = g_t1.ns;
    const auto make = [&] {
      Block b{0x00, static_cast<std::uint8_t>((ns ? 0x40 : 0) | (more ? 0x20 : 0)),
              static_cast<std::uint8_t>(n)};
      b.insert(b.end(), inf, inf + n);
      return WithLrc(b);
    };
    Block block = make();
    bool send_block = true;
    std::uint8_t repair = 0;
    for (int tries = 0; tries <= kMaxRetries; ++tries) {
      const bool answers_first = first && send_block;
      const bool sent = send_block
                            ? Send(block, "the APDU's next block, or the same one again")
                            : Send(RBlock(g_t1.nr, repair), "the R-block the reply calls for");
      if (!sent || !Settle()) break;
      const Kind kind = Classify();
      send_block = false;
      repair = 0x02;  // other error
      if (kind == Kind::kI && !more && Ns() == g_t1.nr) {
        g_t1.ns = !g_t1.ns;
        return true;
      }
      if (kind == Kind::kR) {
        const bool nr = (Pcb() & 0x10) != 0;
        if (nr == ns) {
          send_block = true;
        } else if ((Pcb() & 0x03) != 0 && answers_first) {
          // the card holds nothing of the command yet: renumbered
          g_t1.ns = !g_t1.ns;
          ns = !ns;
          block = make();
          send_block = true;
        } else if ((Pcb() & 0x03) != 0) {
          // it lost a block it acknowledged: both ends drop the command
          if (Resynchronise()) resynchronised_ = true;
          return false;
        } else if (more) {
          g_t1.ns = !g_t1.ns;
          return true;
        }
      } else if (kind == Kind::kDamaged) {
        repair = 0x01;  // EDC
      }
    }
    g_t1.ns = !g_t1.ns;
    return false;
  }

  // Asks for the card's I-block again until two copies agree.
  bool Confirm() {
    std::vector<Block> copies{*reply_};
    const bool ns = Ns();
    for (int tries = 0; tries <= kMaxRetries && copies.size() < 3; ++tries) {
      if (!Send(RBlock(ns, 0), "a long block is asked for again under its own N(S)") || !Settle()) {
        return false;
      }
      if (Classify() != Kind::kI || Ns() != ns) continue;
      if (std::find(copies.begin(), copies.end(), *reply_) != copies.end()) return true;
      copies.push_back(*reply_);
    }
    return false;
  }

  int Collect(std::vector<std::uint8_t>& out, int careful) {
    for (;;) {
      if (out.size() + Len() > kMaxResponse) return T1_CHAIN_ERROR;
      if (careful > 0 && Len() > kCarefulInf && !Confirm()) return T1_CHAIN_ERROR;
      out.insert(out.end(), reply_->begin() + 3, reply_->begin() + 3 + Len());
      g_t1.nr = !Ns();
      if ((Pcb() & 0x20) == 0) return ADM_OK;
      std::uint8_t repair = 0;
      for (int tries = 0;; ++tries) {
        if (tries > kMaxRetries) return T1_CHAIN_ERROR;
        if (!Send(RBlock(g_t1.nr, repair), "an R-block asks for the next piece") || !Settle()) {
          return T1_CHAIN_ERROR;
        }
        const Kind kind = Classify();
        if (kind == Kind::kI && Ns() == g_t1.nr) break;
        repair = kind == Kind::kDamaged                   ? 0x01
                 : (kind == Kind::kI || kind == Kind::kR) ? 0x00
                                                          : 0x02;
      }
    }
  }

  std::size_t End() const { return i_; }
  bool SawDamage() const { return saw_damage_; }
  bool Resynchronised() const { return resynchronised_; }

 private:
  std::size_t i_;
  std::size_t first_;
  int transactions_ = 0;
  const Block* reply_ = nullptr;
  bool answered_ = false;
  bool wtx_ = false;
  bool saw_damage_ = false;
  bool resynchronised_ = false;  // the card was resynchronised after the last I-block
};

T1Outcome Run(const std::vector<std::uint8_t>& apdu, Replay& replay) {
  if (g_t1.resync_due && !replay.Resynchronise()) return {ADM_COMM_ERROR, {}};
  const int careful = g_t1.careful;
  // 20-byte chunks chained when the APDU has 16 bytes or more; the rest
  // closes the chain.
  const std::size_t chunks = apdu.size() >= 16 ? apdu.size() / kChunk : 0;
  bool ok = true;
  for (std::size_t k = 0; ok && k < chunks; ++k) {
    ok = replay.SendBlock(apdu.data() + k * kChunk, kChunk, true, k == 0);
  }
  if (ok) {
    ok = replay.SendBlock(apdu.data() + chunks * kChunk, apdu.size() - chunks * kChunk, false,
                          chunks == 0);
  }
  T1Outcome outcome{ok ? ADM_OK : ADM_COMM_ERROR, {}};
  if (ok) outcome.result = replay.Collect(outcome.response, careful);
  if (replay.SawDamage()) {
    g_t1.careful = kCarefulExchanges;
  } else if (g_t1.careful > 0) {
    --g_t1.careful;
  }
  if (outcome.result != ADM_OK) {
    if (!replay.Resynchronised()) g_t1.resync_due = true;
    outcome.response.clear();
  }
  return outcome;
}

}  // namespace

T1Outcome CheckT1Exchange(const std::vector<std::uint8_t>& apdu, std::size_t first) {
  Replay replay(first);
  const T1Outcome outcome = Run(apdu, replay);
  FUZZ_CHECK(replay.End() == Log().size(), "no block beyond what the rules call for");
  return outcome;
}

void T1CardWasReset() {
  g_t1.nr = false;
  g_t1.resync_due = false;
}

}  // namespace fuzzing
