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
  bool raw = false;  // `in` already carries its (possibly wrong) LRC
};

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
  std::string text = Spaced(std::array{std::uint8_t{0}, static_cast<std::uint8_t>(pcb),
                                       static_cast<std::uint8_t>(b.size())});
  if (!b.empty()) {
    text += ' ';
    text += Spaced(b);
  }
  return text;
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
  };
  for (const Script& s : scripts) {
    SCOPED_TRACE(s.name);
    Harness h(s.config);
    if (s.setup) s.setup(h.card);
    for (const Step& step : s.steps) {
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
