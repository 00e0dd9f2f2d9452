// The card side of ISO/IEC 7816-3 T=1, played strictly so that host faults
// show up as protocol violations in the Journal.
//
// Receive() takes one block from the host and returns the one block the card
// answers with:
//  - A block with a bad LRC, or a LEN that disagrees with its size, is
//    answered with R(N(R) = the N(S) the card expects, EDC error 0x01); the
//    card's state does not move, so when the host repeats its block (an
//    R-block acknowledging part of a chained response included) the
//    exchange goes on where it was.
//  - I-blocks must alternate N(S) 0,1,0,... The FIRST I-block after reset
//    (power-up) or RESYNCH is accepted with either N(S), because a host keeps
//    its counter across card resets. A wrong N(S) later is answered with
//    R(expected, other error 0x02).
//  - Chained commands (M bit 0x20) are acknowledged block by block with
//    R(N(R) = next expected N(S)); the last block completes the APDU.
//  - An I-block whose INF is longer than the card's IFSC (config.ifsc) is
//    refused with R(expected N(S), other error 0x02), as a real card does.
//  - Responses longer than IFSD bytes go out as chained I-blocks; IFSD is 32
//    after every reset and what the host set with S(IFS request) since
//    (config.max_inf, when not 0, caps it further). The card's N(S)
//    alternates from 0 after reset, across exchanges.
//  - An R-block whose N(R) equals the N(S) of the card's last I-block asks for
//    that block again (resent unchanged); one with the other N(R) during a
//    chained response asks for the next part. After an S-request or R-block
//    of the card, any R-block makes the card resend that block. An R-block
//    with an error bit that names nothing to resend (the host's I-block was
//    lost on the way, so the card's last block is an older I-block) is
//    answered with R(expected N(S), other error) and is no violation.
//  - The card never takes a block twice and never appends a repeated block
//    to a command: a correct host cannot make it run a spliced command.
//    Should it ever run a command the host did not send (one that lost a
//    block to kAckNotKept), that is recorded as a violation.
//  - S(IFS request) is answered with S(IFS response) echoing the value (or,
//    with config.refuse_ifs, with R(expected N(S), other error), IFSD 32);
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
  // Blocks of the host the card does not take (the next `count` blocks;
  // nothing in the card's state moves):
  kMissBlock,       // any block, as if garbled: R(N(R) = expected N(S), EDC error 0x01)
  kResendPrevious,  // any block: the card sends its own previous block again, unchanged
                    // (its last I-block or R-block; R(expected, EDC) if it sent none)
  kAskAgain,        // the next I-block: R(N(R) = that block's N(S), no error bits)
  // A chained block the card acknowledges but does not keep (the next `count`
  // chained I-blocks): it answers R(N(R) = the next N(S)) as for a block
  // taken, still expects the block's own N(S), and answers the host's next
  // I-block, which carries the other N(S), with R(N(R) = the acknowledged
  // block's N(S), other error 0x02). S(RESYNCH request) drops it all.
  kAckNotKept,
};

inline constexpr int kT1Forever = -1;

struct T1Config {
  std::size_t max_inf = 0;             // extra cap on the INF the card sends (0: IFSD only)
  bool lenient_retransmit_ns = false;  // see below
  std::uint8_t ifsc = 32;              // the card's IFSC (16..254): longest INF it takes
  bool refuse_ifs = false;             // S(IFS request) refused, IFSD stays 32
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
  std::uint8_t Ifsd() const { return ifsd_; }    // 32, or the IFS the host announced since

 private:
  enum class Await : std::uint8_t { kNothing, kWtxResponse, kIfsResponse };

  Bytes OnI(std::uint8_t pcb, std::span<const std::uint8_t> inf);
  Bytes OnR(std::uint8_t pcb);
  Bytes OnS(std::uint8_t pcb, std::span<const std::uint8_t> inf);
  Bytes Continue();  // next step of the answer: S-requests, then the response
  Bytes SendNextChunk();
  // remember = false: an answer to a block the card did not take (garbled),
  // which leaves the block an R-block of the host makes it resend unchanged.
  Bytes Send(Bytes block, std::optional<int> ns, bool remember = true);
  Bytes Resend() { return Send(last_sent_, last_sent_ns_); }
  std::optional<Bytes> Ignore(std::span<const std::uint8_t> block);  // kMissBlock & co.
  std::optional<Bytes> AckNotKept(int ns, std::uint8_t pcb);         // kAckNotKept
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
  bool command_cut_ = false;  // a block of command_ was acknowledged and dropped
  bool ask_dropped_ = false;  // the host's next I-block is answered with R(dropped N(S))
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
  int cfg_miss_ = 0;
  int cfg_resend_previous_ = 0;
  int cfg_ask_again_ = 0;
  int cfg_ack_not_kept_ = 0;
};

}  // namespace ttycard::emu
