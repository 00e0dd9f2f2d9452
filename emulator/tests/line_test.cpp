// The line itself: seeded noise, reply styles (rejections, checksum rules)
// and the reader's answer to frames it cannot decode.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bit>
#include <chrono>

#include "emulator.h"
#include "fixtures.h"

namespace ttycard::emu {
namespace {

using std::chrono::milliseconds;
using ::testing::IsEmpty;

using testing::Wire;

TEST(LineNoise, RateBitsAndSeeds) {
  struct Case {
    double p;
    std::uint64_t seed;
    std::size_t lo, hi;  // corrupted characters out of 100 000
  };
  const Case cases[] = {
      {0.0, 1, 0, 0},        {0.01, 1, 850, 1150},  // 1000 expected, standard deviation about 31
      {0.01, 99, 850, 1150}, {0.2, 7, 19'400, 20'600}, {1.0, 3, 100'000, 100'000},
  };
  const std::string clean(100'000, '5');
  for (const Case& c : cases) {
    SCOPED_TRACE(c.p);
    LineNoise noise(c.p, c.seed);
    std::string chars = clean;
    const std::size_t hit = noise.Apply(chars);
    EXPECT_GE(hit, c.lo);
    EXPECT_LE(hit, c.hi);
    EXPECT_EQ(noise.Corrupted(), hit);
    std::size_t differ = 0;
    unsigned bits_seen = 0;
    for (std::size_t i = 0; i < chars.size(); ++i) {
      const auto flip = static_cast<unsigned char>(chars[i] ^ clean[i]);
      if (flip == 0) continue;
      ++differ;
      EXPECT_EQ(std::popcount(flip), 1) << i;
      bits_seen |= flip;
    }
    EXPECT_EQ(differ, hit);
    if (hit > 100) {
      EXPECT_EQ(bits_seen, 0xFFu);  // every bit, STX/ETX-making ones too
    }
    // Same seed, same corruption; in pieces as in one go.
    LineNoise again(c.p, c.seed);
    std::string a = clean.substr(0, 60'000), b = clean.substr(60'000);
    again.Apply(a);
    again.Apply(b);
    EXPECT_EQ(a + b, chars);
  }
  std::string one(10'000, '5'), other(10'000, '5');
  LineNoise(0.05, 1).Apply(one);
  LineNoise(0.05, 2).Apply(other);
  EXPECT_NE(one, other);
}

TEST(ReplyStyle, StatusByteAndChecksumRules) {
  struct Case {
    std::uint8_t command;
    const char* data;
    ReplyStyle style;
    Fault fault;
    std::string wire;
  };
  const std::string atr = "3B021450";
  const Case cases[] = {
      // XOR 01^80^00^04^3B^02^14^50 = F8.
      {0x80, "3B 02 14 50", {}, Fault::kNone, Wire("01800004" + atr + "F8")},
      {0x80,
       "3B 02 14 50",
       {kReplyOk, ReplyChecksum::kInverted},
       Fault::kNone,
       Wire("01800004" + atr + "07")},
      {0x80,
       "3B 02 14 50",
       {kReplyOk, ReplyChecksum::kZero},
       Fault::kNone,
       Wire("01800004" + atr + "00")},
      // Faults on the checksum still make it wrong for the reader's rule.
      {0x80,
       "3B 02 14 50",
       {kReplyOk, ReplyChecksum::kInverted},
       Fault::kWrongChecksum,
       Wire("01800004" + atr + "F8")},
      {0x80,
       "3B 02 14 50",
       {kReplyOk, ReplyChecksum::kZero},
       Fault::kWrongChecksum,
       Wire("01800004" + atr + "FF")},
      // Rejections: empty data, head byte 2 = 01.
      {0xA1, "", {kReplyRejected}, Fault::kNone, Wire("01A10100A1")},
      {0x00, "", {kReplyRejected}, Fault::kNone, Wire("0100010000")},
      {0xA1, "", {kReplyRejected, ReplyChecksum::kInverted}, Fault::kNone, Wire("01A101005E")},
      // The extended length counts in the rule too: 01^A0^00^FF^00^00 = 5E.
      {0xA0,
       "",
       {kReplyOk, ReplyChecksum::kInverted},
       Fault::kExtendedLength,
       Wire("01A000FF0000A1")},
  };
  for (const Case& c : cases) {
    const Bytes data = *ParseHexArg(c.data);
    EXPECT_EQ(PlanReply(c.command, data, FaultSpec::Of(c.fault), false, c.style).chars, c.wire)
        << Printable(c.wire);
  }
}

TEST(FrameSplitter, QuietLineEndsAnUnfinishedFrameOnlyWhenAsked) {
  FrameSplitter s;
  EXPECT_THAT(s.Feed("\x02"
                     "0180"),
              IsEmpty());
  EXPECT_EQ(s.Flush(), std::nullopt);
  EXPECT_EQ(s.Flush(true),
            "\x02"
            "0180");
  EXPECT_EQ(s.Flush(true), std::nullopt);
  EXPECT_EQ(s.Feed("\x02"
                   "01800081\x03"),
            std::vector<std::string>{"\x02"
                                     "01800081\x03"});
}

struct Rejection {
  const char* name;
  std::string sent;
  std::string reply;
};

TEST(EmulatorPty, RejectsWhatItCannotDecode) {
  Options o;
  o.reject_malformed = true;
  Emulator emu(o);
  ASSERT_TRUE(emu.Start());
  testing::HostPort host(emu.SlavePath());
  const Rejection cases[] = {
      {"wrong checksum", Wire("01800080"), Wire("0180010080")},
      {"lower-case hex", Wire("01a000a1"), Wire("0100010000")},
      {"command readable, body not", Wire("01A1G0"), Wire("01A10100A1")},
      {"non-hex", Wire("01G00000"), Wire("0100010000")},
      {"length byte", Wire("01010101"), Wire("0101010001")},
      {"no ETX, then quiet",
       "\x02"
       "018000",
       Wire("0180010080")},
      {"stray characters", "xyz", Wire("0100010000")},
  };
  std::size_t n = 0;
  for (const Rejection& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(host.Exchange(c.sent), c.reply);
    EXPECT_EQ(emu.RejectedFrames(), ++n);
  }
  EXPECT_EQ(host.Exchange(Wire("01800081")).substr(0, 9),
            "\x02"
            "0180000B");
  EXPECT_THAT(emu.Violations(), IsEmpty());

  Options inv;
  inv.reply_checksum = ReplyChecksum::kInverted;
  Emulator inverted(inv);
  ASSERT_TRUE(inverted.Start());
  testing::HostPort host2(inverted.SlavePath());
  EXPECT_EQ(host2.Exchange(Wire("01800081")), Wire("0180000B3B8481312045545459434B4E"));
  // Without the option, malformed frames stay violations and unanswered.
  EXPECT_EQ(host2.Exchange(Wire("01800080")), "");
  EXPECT_EQ(inverted.RejectedFrames(), 0u);
  EXPECT_EQ(inverted.Violations().size(), 1u);
}

TEST(EmulatorPty, NoiseHitsBothDirectionsAndIsCounted) {
  Options o;
  o.noise_to_host = 1.0;
  o.noise_to_reader = 1.0;
  o.reject_malformed = true;
  o.noise_seed = 42;
  Emulator emu(o);
  ASSERT_TRUE(emu.Start());
  testing::HostPort host(emu.SlavePath());
  // Every character flipped: the command never arrives whole, so the reader
  // only ever rejects (an ETX may turn into STX and split it in two).
  const std::string status = Wire("01010000");
  host.Write(status);
  std::string received;  // read by count: a flipped character may look like ETX
  for (int i = 0; i < 20; ++i) {
    const std::string part = host.ReadReply(milliseconds(300)).chars;
    if (part.empty()) break;
    received += part;
  }
  EXPECT_EQ(emu.CorruptedToReader(), status.size());
  const std::vector<Frame> frames = emu.Frames();
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(emu.RejectedFrames(), frames.size());
  EXPECT_THAT(emu.Violations(), IsEmpty());
  std::string sent;
  const std::string clean = Wire("0100010000");
  for (const Frame& f : frames) {
    ASSERT_EQ(f.reply.size(), clean.size());
    for (std::size_t i = 0; i < clean.size(); ++i) {
      EXPECT_EQ(std::popcount(static_cast<unsigned char>(f.reply[i] ^ clean[i])), 1) << i;
    }
    sent += f.reply;
  }
  EXPECT_EQ(received, sent);
  EXPECT_EQ(emu.CorruptedToHost(), sent.size());
}

}  // namespace
}  // namespace ttycard::emu
