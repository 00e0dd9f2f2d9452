#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fixtures.h"
#include "reader.h"
#include "wire.h"

namespace ttycard::emu {
namespace {

using ::testing::HasSubstr;

using testing::Wire;

TEST(HexCodec, StrictDecodingRejectsWhatTheReaderNeverSends) {
  EXPECT_EQ(FromHex("01A00F"), (Bytes{0x01, 0xA0, 0x0F}));
  EXPECT_EQ(ToHex(Bytes{0x01, 0xA0, 0x0F}), "01A00F");
  for (const char* bad : {"01a00f", "01A00", "0G", " 01", "01\x03"}) {
    EXPECT_FALSE(FromHex(bad).has_value()) << bad;
  }
  EXPECT_EQ(ParseHexArg("3b:02 14-50"), (Bytes{0x3B, 0x02, 0x14, 0x50}));
  EXPECT_FALSE(ParseHexArg("3B0").has_value());
  EXPECT_EQ(XorSum(Bytes{0x01, 0x80, 0x00}), 0x81);
  EXPECT_EQ(XorSum(Bytes{}), 0x00);
}

TEST(HexCodec, DefaultT1AtrHasAValidCheckByte) {
  // TCK makes the XOR of T0 .. TCK zero.
  EXPECT_EQ(XorSum(std::span(kDefaultT1Atr).subspan(1)), 0x00);
}

TEST(WireFrame, DecodesTheHostCommands) {
  struct Case {
    const char* hex;
    std::uint8_t command;
    Bytes data;
  };
  const Case cases[] = {
      {"01800081", kCmdReset, {}},
      {"01810080", kCmdPowerDown, {}},
      {"01010000", kCmdStatus, {}},
      {"0106010204", kCmdNotification, {0x02}},
      {"0102010C0E", kCmdCardType, {0x0C}},
      {"01A0060084000000082B", kCmdT0, {0x00, 0x84, 0x00, 0x00, 0x00, 0x08}},
  };
  for (const Case& c : cases) {
    const Frame f = DecodeWireFrame(Wire(c.hex));
    EXPECT_TRUE(f.ok()) << c.hex << ": " << f.error;
    EXPECT_EQ(f.command, c.command) << c.hex;
    EXPECT_EQ(f.data, c.data) << c.hex;
    EXPECT_EQ(EncodeCommand(c.command, c.data), Wire(c.hex));
  }
}

TEST(WireFrame, ReportsMalformedFrames) {
  struct Case {
    std::string wire;
    const char* error;
  };
  const Case cases[] = {
      {"01800081", "outside a frame"}, {std::string(1, kStx) + "01800081", "without ETX"},
      {Wire("0180008"), "hex"},        {Wire("0180A0a1"), "hex"},
      {Wire("01800080"), "checksum"},  {Wire("0280000082"), "header"},
      {Wire("01800181"), "length"},    {Wire("018000"), "shorter"},
  };
  for (const Case& c : cases) {
    EXPECT_THAT(DecodeWireFrame(c.wire).error, HasSubstr(c.error)) << Printable(c.wire);
  }
}

TEST(WireFrame, AcceptsTheWrappedLengthOfA255ByteApdu) {
  Bytes data(256, 0x11);
  data.back() = 0x00;
  const Frame f = DecodeWireFrame(EncodeCommand(kCmdT0, data));
  EXPECT_TRUE(f.ok()) << f.error;
  EXPECT_EQ(f.data.size(), 256u);
}

TEST(FrameSplitter, FindsFramesWhateverTheChunking) {
  const std::string stream = "xy" + Wire("01800081") + Wire("01010000") +
                             "\x02"
                             "0181" +
                             Wire("01810080");
  for (const std::size_t chunk : {1u, 2u, 5u, 100u}) {
    FrameSplitter s;
    std::vector<std::string> pieces;
    for (std::size_t i = 0; i < stream.size(); i += chunk) {
      for (auto& p : s.Feed(std::string_view(stream).substr(i, chunk))) pieces.push_back(p);
    }
    ASSERT_EQ(pieces.size(), 5u) << chunk;
    EXPECT_EQ(pieces[0], "xy");
    EXPECT_EQ(pieces[1], Wire("01800081"));
    EXPECT_EQ(pieces[2], Wire("01010000"));
    EXPECT_EQ(pieces[3],
              "\x02"
              "0181");
    EXPECT_EQ(pieces[4], Wire("01810080"));
  }
  FrameSplitter s;
  EXPECT_TRUE(s.Feed("zz").empty());
  EXPECT_EQ(s.Flush(), "zz");
  EXPECT_EQ(s.Flush(), std::nullopt);
}

TEST(Reply, HeadLengthChecksumAndExtendedForm) {
  EXPECT_EQ(BuildReply(0x81, {}).All(), Wire("0181000080"));
  EXPECT_EQ(BuildReply(0x80, Bytes{0x3B, 0x02, 0x14, 0x50}).All(), Wire("018000043B021450F8"));
  // Extended: head byte 3 FF, then 00 04; the checksum covers those bytes too.
  EXPECT_EQ(BuildReply(0x80, Bytes{0x3B, 0x02, 0x14, 0x50}, true).All(),
            Wire("018000FF00043B02145007"));
  const ReplyParts big = BuildReply(0xA1, Bytes(300, 0x00));
  EXPECT_EQ(big.head,
            "\x02"
            "01A100FF");
  EXPECT_EQ(big.ext, "012C");
  EXPECT_EQ(big.data.size(), 600u);
}

}  // namespace
}  // namespace ttycard::emu
