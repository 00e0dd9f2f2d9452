#include "t1_card.h"

#include <algorithm>
#include <array>

namespace ttycard::emu {
namespace {

std::string Bit(int b) {
  return std::to_string(b);
}

// One use of a configured count (kT1Forever: never used up).
bool Use(int& count) {
  if (count == 0) return false;
  if (count > 0) --count;
  return true;
}

}  // namespace

void T1Card::Reset() {
  card_ns_ = 0;
  expect_ns_ = 0;
  any_ns_ = true;
  retransmit_asked_ = false;
  ifsd_ = 32;
  DropChains();
  last_sent_.clear();
  last_sent_ns_.reset();
}

void T1Card::DropChains() {
  command_.clear();
  command_cut_ = false;
  ask_dropped_ = false;
  response_.clear();
  chain_active_ = false;
  await_ = Await::kNothing;
  wtx_left_ = 0;
  ifs_now_.reset();
}

void T1Card::Configure(T1Behaviour behaviour, int count, std::uint8_t value) {
  switch (behaviour) {
    case T1Behaviour::kWtx:
      cfg_wtx_ = count;
      cfg_wtx_multiplier_ = value != 0 ? value : 1;
      break;
    case T1Behaviour::kIfsRequest:
      cfg_ifs_ = value != 0 ? value : 32;
      break;
    case T1Behaviour::kRetransmitRequest:
      cfg_retransmit_ = count;
      cfg_retransmit_bits_ = value != 0 ? value : kROtherError;
      break;
    case T1Behaviour::kCorruptLrc:
      cfg_corrupt_ = count;
      break;
    case T1Behaviour::kEndlessWtx:
      cfg_wtx_ = kT1Forever;
      cfg_wtx_multiplier_ = value != 0 ? value : 1;
      break;
    case T1Behaviour::kEndlessRetransmit:
      cfg_retransmit_ = kT1Forever;
      cfg_retransmit_bits_ = value != 0 ? value : kROtherError;
      break;
    case T1Behaviour::kEndlessChain:
      cfg_endless_chain_ = true;
      break;
    case T1Behaviour::kMissBlock:
      cfg_miss_ = count;
      break;
    case T1Behaviour::kResendPrevious:
      cfg_resend_previous_ = count;
      break;
    case T1Behaviour::kAskAgain:
      cfg_ask_again_ = count;
      break;
    case T1Behaviour::kAckNotKept:
      cfg_ack_not_kept_ = count;
      break;
  }
}

void T1Card::ClearBehaviours() {
  cfg_wtx_ = 0;
  cfg_wtx_multiplier_ = 1;
  cfg_ifs_.reset();
  cfg_retransmit_ = 0;
  cfg_retransmit_bits_ = kROtherError;
  cfg_corrupt_ = 0;
  cfg_endless_chain_ = false;
  cfg_miss_ = 0;
  cfg_resend_previous_ = 0;
  cfg_ask_again_ = 0;
  cfg_ack_not_kept_ = 0;
}

std::optional<Bytes> T1Card::Ignore(std::span<const std::uint8_t> block) {
  if (Use(cfg_miss_) ||
      (cfg_resend_previous_ != 0 && last_sent_.empty() && Use(cfg_resend_previous_))) {
    journal_.Trace("emu ~~ T=1 block not taken (as if garbled)");
    return Send(MakeR(expect_ns_, kREdcError), std::nullopt, false);
  }
  if (Use(cfg_resend_previous_)) {
    journal_.Trace("emu ~~ T=1 block not taken, previous block sent again");
    return Resend();
  }
  if (KindOf(block[1]) == BlockKind::kI && Use(cfg_ask_again_)) {
    journal_.Trace("emu ~~ T=1 block not taken, asked again");
    return Send(MakeR((block[1] & kPcbNs) ? 1 : 0), std::nullopt, false);
  }
  return std::nullopt;
}

Bytes T1Card::Receive(std::span<const std::uint8_t> block) {
  journal_.t1_blocks.push_back({false, Bytes(block.begin(), block.end())});
  journal_.Trace("emu <- T=1 " + DescribeBlock(block));
  if (const std::string error = BlockError(block); !error.empty()) {
    journal_.Violation(error + ": " + Spaced(block));
    return Send(MakeR(expect_ns_, kREdcError), std::nullopt, false);
  }
  if (auto ignored = Ignore(block)) return *ignored;
  if (block[0] != 0) journal_.Violation("T=1 block with NAD " + Spaced(block.first(1)));
  const std::uint8_t pcb = block[1];
  const auto inf = block.subspan(3, block[2]);
  switch (KindOf(pcb)) {
    case BlockKind::kI:
      return OnI(pcb, inf);
    case BlockKind::kR:
      return OnR(pcb);
    case BlockKind::kS:
      break;
  }
  return OnS(pcb, inf);
}

Bytes T1Card::OnI(std::uint8_t pcb, std::span<const std::uint8_t> inf) {
  const int ns = (pcb & kPcbNs) ? 1 : 0;
  if (pcb & 0x1F) journal_.Violation("I-block PCB with reserved bits set: " + Spaced({&pcb, 1}));
  if (inf.size() > config_.ifsc) {
    journal_.Violation("I-block with " + std::to_string(inf.size()) + " INF bytes, IFSC is " +
                       std::to_string(config_.ifsc));
    return Send(MakeR(expect_ns_, kROtherError), std::nullopt);
  }
  if (await_ != Await::kNothing) {
    journal_.Violation(std::string("I-block while the card waits for an S(") +
                       (await_ == Await::kWtxResponse ? "WTX" : "IFS") + " response)");
    return Send(MakeR(expect_ns_, kROtherError), std::nullopt);
  }
  if (chain_active_) {
    journal_.Violation("I-block in the middle of the card's chained response");
    DropChains();
  }
  if (ask_dropped_ && !any_ns_ && ns != expect_ns_) {
    // The block after the one dropped: ask for the dropped one by its number.
    ask_dropped_ = false;
    journal_.Trace("emu ~~ T=1 asks for the chained block it acknowledged and dropped");
    return Send(MakeR(expect_ns_, kROtherError), std::nullopt);
  }
  bool accepted = any_ns_ || ns == expect_ns_;
  if (!accepted && retransmit_asked_ && config_.lenient_retransmit_ns) accepted = true;
  if (!accepted) {
    journal_.Violation("I-block with N(S) " + Bit(ns) + ", the card expects " + Bit(expect_ns_));
    return Send(MakeR(expect_ns_, kROtherError), std::nullopt);
  }
  any_ns_ = false;
  retransmit_asked_ = false;
  if (cfg_retransmit_ != 0) {
    if (cfg_retransmit_ > 0) --cfg_retransmit_;
    expect_ns_ = ns;
    retransmit_asked_ = true;
    return Send(MakeR(ns, cfg_retransmit_bits_), std::nullopt);
  }
  if (auto dropped = AckNotKept(ns, pcb)) return *dropped;
  expect_ns_ = ns ^ 1;
  command_.insert(command_.end(), inf.begin(), inf.end());
  if (pcb & kPcbMore) return Send(MakeR(expect_ns_), std::nullopt);

  if (command_cut_) {
    journal_.Violation("the card runs a command the host did not send (" +
                       std::to_string(command_.size()) +
                       " bytes, a chained block it acknowledged is missing)");
  }
  const CardResponse answer = app_.Process(command_);
  command_.clear();
  command_cut_ = false;
  response_ = answer.Apdu();
  wtx_left_ = answer.wtx_requests;
  wtx_multiplier_ = answer.wtx_multiplier;
  if (cfg_wtx_ != 0) {
    wtx_left_ = cfg_wtx_;
    wtx_multiplier_ = cfg_wtx_multiplier_;
    if (cfg_wtx_ > 0) cfg_wtx_ = 0;
  }
  ifs_now_ = cfg_ifs_;
  cfg_ifs_.reset();
  return Continue();
}

std::optional<Bytes> T1Card::AckNotKept(int ns, std::uint8_t pcb) {
  if ((pcb & kPcbMore) == 0 || !Use(cfg_ack_not_kept_)) return std::nullopt;
  journal_.Trace("emu ~~ T=1 chained block acknowledged, not kept");
  expect_ns_ = ns;  // still waiting for this very block
  command_cut_ = true;
  ask_dropped_ = true;
  return Send(MakeR(ns ^ 1), std::nullopt);
}

Bytes T1Card::Continue() {
  if (ifs_now_) {
    await_ = Await::kIfsResponse;
    await_value_ = *ifs_now_;
    ifs_now_.reset();
    return Send(MakeBlock(kSIfsReq, std::array{await_value_}), std::nullopt);
  }
  if (wtx_left_ != 0) {
    if (wtx_left_ > 0) --wtx_left_;
    await_ = Await::kWtxResponse;
    await_value_ = wtx_multiplier_;
    return Send(MakeBlock(kSWtxReq, std::array{await_value_}), std::nullopt);
  }
  await_ = Await::kNothing;
  return SendNextChunk();
}

Bytes T1Card::SendNextChunk() {
  std::size_t max_inf = ifsd_;
  if (config_.max_inf != 0) max_inf = std::min(max_inf, config_.max_inf);
  max_inf = std::clamp<std::size_t>(max_inf, 1, 254);
  if (cfg_endless_chain_) {
    while (response_.size() < max_inf)
      response_.push_back(static_cast<std::uint8_t>(response_.size()));
  }
  const std::size_t n = std::min(max_inf, response_.size());
  const Bytes chunk(response_.begin(), response_.begin() + static_cast<std::ptrdiff_t>(n));
  response_.erase(response_.begin(), response_.begin() + static_cast<std::ptrdiff_t>(n));
  const bool more = !response_.empty() || cfg_endless_chain_;
  chain_active_ = more;
  const int ns = card_ns_;
  card_ns_ ^= 1;
  return Send(MakeI(ns, more, chunk), ns);
}

Bytes T1Card::Send(Bytes block, std::optional<int> ns, bool remember) {
  if (remember) {
    last_sent_ = block;
    last_sent_ns_ = ns;
  }
  if (cfg_corrupt_ != 0) {
    if (cfg_corrupt_ > 0) --cfg_corrupt_;
    block.back() = static_cast<std::uint8_t>(~block.back());
  }
  journal_.t1_blocks.push_back({true, block});
  journal_.Trace("emu -> T=1 " + DescribeBlock(block));
  return block;
}

Bytes T1Card::OnR(std::uint8_t pcb) {
  const int nr = (pcb & kPcbNr) ? 1 : 0;
  if (pcb & 0x2C) journal_.Violation("R-block PCB with reserved bits set: " + Spaced({&pcb, 1}));
  const bool error = (pcb & (kREdcError | kROtherError)) != 0;
  if (last_sent_.empty()) {
    // With an error bit: the host's first block was lost on the way.
    if (!error) journal_.Violation("R-block before the card sent anything");
    return Send(MakeR(expect_ns_, kROtherError), std::nullopt);
  }
  if (!last_sent_ns_) return Resend();  // the host missed the card's R- or S-block
  if (nr == *last_sent_ns_) return Resend();
  if (chain_active_) return SendNextChunk();
  // The host's I-block never arrived: it asks for the card's next block,
  // which the card cannot send before it has the command.
  if (error) return Send(MakeR(expect_ns_, kROtherError), std::nullopt);
  journal_.Violation("R-block with N(R) " + Bit(nr) +
                     " acknowledges nothing: the card's response is complete");
  return Send(MakeR(expect_ns_, kROtherError), std::nullopt);
}

Bytes T1Card::OnS(std::uint8_t pcb, std::span<const std::uint8_t> inf) {
  const auto value = [&]() -> std::optional<std::uint8_t> {
    if (inf.size() == 1) return inf[0];
    return std::nullopt;
  }();
  switch (pcb) {
    case kSIfsReq:
      if (!value || *value == 0 || *value == 0xFF) {
        journal_.Violation("S(IFS request) with INF " + Spaced(inf));
        return Send(MakeR(expect_ns_, kROtherError), std::nullopt);
      }
      if (config_.refuse_ifs) {
        journal_.Trace("emu ~~ S(IFS request) refused");
        return Send(MakeR(expect_ns_, kROtherError), std::nullopt);
      }
      ifsd_ = *value;
      return Send(MakeBlock(kSIfsReq | kSResponse, inf), std::nullopt);
    case kSResynchReq:
      DropChains();
      card_ns_ = 0;
      expect_ns_ = 0;
      any_ns_ = true;
      return Send(MakeBlock(kSResynchReq | kSResponse), std::nullopt);
    case kSAbortReq:
      DropChains();
      return Send(MakeBlock(kSAbortReq | kSResponse), std::nullopt);
    case kSWtxReq | kSResponse:
      if (await_ != Await::kWtxResponse) {
        journal_.Violation("S(WTX response) without a WTX request");
        break;
      }
      if (value != await_value_) {
        journal_.Violation("S(WTX response) with INF " + Spaced(inf) + ", the card asked for " +
                           Spaced(std::array{await_value_}));
      }
      return Continue();
    case kSIfsReq | kSResponse:
      if (await_ != Await::kIfsResponse) {
        journal_.Violation("S(IFS response) without an IFS request");
        break;
      }
      if (value != await_value_) {
        journal_.Violation("S(IFS response) with INF " + Spaced(inf) + ", the card asked for " +
                           Spaced(std::array{await_value_}));
      }
      return Continue();
    default:
      journal_.Violation("unexpected S-block PCB " + Spaced({&pcb, 1}));
      break;
  }
  return Send(MakeR(expect_ns_, kROtherError), std::nullopt);
}

}  // namespace ttycard::emu
