#include "vicc_relay.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "emulator.h"
#include "fixtures.h"
#include "reader.h"
#include "t1_block.h"
#include "wire.h"

namespace ttycard::emu {
namespace {

using ::testing::ElementsAre;
using testing::FakeReply;
using testing::FakeVicc;
using testing::H;
using ::testing::IsEmpty;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const Bytes kAtr = {0x3B, 0x95, 0x13, 0x81, 0x01, 0x80, 0x73, 0xFF, 0x01, 0x00, 0x0B};

Bytes Filler(std::size_t n) {
  Bytes b;
  for (std::size_t i = 0; i < n; ++i) b.push_back(static_cast<std::uint8_t>(i * 7));
  return b;
}
Bytes Framed(const Bytes& payload) {
  Bytes b = {static_cast<std::uint8_t>(payload.size() >> 8),
             static_cast<std::uint8_t>(payload.size() & 0xFF)};
  for (const std::uint8_t x : payload) b.push_back(x);
  return b;
}

// A card that answers GET ATR with kAtr and every APDU with `answer`.
FakeVicc::Handler Card(std::function<std::optional<FakeReply>(const Bytes&)> answer) {
  return [answer](const Bytes& m) -> std::optional<FakeReply> {
    if (m.size() == 1) {
      if (m[0] == kViccGetAtr) return FakeReply{kAtr};
      return std::nullopt;
    }
    return answer(m);
  };
}

struct Relay {
  Journal journal;
  std::vector<std::string> trace;
  ViccRelay relay;
  explicit Relay(std::chrono::milliseconds timeout = 2000ms)
      : relay(ViccOptions{true, 0, timeout}, journal) {
    journal.trace = [this](std::string_view l) { trace.emplace_back(l); };
    EXPECT_TRUE(relay.Listen());
    EXPECT_NE(relay.Port(), 0);
  }
};

TEST(ViccRelay, FramesApdusBothWays) {
  struct Case {
    const char* name;
    Bytes apdu;
    Bytes reply;  // what the card answers: data + SW
  } const cases[] = {
      {"header only, SW only", H("00A4000C"), H("6A82")},
      {"select", H("00A4000C023F00"), H("9000")},
      {"300-byte command data",
       [] {
         Bytes a = H("00D60000 00012C");
         for (const std::uint8_t b : Filler(300)) a.push_back(b);
         return a;
       }(),
       H("9000")},
      {"256 data bytes back", H("00B0000000"),
       [] {
         Bytes r = Filler(256);
         r.push_back(0x90);
         r.push_back(0x00);
         return r;
       }()},
  };
  Relay r;
  std::size_t next = 0;
  FakeVicc card(r.relay.Port(), Card([&](const Bytes&) { return FakeReply{cases[next].reply}; }));
  ASSERT_TRUE(card.connected());
  ASSERT_TRUE(r.relay.WaitForClient(2s));
  Bytes expected_raw;
  for (; next < std::size(cases); ++next) {
    const Case& c = cases[next];
    const CardResponse resp = r.relay.Process(c.apdu);
    EXPECT_EQ(resp.Apdu(), c.reply) << c.name;
    EXPECT_EQ(resp.data.size(), c.reply.size() - 2) << c.name;
    for (const std::uint8_t b : Framed(c.apdu)) expected_raw.push_back(b);
  }
  EXPECT_EQ(card.Raw(), expected_raw);
  EXPECT_EQ(r.relay.Failures(), 0u);
}

TEST(ViccRelay, ReassemblesAReplyThatArrivesInPieces) {
  Relay r;
  Bytes reply = Filler(40);
  reply.push_back(0x62);
  reply.push_back(0x82);
  FakeVicc card(r.relay.Port(), Card([&](const Bytes&) {
                  return FakeReply{reply, 0ms, /*split=*/true};
                }));
  EXPECT_EQ(r.relay.Process(H("00B0000028")).Apdu(), reply);
}

TEST(ViccRelay, PowerChangesAreControlCodesAndTheAtrComesFromTheCard) {
  Relay r;
  FakeVicc card(r.relay.Port(), Card([](const Bytes&) { return FakeReply{H("9000")}; }));
  ASSERT_TRUE(r.relay.WaitForClient(2s));
  EXPECT_EQ(r.relay.PowerUp(false), kAtr);
  EXPECT_EQ(r.relay.PowerUp(true), kAtr);
  r.relay.PowerDown();
  ASSERT_TRUE(card.WaitForMessages(5, 2s));
  EXPECT_THAT(card.Messages(),
              ElementsAre(Bytes{kViccPowerOn}, Bytes{kViccGetAtr}, Bytes{kViccReset},
                          Bytes{kViccGetAtr}, Bytes{kViccPowerOff}));
  EXPECT_EQ(card.Raw(), H("0001 01 0001 04 0001 02 0001 04 0001 00"));
}

TEST(ViccRelay, CommandsTooShortToRelayAreRefusedLocally) {
  Relay r;
  FakeVicc card(r.relay.Port(), Card([](const Bytes&) { return FakeReply{H("9000")}; }));
  for (const Bytes& apdu : {Bytes{}, H("00"), H("0084"), H("008400")}) {
    const CardResponse resp = r.relay.Process(apdu);
    EXPECT_EQ(resp.sw, 0x6700) << apdu.size() << " bytes";
    EXPECT_THAT(resp.data, IsEmpty());
  }
  EXPECT_EQ(r.relay.Process(H("00840000")).sw, 0x9000);
  EXPECT_THAT(card.Messages(), ElementsAre(H("00840000")));
}

TEST(ViccRelay, SilentCardTimesOut) {
  Relay r(200ms);
  FakeVicc card(r.relay.Port(), [](const Bytes&) { return std::nullopt; });
  ASSERT_TRUE(r.relay.WaitForClient(2s));
  const std::function<bool()> calls[] = {
      [&] { return r.relay.PowerUp(false) == std::nullopt; },
      [&] { return r.relay.Process(H("0084000008")).Apdu() == H("6F00"); },
  };
  for (const auto& call : calls) {
    const auto start = Clock::now();
    EXPECT_TRUE(call());
    const auto took = Clock::now() - start;
    EXPECT_GE(took, 190ms);
    EXPECT_LT(took, 1000ms);
  }
  EXPECT_EQ(r.relay.Failures(), 2u);
  EXPECT_TRUE(r.relay.Present());  // silent, not gone
}

TEST(ViccRelay, ALateReplyIsNotTakenForTheNextOne) {
  Relay r(200ms);
  int apdus = 0;
  FakeVicc card(r.relay.Port(), Card([&](const Bytes&) {
                  // The first APDU is answered 500 ms late, after its deadline.
                  if (apdus++ == 0) return FakeReply{H("AA9000"), 500ms};
                  return FakeReply{H("BB9000")};
                }));
  EXPECT_EQ(r.relay.PowerUp(false), kAtr);
  EXPECT_EQ(r.relay.Process(H("0084000008")).sw, kViccNoAnswerSw);
  std::this_thread::sleep_for(400ms);  // "AA 90 00" arrives meanwhile
  EXPECT_EQ(r.relay.Process(H("0084000008")).Apdu(), H("BB9000"));
  EXPECT_EQ(r.relay.Process(H("0084000008")).Apdu(), H("BB9000"));
  EXPECT_EQ(r.relay.Failures(), 1u);
}

TEST(ViccRelay, HangUpIsSeenAtOnceAndEmptiesTheSlot) {
  Relay r(3000ms);
  FakeVicc card(r.relay.Port(), Card([](const Bytes&) { return FakeReply{{}, 0ms, false, true}; }));
  ASSERT_TRUE(r.relay.WaitForClient(2s));
  EXPECT_TRUE(r.relay.Present());
  const auto start = Clock::now();
  EXPECT_THAT(r.relay.Process(H("00A4000C023F00")).Apdu(), IsEmpty());  // not even SW1 SW2
  EXPECT_LT(Clock::now() - start, 1500ms);
  EXPECT_FALSE(r.relay.Present());
  EXPECT_EQ(r.relay.PowerUp(false), std::nullopt);
}

TEST(ViccRelay, WithoutACardNothingWaits) {
  Relay r(3000ms);
  const auto start = Clock::now();
  EXPECT_FALSE(r.relay.Present());
  EXPECT_EQ(r.relay.PowerUp(false), std::nullopt);
  EXPECT_THAT(r.relay.Process(H("00840000 08")).Apdu(), IsEmpty());
  EXPECT_FALSE(r.relay.WaitForClient(100ms));
  EXPECT_LT(Clock::now() - start, 1000ms);
}

TEST(ViccRelay, ReaderFollowsTheConnectedCard) {
  Journal journal;
  ViccRelay relay(ViccOptions{true, 0, 2000ms}, journal);
  ASSERT_TRUE(relay.Listen());
  Options options;
  Reader reader(options, journal, &relay);
  auto status = [&] { return reader.Handle(kCmdStatus, {}).data.at(15); };

  EXPECT_EQ(status(), kStatusNoCard);
  EXPECT_THAT(reader.Handle(kCmdReset, {}).data, IsEmpty());
  {
    FakeVicc card(relay.Port(), Card([](const Bytes& apdu) {
                    return FakeReply{apdu[1] == 0x84 ? H("0102030405060708 9000") : H("6D00")};
                  }));
    ASSERT_TRUE(relay.WaitForClient(2s));
    EXPECT_EQ(status(), kStatusPresent);
    EXPECT_EQ(reader.Handle(kCmdReset, {}).data, kAtr);
    EXPECT_EQ(status(), kStatusPowered);
    // T=0: the APDU unpacked from the reader command reaches the card.
    EXPECT_EQ(reader.Handle(kCmdT0, H("0084000000 08")).data, H("0102030405060708 9000"));
    // T=1: one I-block in, the card's I-block out.
    Bytes block = MakeI(0, false, H("00CA000000"));
    block.push_back(0x00);
    EXPECT_EQ(reader.Handle(kCmdT1, block).data, MakeI(0, false, H("6D00")));
    reader.Handle(kCmdPowerDown, {});
    ASSERT_TRUE(card.WaitForMessages(5, 2s));
    EXPECT_EQ(card.Messages().back(), Bytes{kViccPowerOff});
  }
  // The fake hangs up when it goes: the card leaves the slot.
  for (int i = 0; i < 50 && status() != kStatusNoCard; ++i) std::this_thread::sleep_for(20ms);
  EXPECT_EQ(status(), kStatusNoCard);
  EXPECT_THAT(journal.violations, IsEmpty());
}

// vicc has run a command by the time the reader learns that P3 does not fit
// its answer: the answer answered 6C XX is kept for the retry (same header,
// P3 = XX) and dropped by anything else that reaches the card. The card
// answers 14 bytes (256 for INS CA) + 90 00, the first byte counting its runs.
TEST(ViccRelay, T0RetryAfter6CGetsTheAnswerTheCardAlreadyGave) {
  struct Step {
    std::uint8_t command;
    const char* data;
    std::size_t size;          // of the reply
    std::uint8_t first, last;  // its first and last bytes
    std::uint8_t runs;         // APDUs run by the card so far
  } const steps[] = {
      {kCmdT0, "00 C0 00 00 00 14", 2, 0x6C, 0x0E, 1},  // GET RESPONSE, P3 20 for 14
      {kCmdStatus, "", kStatusSize, 'T', kStatusPowered, 1},
      {kCmdT0, "00 C0 00 00 00 0E", 16, 1, 0x00, 1},  // the kept answer
      {kCmdT0, "00 C0 00 00 00 0E", 16, 2, 0x00, 2},  // given once only
      {kCmdT0, "00 B0 00 00 00 20", 2, 0x6C, 0x0E, 3},
      {kCmdT0, "00 B0 00 00 00 10", 2, 0x6C, 0x0E, 4},  // P3 other than XX
      {kCmdT0, "00 B0 00 01 00 0E", 16, 5, 0x00, 5},    // another header
      {kCmdT0, "00 B0 00 00 00 05", 2, 0x6C, 0x0E, 6},
      {kCmdT0, "00 A4 00 0C 02 3F 00 00", 16, 7, 0x00, 7},  // case 3: no P3 to fit
      {kCmdT0, "00 B0 00 00 00 0E", 16, 8, 0x00, 8},
      {kCmdT0, "00 B0 00 00 00 05", 2, 0x6C, 0x0E, 9},
      {kCmdReset, "", kAtr.size(), 0x3B, 0x0B, 9},
      {kCmdT0, "00 B0 00 00 00 0E", 16, 10, 0x00, 10},
      {kCmdT0, "00 CA 00 00 00 10", 2, 0x6C, 0x00, 11},  // 256 bytes wait
      {kCmdT0, "00 CA 00 00 00 00", 258, 11, 0x00, 11},
  };
  Journal journal;
  ViccRelay relay(ViccOptions{true, 0, 2000ms}, journal);
  ASSERT_TRUE(relay.Listen());
  Reader reader(Options{}, journal, &relay);
  std::atomic<std::uint8_t> runs{0};
  FakeVicc card(relay.Port(), Card([&](const Bytes& apdu) {
                  Bytes r(apdu[1] == 0xCA ? 256 : 14, 0x00);
                  r[0] = ++runs;
                  r.insert(r.end(), {0x90, 0x00});
                  return FakeReply{r};
                }));
  ASSERT_TRUE(relay.WaitForClient(2s));
  ASSERT_EQ(reader.Handle(kCmdReset, {}).data, kAtr);
  for (const Step& s : steps) {
    const Bytes got = reader.Handle(s.command, H(s.data)).data;
    ASSERT_EQ(got.size(), s.size) << s.data;
    EXPECT_EQ(got.front(), s.first) << s.data;
    EXPECT_EQ(got.back(), s.last) << s.data;
    EXPECT_EQ(runs, s.runs) << s.data;
  }
  EXPECT_THAT(journal.violations, IsEmpty());
}

TEST(ViccRelay, EmulatorServesTheRelayedCardOnItsTerminal) {
  Options options;
  options.vicc.enabled = true;
  Emulator emu(options);
  EXPECT_EQ(emu.ViccPort(), 0);
  ASSERT_TRUE(emu.Start());
  ASSERT_NE(emu.ViccPort(), 0);
  Bytes response = Filler(300);
  response.push_back(0x90);
  response.push_back(0x00);
  FakeVicc card(emu.ViccPort(), Card([&](const Bytes&) { return FakeReply{response}; }));
  ASSERT_TRUE(emu.WaitForVicc(2s));

  testing::HostPort host(emu.SlavePath());
  ASSERT_TRUE(host.ok());
  EXPECT_EQ(host.Exchange(EncodeCommand(kCmdReset, {})), BuildReply(kCmdReset, kAtr).All());
  EXPECT_TRUE(emu.CardPowered());
  // 302 response bytes leave in chained I-blocks of 32 bytes.
  Bytes block = MakeI(0, false, H("00B0000000"));
  block.push_back(0x00);
  const Bytes first(response.begin(), response.begin() + 32);
  EXPECT_EQ(host.Exchange(EncodeCommand(kCmdT1, block)),
            BuildReply(kCmdT1, MakeI(0, true, first)).All());
  EXPECT_THAT(card.Messages(),
              ElementsAre(Bytes{kViccPowerOn}, Bytes{kViccGetAtr}, H("00B0000000")));
  EXPECT_EQ(emu.ViccFailures(), 0u);
  EXPECT_THAT(emu.Violations(), IsEmpty());
}

}  // namespace
}  // namespace ttycard::emu
