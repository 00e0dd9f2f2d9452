#include "t1_card.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

namespace ttycard::emu {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::SizeIs;

// NAD PCB LEN INF written in hex; the LRC is appended.
Bytes B(std::string_view hex) {
  Bytes b = *ParseHexArg(hex);
  b.push_back(XorSum(b));
  return b;
}

struct Harness {
  CardApp app;
  Journal journal;
  T1Card card;
  explicit Harness(T1Config config = {}) : card(app, journal, config) {}
};

// One host block and the card's expected answer.
struct Step {
  std::string in;
  std::string out;
  bool raw = false;                               // `in` already carries its (possibly wrong) LRC
  std::function<void(T1Card&)> before = nullptr;  // e.g. arm a misbehaviour
};

void Arm(T1Card& c, T1Behaviour b) {
  c.Configure(b);
}

struct Script {
  const char* name;
  std::function<void(T1Card&)> setup;
  std::vector<Step> steps;
  std::size_t violations = 0;
  T1Config config{};
};

// ECHO of 2 bytes: 80 EC 00 00 02 AA BB -> AA BB 90 00.
constexpr const char* kEcho = "80 EC 00 00 02 AA BB";

std::string I(int ns, std::string_view inf, bool more = false) {
  const auto pcb = (ns ? 0x40 : 0) | (more ? 0x20 : 0);
  const Bytes b = *ParseHexArg(inf);
  std::string out = Spaced(std::array{std::uint8_t{0}, static_cast<std::uint8_t>(pcb),
                                      static_cast<std::uint8_t>(b.size())});
  if (!b.empty()) out.append(" ").append(Spaced(b));
  return out;
}

TEST(T1Card, Scripts) {
  const std::string echo_resp = "AA BB 90 00";
  const Script scripts[] = {
      {"alternating exchanges",
       nullptr,
       {{I(0, kEcho), I(0, echo_resp)},
        {I(1, kEcho), I(1, echo_resp)},
        {I(0, kEcho), I(0, echo_resp)}}},
      {"first block after reset may carry N(S) 1",
       nullptr,
       {{I(1, kEcho), I(0, echo_resp)}, {I(0, kEcho), I(1, echo_resp)}}},
      {"repeated N(S) is refused",
       nullptr,
       {{I(0, kEcho), I(0, echo_resp)}, {I(0, kEcho), "00 92 00"}, {I(1, kEcho), I(1, echo_resp)}},
       1},
      {"bad LRC gets an EDC R-block", nullptr, {{"00 00 02 00 00 FF", "00 81 00", true}}, 1},
      {"LEN disagreeing with the size", nullptr, {{"00 00 05 00 84 00", "00 81 00"}}, 1},
      {"chained command acknowledged block by block",
       nullptr,
       {{I(0, "80 EC 00 00", true), "00 90 00"},
        {I(1, "02", true), "00 80 00"},
        {I(0, "AA BB"), I(0, echo_resp)}}},
      {"WTX requests before the answer",
       [](T1Card& c) { c.Configure(T1Behaviour::kWtx, 2, 5); },
       {{I(0, kEcho), "00 C3 01 05"},
        {"00 E3 01 05", "00 C3 01 05"},
        {"00 E3 01 05", I(0, echo_resp)}}},
      {"WTX response with another multiplier",
       [](T1Card& c) { c.Configure(T1Behaviour::kWtx, 1, 5); },
       {{I(0, kEcho), "00 C3 01 05"}, {"00 E3 01 06", I(0, echo_resp)}},
       1},
      {"WTX response nobody asked for", nullptr, {{"00 E3 01 01", "00 82 00"}}, 1},
      {"slow command: P1 WTX requests with multiplier P2",
       nullptr,
       {{I(0, "80 C8 02 03"), "00 C3 01 03"},
        {"00 E3 01 03", "00 C3 01 03"},
        {"00 E3 01 03", I(0, "90 00")}}},
      {"host IFS request is echoed",
       nullptr,
       {{"00 C1 01 FE", "00 E1 01 FE"}, {I(0, kEcho), I(0, echo_resp)}}},
      {"card IFS request before the answer",
       [](T1Card& c) { c.Configure(T1Behaviour::kIfsRequest, 1, 0x40); },
       {{I(0, kEcho), "00 C1 01 40"}, {"00 E1 01 40", I(0, echo_resp)}}},
      {"I-block while the card waits for the WTX response",
       [](T1Card& c) { c.Configure(T1Behaviour::kWtx, 1, 1); },
       {{I(0, kEcho), "00 C3 01 01"}, {I(1, kEcho), "00 92 00"}},
       1},
      {"retransmission request: ISO resends with the same N(S)",
       [](T1Card& c) { c.Configure(T1Behaviour::kRetransmitRequest); },
       {{I(1, kEcho), "00 92 00"}, {I(1, kEcho), I(0, echo_resp)}}},
      {"retransmission answered with a new N(S) is refused",
       [](T1Card& c) { c.Configure(T1Behaviour::kRetransmitRequest, 1, 0x01); },
       {{I(0, kEcho), "00 81 00"}, {I(1, kEcho), "00 82 00"}},
       1},
      {"lenient: new N(S) after a retransmission request",
       [](T1Card& c) { c.Configure(T1Behaviour::kRetransmitRequest); },
       {{I(0, kEcho), "00 82 00"}, {I(1, kEcho), I(0, echo_resp)}, {I(0, kEcho), I(1, echo_resp)}},
       0,
       T1Config{32, true}},
      {"host R-block asks for the last block again",
       nullptr,
       {{I(0, kEcho), I(0, echo_resp)}, {"00 81 00", I(0, echo_resp)}}},
      {"R-block acknowledging nothing",
       nullptr,
       {{I(0, kEcho), I(0, echo_resp)}, {"00 90 00", "00 92 00"}},
       1},
      {"host WTX request", nullptr, {{"00 C3 01 01", "00 82 00"}}, 1},
      {"RESYNCH resets both sequence numbers",
       nullptr,
       {{I(0, kEcho), I(0, echo_resp)}, {"00 C0 00", "00 E0 00"}, {I(1, kEcho), I(0, echo_resp)}}},
      {"chained response with a short IFSC",
       nullptr,
       {{I(0, "80 EC 00 05 01 AA"), I(0, "AA 01 02", true)},
        {"00 90 00", I(1, "03 04 90", true)},
        {"00 90 00", I(1, "03 04 90", true)},  // N(R) 1 = its own N(S): resend
        {"00 80 00", I(0, "00")}},
       0,
       T1Config{3, false}},
      {"I-block longer than the IFSC is refused, state kept",
       nullptr,
       {{I(0, "80 EC 00 00 0C 01 02 03 04 05 06 07 08 09 0A 0B 0C"), "00 82 00"},
        {I(0, kEcho), I(0, echo_resp)}},
       1,
       T1Config{0, false, 16}},
      {"I-block of exactly the IFSC is taken",
       nullptr,
       {{I(0, "80 EC 00 00 0B 01 02 03 04 05 06 07 08 09 0A 0B"),
         I(0, "01 02 03 04 05 06 07 08 09 0A 0B 90 00")}},
       0,
       T1Config{0, false, 16}},
      {"IFS request refused",
       nullptr,
       {{"00 C1 01 FE", "00 82 00"}, {I(0, kEcho), I(0, echo_resp)}},
       0,
       T1Config{0, false, 32, true}},
      {"missed block: EDC error, nothing moves",
       nullptr,
       {{I(0, kEcho), I(0, echo_resp)},
        {I(1, kEcho), "00 91 00", false, [](T1Card& c) { Arm(c, T1Behaviour::kMissBlock); }},
        {I(1, kEcho), I(1, echo_resp)},
        {"00 80 00", "00 81 00", false, [](T1Card& c) { Arm(c, T1Behaviour::kMissBlock); }},
        {I(0, kEcho), I(0, echo_resp)}}},
      {"missed acknowledgement in a chained response: the repeated one goes on",
       nullptr,
       {{I(0, "80 EC 00 05 01 AA"), I(0, "AA 01 02", true)},
        {"00 90 00", "00 91 00", false, [](T1Card& c) { Arm(c, T1Behaviour::kMissBlock); }},
        {"00 90 00", I(1, "03 04 90", true)},
        {"00 80 03 83", "00 91 00", true},  // garbled on the way: LRC wrong
        {"00 80 00", I(0, "00")}},
       1,
       T1Config{3, false}},
      {"missed block in a chained command",
       nullptr,
       {{I(0, "80 EC 00 00", true), "00 90 00"},
        {I(1, "02", true), "00 91 00", false, [](T1Card& c) { Arm(c, T1Behaviour::kMissBlock); }},
        {I(1, "02", true), "00 80 00"},
        {I(0, "AA BB"), I(0, echo_resp)}}},
      {"previous I-block sent again, then the real answer",
       nullptr,
       {{I(0, kEcho), I(0, echo_resp)},
        {I(1, "80 EC 00 00 01 CC"), I(0, echo_resp), false,
         [](T1Card& c) { Arm(c, T1Behaviour::kResendPrevious); }},
        {I(1, "80 EC 00 00 01 CC"), I(1, "CC 90 00")}}},
      {"previous R-block sent again in a chained command: nothing spliced",
       nullptr,
       {{I(0, "80 EC 00 00", true), "00 90 00"},
        {I(1, "02", true), "00 90 00", false,
         [](T1Card& c) { Arm(c, T1Behaviour::kResendPrevious); }},
        {I(1, "02", true), "00 80 00"},
        {I(0, "AA BB"), I(0, echo_resp)}}},
      {"nothing to resend after reset: EDC error",
       [](T1Card& c) { Arm(c, T1Behaviour::kResendPrevious); },
       {{I(0, kEcho), "00 81 00"}, {I(0, kEcho), I(0, echo_resp)}}},
      {"asked again for the very block",
       nullptr,
       {{I(0, kEcho), I(0, echo_resp)},
        {I(1, kEcho), "00 90 00", false, [](T1Card& c) { Arm(c, T1Behaviour::kAskAgain); }},
        {I(1, kEcho), I(1, echo_resp)},
        {"00 C1 01 40", "00 E1 01 40", false,  // only I-blocks are asked again
         [](T1Card& c) { Arm(c, T1Behaviour::kAskAgain); }},
        {I(0, kEcho), "00 80 00"},
        {I(0, kEcho), I(0, echo_resp)}}},
      {"host R-block with an error bit after its block was lost",
       nullptr,
       {{I(0, kEcho), I(0, echo_resp)},
        {"00 91 00", "00 92 00"},  // the card's next I-block would be N(S) 1: none yet
        {I(1, kEcho), I(1, echo_resp)}}},
      {"chained block acknowledged, not kept: asked for by its number, RESYNCH drops it",
       [](T1Card& c) { Arm(c, T1Behaviour::kAckNotKept); },
       {{I(0, "80 EC 00 00", true), "00 90 00"},
        {I(1, "02", true), "00 82 00"},
        {"00 C0 00", "00 E0 00"},
        {I(0, kEcho), I(0, echo_resp)}}},
      {"chained block acknowledged, not kept: the next chunk under its number runs cut",
       [](T1Card& c) { Arm(c, T1Behaviour::kAckNotKept); },
       {{I(0, "80 EC 00 00", true), "00 90 00"},
        {I(1, "02", true), "00 82 00"},
        {I(0, "02", true), "00 90 00"},
        {I(1, "AA BB"), I(0, "67 00")}},  // "02 AA BB" ran
       1},
      {"host R-block with an error bit before anything was sent",
       nullptr,
       {{"00 82 00", "00 82 00"}, {I(0, kEcho), I(0, echo_resp)}}},
  };
  for (const Script& s : scripts) {
    SCOPED_TRACE(s.name);
    Harness h(s.config);
    if (s.setup) s.setup(h.card);
    for (const Step& step : s.steps) {
      if (step.before) step.before(h.card);
      const Bytes in = step.raw ? *ParseHexArg(step.in) : B(step.in);
      EXPECT_EQ(h.card.Receive(in), B(step.out)) << "after " << step.in;
    }
    EXPECT_THAT(h.journal.violations, SizeIs(s.violations));
    EXPECT_THAT(h.journal.t1_blocks, SizeIs(2 * s.steps.size()));
  }
}

// Drives a chained response to its end the way a correct host does.
Bytes CollectResponse(T1Card& card, Bytes reply) {
  Bytes inf;
  while (true) {
    EXPECT_EQ(BlockError(reply), "");
    inf.insert(inf.end(), reply.begin() + 3, reply.end() - 1);
    if (!(reply[1] & kPcbMore)) return inf;
    reply = card.Receive(MakeR((reply[1] & kPcbNs) ? 0 : 1));
  }
}

TEST(T1Card, LongResponsesArriveInChainedBlocksAcrossExchanges) {
  Harness h;
  const Bytes file = CardApp::FileContent(kFileLong);
  EXPECT_EQ(CollectResponse(h.card, h.card.Receive(B("00 00 07 00 A4 00 00 02 2F 00"))),
            (Bytes{0x90, 0x00}));
  const Bytes first = h.card.Receive(B("00 40 05 00 B0 00 00 00"));
  EXPECT_EQ(first[1], 0x40 | kPcbMore);  // card N(S) continues at 1
  EXPECT_EQ(first[2], 32);
  Bytes expected(file.begin(), file.begin() + 256);
  expected.insert(expected.end(), {0x90, 0x00});
  EXPECT_EQ(CollectResponse(h.card, first), expected);
  // 258 bytes: 8 blocks of 32 and one of 2, N(S) alternating from 1.
  std::vector<std::uint8_t> card_pcbs;
  for (const T1Record& r : h.journal.t1_blocks) {
    if (r.from_card) card_pcbs.push_back(r.block[1]);
  }
  ASSERT_THAT(card_pcbs, SizeIs(10));
  for (std::size_t i = 1; i < 10; ++i) {
    EXPECT_EQ(card_pcbs[i] & kPcbNs, (i % 2) ? kPcbNs : 0) << i;
    EXPECT_EQ((card_pcbs[i] & kPcbMore) != 0, i < 9) << i;
  }
  EXPECT_THAT(h.journal.violations, IsEmpty());
}

TEST(T1Card, ResponseBlocksFollowTheIfsd) {
  struct Case {
    const char* ifs_request;  // nullptr: none
    bool refuse;
    std::size_t max_inf;
    std::uint8_t first_len;
  };
  const Case cases[] = {
      {nullptr, false, 0, 32},        {"00 C1 01 40", false, 0, 0x40},
      {"00 C1 01 FE", false, 0, 254}, {"00 C1 01 FE", false, 100, 100},
      {"00 C1 01 10", false, 0, 16},  {"00 C1 01 FE", true, 0, 32},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ifs_request ? c.ifs_request : "no IFS request");
    Harness h(T1Config{c.max_inf, false, 32, c.refuse});
    if (c.ifs_request) h.card.Receive(B(c.ifs_request));
    // ECHO of 300 bytes: 80 EC 01 2C 01 AA.
    const Bytes first = h.card.Receive(B(I(0, "80 EC 01 2C 01 AA")));
    EXPECT_EQ(first[2], c.first_len);
    EXPECT_EQ(CollectResponse(h.card, first).size(), 302u);
    h.card.Reset();  // IFSD back to 32
    EXPECT_EQ(h.card.Ifsd(), 32);
    EXPECT_EQ(h.card.Receive(B(I(0, "80 EC 01 2C 01 AA")))[2],
              std::min<std::size_t>(32, c.max_inf ? c.max_inf : 32));
    EXPECT_THAT(h.journal.violations, IsEmpty());
  }
}

TEST(T1Card, ExtendedApdusTravelInChains) {
  Harness h;
  // The host announces IFSD 254, sends an extended READ BINARY of EF 2F02
  // (00 B0 0000 Le 1F40 = 8000) and the card chains 8002 bytes back.
  EXPECT_EQ(h.card.Receive(B("00 C1 01 FE")), B("00 E1 01 FE"));
  EXPECT_EQ(h.card.Receive(B(I(0, "00 A4 00 00 02 2F 02"))), B(I(0, "90 00")));
  Bytes expected = CardApp::FileContent(kFileLarge);
  ASSERT_EQ(expected.size(), 8000u);
  expected.insert(expected.end(), {0x90, 0x00});
  EXPECT_EQ(CollectResponse(h.card, h.card.Receive(B(I(1, "00 B0 00 00 00 1F 40")))), expected);
  // An extended ECHO of 300 bytes (case 4E) sent in blocks of at most IFSC 32.
  Bytes apdu = {0x80, 0xEC, 0x00, 0x00, 0x00, 0x01, 0x2C};
  for (int i = 0; i < 300; ++i) apdu.push_back(static_cast<std::uint8_t>(i * 3));
  apdu.insert(apdu.end(), {0x00, 0x00});
  int ns = 0;
  Bytes reply;
  for (std::size_t off = 0; off < apdu.size(); off += 32) {
    const std::size_t n = std::min<std::size_t>(32, apdu.size() - off);
    const bool more = off + n < apdu.size();
    reply = h.card.Receive(MakeI(ns, more, std::span(apdu).subspan(off, n)));
    ns ^= 1;
    if (more) {
      EXPECT_EQ(reply, MakeR(ns));
    }
  }
  Bytes echo(apdu.begin() + 7, apdu.end() - 2);
  echo.insert(echo.end(), {0x90, 0x00});
  EXPECT_EQ(CollectResponse(h.card, reply), echo);
  EXPECT_THAT(h.journal.violations, IsEmpty());
}

TEST(T1Card, CorruptLrcOnceThenTheResendIsClean) {
  Harness h;
  h.card.Configure(T1Behaviour::kCorruptLrc);
  const Bytes bad = h.card.Receive(B(I(0, kEcho)));
  EXPECT_NE(BlockError(bad), "");
  EXPECT_EQ(h.card.Receive(B("00 81 00")), B(I(0, "AA BB 90 00")));
  EXPECT_THAT(h.journal.violations, IsEmpty());
}

TEST(T1Card, EndlessBehavioursNeverLetGo) {
  Harness wtx;
  wtx.card.Configure(T1Behaviour::kEndlessWtx, 0, 2);
  EXPECT_EQ(wtx.card.Receive(B(I(0, kEcho))), B("00 C3 01 02"));
  for (int i = 0; i < 20; ++i) EXPECT_EQ(wtx.card.Receive(B("00 E3 01 02")), B("00 C3 01 02"));

  Harness retransmit;
  retransmit.card.Configure(T1Behaviour::kEndlessRetransmit);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(retransmit.card.Receive(B(I(0, kEcho))), B("00 82 00"));

  Harness chain;
  chain.card.Configure(T1Behaviour::kEndlessChain);
  Bytes reply = chain.card.Receive(B(I(0, kEcho)));
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(reply[1] & kPcbMore) << i;
    EXPECT_EQ(reply[2], 32);
    reply = chain.card.Receive(MakeR((i + 1) % 2));
  }
  EXPECT_THAT(wtx.journal.violations, IsEmpty());
  EXPECT_THAT(retransmit.journal.violations, IsEmpty());
  EXPECT_THAT(chain.journal.violations, IsEmpty());
}

TEST(T1Card, ResetRestartsSequenceNumbersButKeepsBehaviours) {
  Harness h;
  h.card.Receive(B(I(0, kEcho)));
  h.card.Configure(T1Behaviour::kWtx, 1, 9);
  h.card.Reset();
  EXPECT_EQ(h.card.CardNs(), 0);
  EXPECT_EQ(h.card.Receive(B(I(0, kEcho))), B("00 C3 01 09"));
  EXPECT_EQ(h.card.Receive(B("00 E3 01 09")), B(I(0, "AA BB 90 00")));
  EXPECT_THAT(h.journal.violations, IsEmpty());
}

TEST(T1Card, ViolationsNameTheProblem) {
  Harness h;
  h.card.Receive(B(I(0, kEcho)));
  h.card.Receive(B(I(0, kEcho)));
  h.card.Receive(B("00 E1 01 20"));
  ASSERT_THAT(h.journal.violations, SizeIs(2));
  EXPECT_THAT(h.journal.violations[0], HasSubstr("N(S) 0, the card expects 1"));
  EXPECT_THAT(h.journal.violations[1], HasSubstr("IFS response"));
}

}  // namespace
}  // namespace ttycard::emu
