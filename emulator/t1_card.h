// The card side of ISO/IEC 7816-3 T=1, played strictly so that host faults
// show up as protocol violations in the Journal.
//
// Receive() takes one block from the host and returns the one block the card
// answers with:
//  - A block with a bad LRC, or a LEN that disagrees with its size, is
//    answered with R(N(R) = the N(S) the card expects, EDC error 0x01).
//  - I-blocks must alternate N(S) 0,1,0,... The FIRST I-block after reset
//    (power-up) or RESYNCH is accepted with either N(S), because a host keeps
//    its counter across card resets. A wrong N(S) later is answered with
//    R(expected, other error 0x02).
//  - Chained commands (M bit 0x20) are acknowledged block by block with
//    R(N(R) = next expected N(S)); the last block completes the APDU.
//  - Responses longer than max_inf bytes go out as chained I-blocks; the
//    card's N(S) alternates from 0 after reset, across exchanges.
//  - An R-block whose N(R) equals the N(S) of the card's last I-block asks for
//    that block again (resent unchanged); one with the other N(R) during a
//    chained response asks for the next part. After an S-request or R-block
//    of the card, any R-block makes the card resend that block.
//  - S(IFS request) is answered with S(IFS response) echoing the value;
//    S(RESYNCH request) resets both sequence numbers; S(ABORT request) drops
//    any chain. S(WTX response) and S(IFS response) are expected only after
//    the card's own request, with the same value.
// Anything a correct host would not send is recorded as a violation.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "card_app.h"
#include "journal.h"
#include "t1_block.h"

namespace ttycard::emu {

// Misbehaviours on demand. Configure(b, count, value): count is how many
// times (kT1Forever: without end); the endless kinds ignore it.
enum class T1Behaviour : std::uint8_t {
  kWtx,                // before the next answers: `count` S(WTX request) with multiplier
                       // `value` (default 1), each waiting for S(WTX response)
  kIfsRequest,         // before the next answer: S(IFS request) with `value`, expects the
                       // S(IFS response) echo
  kRetransmitRequest,  // answer the next `count` complete I-blocks with R(N(R) = their N(S),
                       // error bits `value`: 0x02 other error by default, 0x01 EDC)
  kCorruptLrc,         // the next `count` blocks the card sends carry an inverted LRC
  kEndlessWtx,         // WTX requests forever instead of answering
  kEndlessRetransmit,  // every I-block is answered with a retransmission request
  kEndlessChain,       // responses never end: every I-block has the M bit set
};

inline constexpr int kT1Forever = -1;

struct T1Config {
  std::size_t max_inf = 32;            // INF bytes per I-block the card sends (its IFSC)
  bool lenient_retransmit_ns = false;  // see below
};
// lenient_retransmit_ns: after the card asked for a retransmission, ISO
// wants the same I-block again, with the same N(S). Set this to accept the
// repeated block with either N(S), for hosts that resend with a new one.

class T1Card {
 public:
  T1Card(CardBackend& app, Journal& journal, T1Config config = {})
      : app_(app), journal_(journal), config_(config) {}

  // Power-up or reset: sequence numbers back to the start, chains dropped.
  // Configured behaviours stay.
  void Reset();
  Bytes Receive(std::span<const std::uint8_t> block);

  void Configure(T1Behaviour behaviour, int count = 1, std::uint8_t value = 0);
  void ClearBehaviours();
  void SetConfig(T1Config config) { config_ = config; }

  int CardNs() const { return card_ns_; }        // N(S) of the card's next I-block
  int ExpectedNs() const { return expect_ns_; }  // N(S) expected from the host
  std::uint8_t Ifsd() const { return ifsd_; }    // last IFS the host announced

 private:
  enum class Await : std::uint8_t { kNothing, kWtxResponse, kIfsResponse };

  Bytes OnI(std::uint8_t pcb, std::span<const std::uint8_t> inf);
  Bytes OnR(std::uint8_t pcb);
  Bytes OnS(std::uint8_t pcb, std::span<const std::uint8_t> inf);
  Bytes Continue();  // next step of the answer: S-requests, then the response
  Bytes SendNextChunk();
  Bytes Send(Bytes block, std::optional<int> ns);
  Bytes Resend() { return Send(last_sent_, last_sent_ns_); }
  void DropChains();

  CardBackend& app_;
  Journal& journal_;
  T1Config config_;

  // Sequence state.
  int card_ns_ = 0;
  int expect_ns_ = 0;
  bool any_ns_ = true;
  bool retransmit_asked_ = false;
  std::uint8_t ifsd_ = 32;

  // Exchange state.
  Bytes command_;
  Bytes response_;
  bool chain_active_ = false;
  Bytes last_sent_;
  std::optional<int> last_sent_ns_;
  Await await_ = Await::kNothing;
  std::uint8_t await_value_ = 0;
  int wtx_left_ = 0;
  std::uint8_t wtx_multiplier_ = 1;
  std::optional<std::uint8_t> ifs_now_;

  // Configured behaviours.
  int cfg_wtx_ = 0;
  std::uint8_t cfg_wtx_multiplier_ = 1;
  std::optional<std::uint8_t> cfg_ifs_;
  int cfg_retransmit_ = 0;
  std::uint8_t cfg_retransmit_bits_ = kROtherError;
  int cfg_corrupt_ = 0;
  bool cfg_endless_chain_ = false;
};

}  // namespace ttycard::emu
