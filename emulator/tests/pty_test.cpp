#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "emulator.h"
#include "fixtures.h"

namespace ttycard::emu {
namespace {

using std::chrono::milliseconds;
using ::testing::Contains;
using ::testing::HasSubstr;
using testing::HostPort;
using ::testing::IsEmpty;
using ::testing::SizeIs;

using testing::Wire;

const std::string kReset = Wire("01800081");
const std::string kStatus = Wire("01010000");

TEST(EmulatorPty, ResetIsAnsweredWithTheAtrAndRecorded) {
  Emulator emu;
  ASSERT_TRUE(emu.Start());
  EXPECT_THAT(emu.SlavePath(), HasSubstr("/dev/pts/"));
  HostPort host(emu.SlavePath());
  ASSERT_TRUE(host.ok());
  // Head 01 80 00 0B, the default ATR, checksum 8A ^ 3B = B1.
  const std::string atr_reply = Wire("0180000B3B8481312045545459434BB1");
  EXPECT_EQ(host.Exchange(kReset), atr_reply);
  ASSERT_TRUE(emu.WaitForFrames(1, milliseconds(500)));
  const std::vector<Frame> frames = emu.Frames();
  ASSERT_THAT(frames, SizeIs(1));
  EXPECT_EQ(frames[0].wire, kReset);
  EXPECT_EQ(frames[0].bytes, (Bytes{0x01, 0x80, 0x00, 0x81}));
  EXPECT_EQ(frames[0].reply, atr_reply);
  EXPECT_TRUE(emu.CardPowered());
  EXPECT_THAT(emu.Violations(), IsEmpty());
}

TEST(EmulatorPty, StartupSequenceIsTracedAndRemembered) {
  std::mutex mu;
  std::vector<std::string> trace;
  Options o;
  o.trace = [&](std::string_view line) {
    std::lock_guard lock(mu);
    trace.emplace_back(line);
  };
  Emulator emu(o);
  ASSERT_TRUE(emu.Start());
  HostPort host(emu.SlavePath());
  EXPECT_EQ(host.Exchange(kReset).size(), 9u + 22 + 3);
  EXPECT_EQ(host.Exchange(Wire("0106010204")), Wire("0106000007"));
  EXPECT_EQ(host.Exchange(Wire("0102010C0E")), Wire("0102000003"));
  const std::string status = host.Exchange(kStatus);
  ASSERT_EQ(status.size(), 9u + 32 + 3);
  EXPECT_EQ(status.substr(1, 8), "01010010");
  EXPECT_EQ(status.substr(9 + 30, 2), "03");  // byte 15: card powered
  EXPECT_EQ(emu.CardType(), 0x0C);
  EXPECT_EQ(emu.NotificationMode(), 0x02);
  std::lock_guard lock(mu);
  EXPECT_THAT(trace, Contains("emu <- RESET"));
  EXPECT_THAT(trace, Contains("emu <- CARD TYPE 0C"));
  EXPECT_THAT(trace, Contains("emu <- STATUS"));
}

TEST(EmulatorPty, MalformedInputIsRecordedAndNotAnswered) {
  Emulator emu;
  ASSERT_TRUE(emu.Start());
  HostPort host(emu.SlavePath());
  const std::string inputs[] = {Wire("01800080"),
                                "\x02"
                                "0180",
                                Wire("0180a0a1"), Wire("01800081x")};
  for (const std::string& in : inputs) {
    host.Write(in);
    EXPECT_EQ(host.ReadReply(milliseconds(100)).chars, "") << Printable(in);
  }
  ASSERT_TRUE(emu.WaitForFrames(4, milliseconds(500)));
  for (const Frame& f : emu.Frames()) EXPECT_FALSE(f.ok()) << Printable(f.wire);
  EXPECT_THAT(emu.Violations(), SizeIs(4));
  EXPECT_THAT(emu.Violations()[0], HasSubstr("checksum"));
}

struct LineCase {
  FaultSpec fault_spec;
  milliseconds min_elapsed{0};
  bool closed = false;
};

TEST(EmulatorPty, FaultsReachTheLineAsPlanned) {
  const Bytes atr = {0x3B, 0x02, 0x14, 0x50};
  auto fault_spec = [](Fault f, std::function<void(FaultSpec&)> tweak = {}) {
    FaultSpec s = FaultSpec::Of(f);
    if (tweak) tweak(s);
    return s;
  };
  const LineCase cases[] = {
      {fault_spec(Fault::kNone)},
      {fault_spec(Fault::kSilence)},
      {fault_spec(Fault::kCutInHead)},
      {fault_spec(Fault::kCutInBody)},
      {fault_spec(Fault::kSlow, [](FaultSpec& s) { s.gap = milliseconds(3); }),
       milliseconds(3 * 19)},
      {fault_spec(Fault::kDelay, [](FaultSpec& s) { s.gap = milliseconds(80); }), milliseconds(80)},
      {fault_spec(Fault::kLowerCase)},
      {fault_spec(Fault::kWrongChecksum)},
      {fault_spec(Fault::kExtendedLengthValue, [](FaultSpec& s) { s.ext_length = 300; })},
      {fault_spec(Fault::kRawReply, [](FaultSpec& s) { s.raw = Wire("0180000100"); })},
      {fault_spec(Fault::kHangUp, [](FaultSpec& s) { s.cut = 9; }), milliseconds(0), true},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(FaultName(c.fault_spec.fault));
    Options o;
    o.atr = atr;
    Emulator emu(o);
    ASSERT_TRUE(emu.Start());
    HostPort host(emu.SlavePath());
    emu.InjectFault(c.fault_spec);
    const auto start = std::chrono::steady_clock::now();
    host.Write(kReset);
    const HostPort::Read got = host.ReadReply(milliseconds(150));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(got.chars, PlanReply(kCmdReset, atr, c.fault_spec).chars);
    EXPECT_GE(elapsed, c.min_elapsed);
    EXPECT_EQ(got.closed, c.closed);
    // The serving thread marks the hang-up just after closing the line; on a
    // loaded machine the host can see the close first.
    for (int i = 0; i < 200 && c.closed && !emu.HungUp(); ++i) {
      std::this_thread::sleep_for(milliseconds(10));
    }
    EXPECT_EQ(emu.HungUp(), c.closed);
    EXPECT_EQ(emu.PendingFaults(), 0u);
  }
}

TEST(EmulatorPty, FaultsTargetCommandsAndCountDown) {
  Emulator emu;
  ASSERT_TRUE(emu.Start());
  HostPort host(emu.SlavePath());
  emu.InjectFault(FaultSpec::Of(Fault::kSilence).ForCommand(kCmdReset).Times(2));
  emu.InjectFault(FaultSpec::Of(Fault::kWrongChecksum).ForCommand(kCmdStatus).Times(kForever));
  EXPECT_NE(host.Exchange(kStatus), "");
  EXPECT_EQ(host.Exchange(kReset), "");
  EXPECT_EQ(emu.PendingFaults(), 2u);
  EXPECT_EQ(host.Exchange(kReset), "");
  EXPECT_EQ(emu.PendingFaults(), 1u);
  EXPECT_NE(host.Exchange(kReset), "");
  for (int i = 0; i < 3; ++i) {
    const std::string s = host.Exchange(kStatus);
    ASSERT_EQ(s.size(), 44u);
    EXPECT_NE(XorSum(*FromHex(s.substr(1, 40))), FromHex(s.substr(41, 2))->front());
  }
  emu.ClearFaults();
  const std::string s = host.Exchange(kStatus);
  EXPECT_EQ(XorSum(*FromHex(s.substr(1, 40))), FromHex(s.substr(41, 2))->front());
}

TEST(EmulatorPty, CardPresenceCanChangeWhileServing) {
  Emulator emu;
  ASSERT_TRUE(emu.Start());
  HostPort host(emu.SlavePath());
  const auto card_status = [&] { return host.Exchange(kStatus).substr(39, 2); };
  EXPECT_EQ(card_status(), "01");
  emu.SetCardPresent(false);
  EXPECT_EQ(card_status(), "00");
  EXPECT_EQ(host.Exchange(kReset), Wire("0180000081"));
  emu.SetCardPresent(true);
  host.Exchange(kReset);
  EXPECT_EQ(card_status(), "03");
}

TEST(EmulatorPty, HangUpClosesTheLineUnderTheHost) {
  Emulator emu;
  ASSERT_TRUE(emu.Start());
  HostPort host(emu.SlavePath());
  EXPECT_NE(host.Exchange(kStatus), "");
  emu.HangUp();
  EXPECT_TRUE(emu.HungUp());
  host.Write(kStatus);
  EXPECT_TRUE(host.ReadReply(milliseconds(500)).closed);
  EXPECT_FALSE(emu.WaitForFrames(2, milliseconds(20)));
}

TEST(EmulatorPty, T1BlocksPassThroughToTheCard) {
  Emulator emu;
  ASSERT_TRUE(emu.Start());
  HostPort host(emu.SlavePath());
  host.Exchange(kReset);
  // I-block 00 00 05 00 84 00 00 26 A7 and the extra byte 00: 10 bytes of data.
  const std::string reply =
      host.Exchange(EncodeCommand(kCmdT1, *ParseHexArg("00 00 05 00 84 00 00 26 A7 00")));
  ASSERT_GE(reply.size(), 12u);
  const auto block = FromHex(reply.substr(9, reply.size() - 12));
  ASSERT_TRUE(block.has_value());
  // 38 challenge bytes + 90 00 = 40 > 32: the first block is chained.
  EXPECT_EQ(block->at(1), kPcbMore);
  EXPECT_EQ(block->at(2), 32);
  EXPECT_EQ(BlockError(*block), "");
  const std::vector<T1Record> blocks = emu.T1Blocks();
  ASSERT_THAT(blocks, SizeIs(2));
  EXPECT_EQ(blocks[0].block, *ParseHexArg("00 00 05 00 84 00 00 26 A7"));
  EXPECT_EQ(blocks[1].block, *block);
  EXPECT_THAT(emu.Violations(), IsEmpty());
}

}  // namespace
}  // namespace ttycard::emu
