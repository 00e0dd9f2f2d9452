// The frame transport and the reader commands, byte for byte on the wire.
#include <gtest/gtest.h>

#include <array>

#include "fake_line.h"
#include "linkcmds.h"

namespace ttycard::test {
namespace {

class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetLine(); }
  // The reader answers every command with `data`.
  void AnswerWith(const Bytes& data) {
    Line().responder = [data](const Bytes&) { return ReplyWire(data); };
  }
  void AnswerWithWire(const std::string& wire) {
    Line().responder = [wire](const Bytes&) { return wire; };
  }
};

TEST(CodecTest, ChecksumAndHexVectors) {
  const std::array<unsigned char, 3> reset{0x01, 0x80, 0x00};
  EXPECT_EQ(Adm_CheckSum(reset.data(), 3), 0x81);
  EXPECT_EQ(Adm_CheckSum(reset.data(), 0), 0x00);

  const std::array<unsigned char, 3> bytes{0x01, 0xA0, 0x0F};
  std::array<char, 8> text{};
  int count = -1;
  EXPECT_EQ(Adm_Convert2Ascii(bytes.data(), 3, text.data(), &count), 1);
  EXPECT_EQ(std::string(text.data(), 6), "01A00F");
  EXPECT_EQ(count, 6);

  std::array<unsigned char, 4> back{};
  EXPECT_EQ(Adm_Convert2Hex("01A00F", 6, back.data(), &count), 1);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(Bytes(back.begin(), back.begin() + 3), Bytes(bytes.begin(), bytes.end()));
}

TEST(CodecTest, DecoderNeverReadsPastItsInput) {
  // An odd count decodes the last character as a high nibble alone; the
  // character after it (here '7') must not be read.
  std::array<unsigned char, 2> out{0xEE, 0xEE};
  int count = 0;
  Adm_Convert2Hex("A7", 1, out.data(), &count);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(out[0], 0xA0);
  EXPECT_EQ(out[1], 0xEE);
}

TEST(CodecTest, UnrecognisedCharactersAddNothing) {
  struct Case {
    const char* text;
    unsigned char expected;
  };
  for (const Case c : {Case{"A?", 0xA0}, Case{"a5", 0x05}, Case{"?F", 0x0F}, Case{"ff", 0x00}}) {
    unsigned char out = 0xEE;
    int count = 0;
    Adm_Convert2Hex(c.text, 2, &out, &count);
    EXPECT_EQ(out, c.expected) << c.text;
  }
}

TEST_F(LinkTest, EveryCommandFrameOnTheWire) {
  AnswerWith({});
  struct Case {
    const char* name;
    std::function<int()> command;
    std::string wire;
  };
  std::array<unsigned char, ADM_MAX_REPLY> buf{};
  unsigned int len = 0;
  const Case cases[] = {
      {"power down", [] { return Adm_UnPowerICC(); },
       "\x02"
       "01810080\x03"},
      {"card type 12", [] { return Adm_SelectCard(12); },
       "\x02"
       "0102010C0E\x03"},
      {"notification 2", [] { return Adm_SetNotification(2); },
       "\x02"
       "0106010204\x03"},
      {"status", [&] { return Adm_GetTolmStats(buf.data()); },
       "\x02"
       "01010000\x03"},
      {"reset", [&] { return Adm_ResetICC(buf.data(), &len); },
       "\x02"
       "01800081\x03\x02"
       "0106010204\x03"},
  };
  for (const auto& c : cases) {
    Line().frames.clear();
    std::string wire;
    Line().responder = [&wire](const Bytes& f) {
      wire += '\x02';
      wire += Hex(f);
      wire += '\x03';
      return ReplyWire({});
    };
    EXPECT_EQ(c.command(), ADM_OK) << c.name;
    EXPECT_EQ(wire, c.wire) << c.name;
  }
}

TEST_F(LinkTest, ResetDeliversTheAtrAndStillSetsNotificationWhenSilent) {
  AnswerWith({0x3B, 0x02, 0x14, 0x50});
  std::array<unsigned char, ADM_MAX_REPLY> atr{};
  unsigned int len = 99;
  EXPECT_EQ(Adm_PowerICC(atr.data(), &len), ADM_OK);
  EXPECT_EQ(Bytes(atr.begin(), atr.begin() + len), (Bytes{0x3B, 0x02, 0x14, 0x50}));

  AnswerWithWire("");
  len = 99;
  EXPECT_EQ(Adm_ResetICC(atr.data(), &len), ADM_COMM_ERROR);
  EXPECT_EQ(len, 0u);
  ASSERT_EQ(Line().frames.size(), 4u);
  EXPECT_EQ(Line().frames[2], (Bytes{0x01, 0x80, 0x00, 0x81}));
  EXPECT_EQ(Line().frames[3], (Bytes{0x01, 0x06, 0x01, 0x02, 0x04}));
}

TEST_F(LinkTest, PresenceFromStatusByte15) {
  struct Case {
    Bytes status;
    int expected;
  };
  Bytes record(16, 0x00);
  auto with = [record](unsigned char card) {
    Bytes r = record;
    r[15] = card;
    return r;
  };
  const Case cases[] = {
      {with(1), ADM_OK},         {with(3), ADM_OK},         {with(0), ADM_FAILURE},
      {with(2), ADM_FAILURE},    {with(0xFF), ADM_FAILURE}, {Bytes(15, 0x01), ADM_COMM_ERROR},
      {Bytes{}, ADM_COMM_ERROR}, {Bytes(40, 0x03), ADM_OK},
  };
  for (const auto& c : cases) {
    AnswerWith(c.status);
    EXPECT_EQ(Adm_IsICCPresent(), c.expected) << Hex(c.status);
  }
  AnswerWithWire("");
  EXPECT_EQ(Adm_IsICCPresent(), ADM_COMM_ERROR);
}

TEST_F(LinkTest, StatusRecordIsCopiedWhole) {
  Bytes record(20);
  for (std::size_t i = 0; i < record.size(); ++i) record[i] = static_cast<unsigned char>(i + 1);
  AnswerWith(record);
  std::array<unsigned char, ADM_MAX_REPLY> status{};
  EXPECT_EQ(Adm_GetTolmStats(status.data()), ADM_OK);
  EXPECT_EQ(Bytes(status.begin(), status.begin() + 20), record);
  EXPECT_EQ(status[20], 0);
}

// Replies as the reader may send them, and what reaches the caller.
TEST_F(LinkTest, ReplyForms) {
  struct Case {
    const char* name;
    std::string wire;
    int result;
    Bytes data;  // when result is ADM_OK
  };
  const Case cases[] = {
      {"empty", ReplyWire({}), ADM_OK, {}},
      {"five bytes", ReplyWire({1, 2, 3, 4, 5}), ADM_OK, {1, 2, 3, 4, 5}},
      // The reader has shown it sums its replies: they are checked from now on.
      {"bad checksum refused", "\x02" "0000000201AB00\x03", ADM_COMM_ERROR, {}},
      {"bad framing refused", "X0000000201ABAAY", ADM_COMM_ERROR, {}},
      {"head bytes 0-2 are the reader's own", "\x02" "12345602CAFE46\x03", ADM_OK, {0xCA, 0xFE}},
      {"extended form", ExtendedReplyWire({9, 8, 7}, 3), ADM_OK, {9, 8, 7}},
      {"extended 255", ExtendedReplyWire(Bytes(255, 0x5A), 255), ADM_OK, Bytes(255, 0x5A)},
      {"extended 0x0100 refused", ExtendedReplyWire(Bytes(256, 0), 0x0100), ADM_COMM_ERROR, {}},
      {"extended 0xFFFF refused", ExtendedReplyWire({}, 0xFFFF), ADM_COMM_ERROR, {}},
      {"lower-case data",
       "\x02"
       "00000002cafe00\x03",
       ADM_COMM_ERROR,
       {}},
      {"non-hex length",
       "\x02"
       "000000G2CAFE00\x03",
       ADM_COMM_ERROR,
       {}},
      {"non-hex extended length",
       "\x02"
       "000000FF00x1CA00\x03",
       ADM_COMM_ERROR,
       {}},
      {"cut in head",
       "\x02"
       "0000",
       ADM_COMM_ERROR,
       {}},
      {"cut in body",
       "\x02"
       "00000005CAFE",
       ADM_COMM_ERROR,
       {}},
      {"cut in trailer",
       "\x02"
       "00000001CA0",
       ADM_COMM_ERROR,
       {}},
      {"silence", "", ADM_COMM_ERROR, {}},
  };
  const std::array<unsigned char, 4> frame{0x01, 0x01, 0x00, 0x00};
  for (const auto& c : cases) {
    AnswerWithWire(c.wire);
    std::array<unsigned char, ADM_MAX_REPLY + 8> reply{};
    reply.fill(0xEE);
    unsigned int len = 777;
    EXPECT_EQ(Adm_Transmit(frame.data(), 4, reply.data(), &len), c.result) << c.name;
    if (c.result == ADM_OK) {
      EXPECT_EQ(Bytes(reply.begin(), reply.begin() + len), c.data) << c.name;
    } else {
      EXPECT_EQ(len, 777u) << c.name << ": a failed exchange leaves the length alone";
      EXPECT_EQ(reply[0], 0xEE) << c.name;
    }
    EXPECT_EQ(reply[ADM_MAX_REPLY], 0xEE) << c.name << ": written past 255 bytes";
  }
}

TEST_F(LinkTest, FrameLengthsOutsideTheTransportAreRefusedUnsent) {
  AnswerWith({});
  std::array<unsigned char, 300> frame{};
  std::array<unsigned char, ADM_MAX_REPLY> reply{};
  unsigned int len = 0;
  EXPECT_EQ(Adm_Transmit(frame.data(), 261, reply.data(), &len), ADM_COMM_ERROR);
  EXPECT_EQ(Adm_Transmit(frame.data(), -1, reply.data(), &len), ADM_COMM_ERROR);
  EXPECT_TRUE(Line().frames.empty());
  EXPECT_EQ(Adm_Transmit(frame.data(), 260, reply.data(), &len), ADM_OK);
  EXPECT_EQ(Line().frames.size(), 1u);
}

TEST_F(LinkTest, InitializeOpensAtTheReaderSettingsAndSetsFourSeconds) {
  EXPECT_EQ(Adm_Initialize("/some/port"), ADM_OK);
  EXPECT_EQ(Line().opened, std::vector<std::string>{"/some/port"});
  EXPECT_EQ(Line().blocktimes, std::vector<int>{4});
  EXPECT_EQ(Adm_SetWWT(60), ADM_OK);
  EXPECT_EQ(Line().blocktimes.back(), 60);
  EXPECT_EQ(Adm_UnInitialize(), ADM_OK);

  Line().open_fails = true;
  Line().blocktimes.clear();
  EXPECT_EQ(Adm_Initialize("/no/port"), ADM_FAILURE);
  EXPECT_TRUE(Line().blocktimes.empty());
  Line().close_fails = true;
  EXPECT_EQ(Adm_UnInitialize(), ADM_FAILURE);
}

}  // namespace
}  // namespace ttycard::test
