#include "reader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "fixtures.h"
#include "wire.h"

namespace ttycard::emu {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::SizeIs;

using testing::H;

struct ReaderHarness {
  Journal journal;
  std::vector<std::string> trace;
  Reader reader;
  explicit ReaderHarness(Options o = {}) : reader(o, journal) {
    journal.trace = [this](std::string_view l) { trace.emplace_back(l); };
  }
  Bytes Send(std::uint8_t cmd, std::string_view hex = "") {
    return reader.Handle(cmd, H(hex)).data;
  }
};

TEST(Reader, StatusByteFollowsTheSlot) {
  ReaderHarness h;
  struct Step {
    std::function<void(ReaderHarness&)> act;
    std::uint8_t status;
  };
  const Step steps[] = {
      {[](ReaderHarness&) {}, kStatusPresent},
      {[](ReaderHarness& r) { r.Send(kCmdReset); }, kStatusPowered},
      {[](ReaderHarness& r) { r.Send(kCmdPowerDown); }, kStatusPresent},
      {[](ReaderHarness& r) { r.Send(kCmdReset); }, kStatusPowered},
      {[](ReaderHarness& r) { r.reader.SetCardPresent(false); }, kStatusNoCard},
      {[](ReaderHarness& r) { EXPECT_THAT(r.Send(kCmdReset), IsEmpty()); }, kStatusNoCard},
      {[](ReaderHarness& r) { r.reader.SetCardPresent(true); }, kStatusPresent},
  };
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    steps[i].act(h);
    const Bytes status = h.Send(kCmdStatus);
    ASSERT_THAT(status, SizeIs(kStatusSize));
    EXPECT_EQ(status[15], steps[i].status) << "step " << i;
  }
  EXPECT_THAT(h.journal.violations, IsEmpty());
}

TEST(Reader, RemembersCardTypeAndNotificationAndChecksLengths) {
  ReaderHarness h;
  EXPECT_THAT(h.Send(kCmdCardType, "0C"), IsEmpty());
  EXPECT_THAT(h.Send(kCmdNotification, "02"), IsEmpty());
  EXPECT_EQ(h.reader.CardType(), 0x0C);
  EXPECT_EQ(h.reader.NotificationMode(), 0x02);
  EXPECT_EQ(h.Send(kCmdStatus)[5], 0x0C);
  EXPECT_THAT(h.journal.violations, IsEmpty());
  h.Send(kCmdCardType, "0C 0D");
  h.Send(kCmdReset, "00");
  EXPECT_THAT(h.journal.violations, SizeIs(2));
  h.reader.SetStatusRecord(H("01 02"));
  EXPECT_EQ(h.Send(kCmdStatus), H("01 02"));
}

TEST(Reader, AtrDependsOnProtocolAndCanBeSet) {
  Options t0;
  t0.protocol = CardProtocol::kT0;
  EXPECT_EQ(ReaderHarness(t0).Send(kCmdReset), H("3B 02 14 50"));
  ReaderHarness t1;
  EXPECT_EQ(t1.Send(kCmdReset), Bytes(kDefaultT1Atr.begin(), kDefaultT1Atr.end()));
  t1.reader.SetAtr(H("3B 00"));
  EXPECT_EQ(t1.Send(kCmdReset), H("3B 00"));
  EXPECT_THAT(t1.trace, ::testing::Contains("emu -> ATR 3B 00"));
}

TEST(Reader, T0LayoutIsUnpackedIntoTheApdu) {
  struct Case {
    const char* data;
    Bytes reply;
    std::size_t violations;
  };
  const Case cases[] = {
      {"00 A4 04 00 02 3F 00 00", H("90 00"), 0},
      {"00 A4 00 00 02 12 34 00", H("6A 82"), 0},
      {"80 EC 00 00 02 AA BB 00", H("AA BB 90 00"), 0},
      {"80 EC 00 00 02 AA BB 02 00", H("AA BB 90 00"), 0},  // case 4: Le kept
      {"00 B0 00 00 00 10", H("69 86"), 0},
      {"00 B0 00 00 10", {}, 1},                   // too short for the layout
      {"00 A4 04 00 02 3F 00 01", H("90 00"), 1},  // no trailing 00
      {"00 B0 00 00 05 10", H("69 86"), 1},        // 5-byte APDU without the 00
  };
  for (const Case& c : cases) {
    ReaderHarness h;
    h.Send(kCmdReset);
    EXPECT_EQ(h.Send(kCmdT0, c.data), c.reply) << c.data;
    EXPECT_THAT(h.journal.violations, SizeIs(c.violations)) << c.data;
  }
}

TEST(Reader, LongT0ResponsesAreSentExtendedOrCut) {
  struct Case {
    bool cut;
    const char* apdu;
    std::size_t size;
    bool extended;
  };
  const Case cases[] = {
      {false, "80 EC 01 20 00 00", 290, true},  // 288 data bytes + SW
      {false, "80 EC 00 FD 00 FD", 255, true},  // 255 bytes: length byte FF is taken
      {false, "80 EC 00 FC 00 FC", 254, false},
      {true, "80 EC 01 20 00 00", 255, true},  // cut to 253 + SW
      {true, "80 EC 00 FD 00 FD", 255, true},  // nothing to cut
  };
  for (const Case& c : cases) {
    Options o;
    o.t0_cut_long_replies = c.cut;
    ReaderHarness h(o);
    h.Send(kCmdReset);
    const ReaderReply r = h.reader.Handle(kCmdT0, H(c.apdu));
    ASSERT_THAT(r.data, SizeIs(c.size)) << c.apdu;
    EXPECT_EQ(r.extended, c.extended) << c.apdu;
    EXPECT_EQ(r.data[c.size - 3], (c.size - 3) & 0xFF) << c.apdu;  // filler k is k
    EXPECT_EQ(r.data[c.size - 2], 0x90) << c.apdu;
  }
}

TEST(Reader, T0CardSendsExactlyLeOrAsksFor6C) {
  struct Case {
    const char* data;  // T=0 layout
    const char* reply;
  };
  const Case cases[] = {
      {"00 A4 00 00 02 2F 01 00", "90 00"},
      {"00 B0 00 00 00 20", "6C 10"},  // 16 bytes in the file
      {"00 B0 00 00 00 10", "54 54 59 43 41 52 44 20 45 4D 55 4C 41 54 4F 52 90 00"},
      {"00 B0 00 0C 00 08", "6C 04"},                 // 62 82 with 4 bytes on T=1
      {"00 B0 00 10 00 08", "6B 00"},                 // status bytes alone pass
      {"80 EC 01 00 00 10", "6C 00"},                 // 256 available
      {"80 EC 00 02 02 AA BB 05 00", "AA BB 90 00"},  // case 4: no 6C
      {"00 B0 00 00 00 00 10 00", "67 00"},           // extended Le: not on T=0
  };
  ReaderHarness h;
  h.Send(kCmdReset);
  for (const Case& c : cases) EXPECT_EQ(h.Send(kCmdT0, c.data), H(c.reply)) << c.data;
  EXPECT_THAT(h.Send(kCmdT0, "80 EC 01 00 00 00"), SizeIs(258));
  EXPECT_THAT(h.journal.violations, IsEmpty());
}

TEST(Reader, DefaultT1AtrAnnouncesTheIfsc) {
  for (const int ifsc : {16, 32, 0x80, 254}) {
    Options o;
    o.t1.ifsc = static_cast<std::uint8_t>(ifsc);
    const Bytes atr = ReaderHarness(o).Send(kCmdReset);
    ASSERT_THAT(atr, SizeIs(kDefaultT1Atr.size()));
    EXPECT_EQ(atr[kAtrTa3], ifsc);
    EXPECT_EQ(XorSum(std::span(atr).subspan(1)), 0) << ifsc;  // T0 .. TCK
    EXPECT_EQ(Bytes(atr.begin(), atr.begin() + 4),
              Bytes(kDefaultT1Atr.begin(), kDefaultT1Atr.begin() + 4));
  }
  EXPECT_EQ(DefaultT1Atr(32), Bytes(kDefaultT1Atr.begin(), kDefaultT1Atr.end()));
  Options given;
  given.atr = H("3B 00");
  given.t1.ifsc = 64;
  EXPECT_EQ(ReaderHarness(given).Send(kCmdReset), H("3B 00"));
}

TEST(Reader, ExchangesNeedAPoweredCardOfTheRightProtocol) {
  struct Case {
    CardProtocol protocol;
    bool reset;
    std::uint8_t command;
    const char* data;
    std::size_t reply_len;
    const char* violation;  // nullptr: none
  };
  const Case cases[] = {
      {CardProtocol::kAny, false, kCmdT0, "00 84 00 00 00 08", 0, "no card is powered"},
      {CardProtocol::kAny, false, kCmdT1, "00 00 00 00 00", 0, "no card is powered"},
      {CardProtocol::kT0, true, kCmdT1, "00 00 00 00 00", 0, "other protocol"},
      {CardProtocol::kT1, true, kCmdT0, "00 84 00 00 00 08", 0, "other protocol"},
      {CardProtocol::kT0, true, kCmdT0, "00 84 00 00 00 08", 10, nullptr},
      // Block 00 00 05 00 84 00 00 08 LRC 89, then the extra byte.
      {CardProtocol::kT1, true, kCmdT1, "00 00 05 00 84 00 00 08 89 00", 14, nullptr},
      {CardProtocol::kT1, true, kCmdT1, "00 00 05 00 84 00 00 08 89 5A", 14, nullptr},
      {CardProtocol::kT1, true, kCmdT1, "", 0, "without a block"},
      {CardProtocol::kAny, true, 0x55, "01", 0, "unknown reader command 55"},
  };
  for (const Case& c : cases) {
    Options o;
    o.protocol = c.protocol;
    ReaderHarness h(o);
    if (c.reset) h.Send(kCmdReset);
    EXPECT_THAT(h.Send(c.command, c.data), SizeIs(c.reply_len)) << c.data;
    if (c.violation) {
      ASSERT_THAT(h.journal.violations, SizeIs(1)) << c.data;
      EXPECT_THAT(h.journal.violations[0], HasSubstr(c.violation));
    } else {
      EXPECT_THAT(h.journal.violations, IsEmpty()) << c.data;
    }
  }
  Options o;
  o.unknown_command_reply = H("6F");
  EXPECT_EQ(ReaderHarness(o).Send(0x55), H("6F"));
}

}  // namespace
}  // namespace ttycard::emu
