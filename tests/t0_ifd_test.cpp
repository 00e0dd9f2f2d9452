// T=0 frames and the IFD handler entry points on a scripted line.
#include <gtest/gtest.h>

#include <array>
#include <memory>

#include "blockproto.h"
#include "charproto.h"
#include "fake_line.h"
#include "ifdhandler.h"
#include "linkcmds.h"

namespace ttycard::test {
namespace {

class T0IfdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetLine();
    ICC = ttycard_icc{};
    Line().responder = [this](const Bytes& f) {
      switch (f[1]) {
        case 0x80:
          return atr_fails_ ? std::string() : ReplyWire(atr_);
        case 0x81:
          return down_fails_ ? std::string() : ReplyWire({});
        case 0xA0:
          return ReplyWire(t0_answer_);
        case 0xA1:
          return t1_(f);
        default:
          return ReplyWire({});
      }
    };
  }
  uint32_t Transmit(uint32_t protocol, const Bytes& apdu, uint32_t rx_capacity) {
    rx_.fill(0xEE);
    rxlen_ = rx_capacity;
    return IFD_Transmit_to_ICC({protocol, 0}, apdu.data(), static_cast<uint32_t>(apdu.size()),
                               rx_.data(), &rxlen_);
  }
  Bytes Atr() const { return Bytes(ICC.ATR, ICC.ATR + TTYCARD_ATR_SIZE); }

  Bytes atr_{0x3B, 0x02, 0x14, 0x50};
  bool atr_fails_ = false;
  bool down_fails_ = false;
  Bytes t0_answer_{0x90, 0x00};
  ScriptedT1Card t1_;
  std::array<unsigned char, 300> rx_{};
  uint32_t rxlen_ = 0;
};

TEST_F(T0IfdTest, T0ReaderLayout) {
  struct Case {
    Bytes apdu;
    Bytes frame;
  };
  const Case cases[] = {
      {{0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00},
       {0x01, 0xA0, 0x08, 0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00, 0x00, 0x34}},
      {{0x00, 0x84, 0x00, 0x00, 0x08},
       {0x01, 0xA0, 0x06, 0x00, 0x84, 0x00, 0x00, 0x00, 0x08, 0x2B}},
  };
  for (const auto& c : cases) {
    Line().frames.clear();
    Line().blocktimes.clear();
    std::array<unsigned char, ADM_MAX_REPLY> resp{};
    unsigned int len = 0;
    const Bytes before = c.apdu;
    EXPECT_EQ(
        T0_ExchangeData(c.apdu.data(), static_cast<unsigned int>(c.apdu.size()), resp.data(), &len),
        ADM_OK);
    ASSERT_EQ(Line().frames.size(), 1u);
    EXPECT_EQ(Line().frames[0], c.frame);
    EXPECT_EQ(Line().blocktimes, std::vector<int>{60});
    EXPECT_EQ(Bytes(resp.begin(), resp.begin() + len), t0_answer_);
    EXPECT_EQ(c.apdu, before);
  }
}

TEST_F(T0IfdTest, T0RefusesWhatTheFrameCannotCarry) {
  for (std::size_t n : {0u, 4u, 255u, 300u}) {
    Bytes apdu(n, 0x00);
    std::array<unsigned char, ADM_MAX_REPLY> resp{};
    unsigned int len = 77;
    EXPECT_EQ(T0_ExchangeData(apdu.data(), static_cast<unsigned int>(n), resp.data(), &len),
              ADM_FAILURE)
        << n;
    EXPECT_EQ(len, 0u);
  }
  EXPECT_TRUE(Line().frames.empty());
  EXPECT_TRUE(Line().blocktimes.empty());
}

TEST_F(T0IfdTest, ChannelIdentifiers) {
  struct Case {
    uint32_t id;
    uint32_t result;
  };
  for (const Case c :
       {Case{0x0002'03F8, IFD_NOT_SUPPORTED}, Case{0x0001'0378, IFD_NOT_SUPPORTED},
        Case{0x0000'03F8, IFD_NOT_SUPPORTED}, Case{0xFFFF'FFFF, IFD_NOT_SUPPORTED}}) {
    EXPECT_EQ(IO_Create_Channel(c.id), c.result) << std::hex << c.id;
  }
  EXPECT_TRUE(Line().opened.empty()) << "no device is touched";
  Line().open_fails = true;
  EXPECT_EQ(IO_Create_Channel(0x0001'02E8), IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(Line().opened, std::vector<std::string>{"/dev/ttyS3"});
}

TEST_F(T0IfdTest, ChannelOpensTheMappedDevice) {
  EXPECT_EQ(IO_Create_Channel(0x0001'03F8), IFD_SUCCESS);
  EXPECT_EQ(Line().opened, std::vector<std::string>{"/dev/ttyS0"});
  EXPECT_EQ(IO_Close_Channel(), IFD_SUCCESS);
  Line().close_fails = true;
  EXPECT_EQ(IO_Close_Channel(), IFD_COMMUNICATION_ERROR);
}

TEST_F(T0IfdTest, PowerActionsKeepTheAtrRecord) {
  atr_ = {0x3B, 0x95, 0x13, 0x81, 0x01, 0x80, 0x73, 0xFF, 0x01, 0x00, 0x0B};
  EXPECT_EQ(IFD_Power_ICC(IFD_POWER_UP), IFD_SUCCESS);
  Bytes expected = atr_;
  expected.resize(33, 0x00);
  EXPECT_EQ(Atr(), expected);
  std::array<unsigned char, 40> value{};
  value.fill(0xEE);
  EXPECT_EQ(IFD_Get_Capabilities(TAG_IFD_ATR, value.data()), IFD_SUCCESS);
  EXPECT_EQ(Bytes(value.begin(), value.begin() + 33), expected);
  EXPECT_EQ(value[33], 0xEE);

  down_fails_ = true;
  EXPECT_EQ(IFD_Power_ICC(IFD_POWER_DOWN), IFD_ERROR_POWER_ACTION);
  EXPECT_EQ(Atr(), expected);
  down_fails_ = false;
  EXPECT_EQ(IFD_Power_ICC(IFD_POWER_DOWN), IFD_SUCCESS);
  EXPECT_EQ(Atr(), Bytes(33, 0x00));

  atr_ = {0x3B, 0x00};
  EXPECT_EQ(IFD_Power_ICC(IFD_RESET), IFD_SUCCESS);
  EXPECT_EQ(ICC.ATRLength, 2u);
  atr_fails_ = true;
  EXPECT_EQ(IFD_Power_ICC(IFD_POWER_UP), IFD_ERROR_POWER_ACTION);
  EXPECT_EQ(ICC.ATRLength, 2u);
  EXPECT_EQ(IFD_Power_ICC(503), IFD_NOT_SUPPORTED);
}

TEST_F(T0IfdTest, AtrLongerThan33BytesIsRefusedWithoutOverflow) {
  IFD_Power_ICC(IFD_POWER_UP);
  const Bytes kept = Atr();
  for (std::size_t n : {34u, 255u}) {
    atr_.assign(n, 0x3B);
    EXPECT_EQ(IFD_Power_ICC(IFD_POWER_UP), IFD_ERROR_POWER_ACTION) << n;
    EXPECT_EQ(Atr(), kept);
  }
  atr_.assign(33, 0x3F);
  EXPECT_EQ(IFD_Power_ICC(IFD_POWER_UP), IFD_SUCCESS);
  EXPECT_EQ(Atr(), Bytes(33, 0x3F));
}

TEST_F(T0IfdTest, TransmitLengthChecks) {
  struct Case {
    std::size_t txlen;
    uint32_t rx_capacity;
    uint32_t result;
  };
  // The receive length is only tested against 257: 0 or 1 pass too.
  const Case cases[] = {
      {256, 257, IFD_ERROR_NOT_SUPPORTED},
      {5, 258, IFD_ERROR_NOT_SUPPORTED},
      {3, 257, IFD_ERROR_NOT_SUPPORTED},
      {0, 257, IFD_ERROR_NOT_SUPPORTED},
      {255, 257, IFD_SUCCESS},
      {5, 257, IFD_SUCCESS},
      {5, 0, IFD_SUCCESS},
      {4, 1, IFD_SUCCESS},
  };
  unsigned char card_ns = 0;  // the card numbers its answers 0, 1, 0, ...
  for (const auto& c : cases) {
    t1_.answers.push_back(Block(card_ns ? 0x40 : 0x00, {0x90, 0x00}));
    // A 255-byte command is chained in 13 blocks; acknowledge the chunks.
    Line().responder = [this](const Bytes& f) {
      const bool more = f[4] & 0x20;
      if (more) t1_.answers.push_front(Block((f[4] & 0x40) ? 0x80 : 0x90));
      return t1_(f);
    };
    Bytes apdu(c.txlen, 0x00);
    EXPECT_EQ(Transmit(1, apdu, c.rx_capacity), c.result) << c.txlen << "/" << c.rx_capacity;
    if (c.result != IFD_SUCCESS) {
      EXPECT_EQ(rxlen_, 0u);
    } else {
      card_ns ^= 1;
    }
    t1_.answers.clear();
  }
}

TEST_F(T0IfdTest, FourByteApduIsPaddedInACopy) {
  // Exactly four bytes of caller memory: nothing may be written to a fifth.
  auto apdu = std::make_unique<unsigned char[]>(4);
  const unsigned char header[4] = {0x00, 0xA4, 0x00, 0x0C};
  std::copy(header, header + 4, apdu.get());
  rxlen_ = 257;
  EXPECT_EQ(IFD_Transmit_to_ICC({0, 0}, apdu.get(), 4, rx_.data(), &rxlen_), IFD_SUCCESS);
  EXPECT_EQ(Line().frames.back(),
            (Bytes{0x01, 0xA0, 0x06, 0x00, 0xA4, 0x00, 0x0C, 0x00, 0x00,
                   static_cast<unsigned char>(0x01 ^ 0xA0 ^ 0x06 ^ 0xA4 ^ 0x0C)}));
  EXPECT_EQ(Bytes(apdu.get(), apdu.get() + 4), Bytes(header, header + 4));
  EXPECT_EQ(rxlen_, 2u);
}

// In T=1 a P3 of 00 would ask the card for 256 bytes: a case 1 APDU goes as
// its four bytes, in a block of LEN 4.
TEST_F(T0IfdTest, FourByteApduStaysFourBytesInT1) {
  t1_.answers.push_back(Block(0x00, {0x90, 0x00}));
  Line().responder = [this](const Bytes& f) { return t1_(f); };
  const Bytes apdu{0x00, 0xA4, 0x00, 0x0C};
  EXPECT_EQ(Transmit(1, apdu, 257), IFD_SUCCESS);
  ASSERT_EQ(t1_.received.size(), 1u);
  EXPECT_EQ(t1_.received[0], BlockWithLrc(0x00, apdu));
  EXPECT_EQ(rxlen_, 2u);
}

TEST_F(T0IfdTest, TransmitOutcomes) {
  // T=0: 255 bytes cannot be framed for the reader; refused before the line.
  EXPECT_EQ(Transmit(0, Bytes(255, 0), 257), IFD_ERROR_NOT_SUPPORTED);
  EXPECT_EQ(rxlen_, 0u);
  EXPECT_TRUE(Line().frames.empty());

  // The receive buffer holds a whole T=0 reply whatever receive length comes
  // with it; the size line shows the response's length, or after a failure
  // the incoming one.
  struct Case {
    Bytes answer;
    uint32_t incoming, result, rxlen;
    const char* printed;
  };
  const Case cases[] = {
      {Bytes(40, 0x61), 0, IFD_SUCCESS, 40, "Response Size 40\n"},
      {Bytes(254, 0x61), 39, IFD_SUCCESS, 254, "Response Size 254\n"},
      {{0x90}, 123, IFD_COMMUNICATION_ERROR, 0, "Response Size 123\n"},
  };
  for (const Case& c : cases) {
    t0_answer_ = c.answer;
    testing::internal::CaptureStdout();
    EXPECT_EQ(Transmit(0, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x2F, 0x00}, c.incoming), c.result);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
    EXPECT_EQ(rxlen_, c.rxlen);
    EXPECT_EQ(Bytes(rx_.begin(), rx_.begin() + c.rxlen),
              Bytes(c.answer.begin(), c.answer.begin() + c.rxlen));
    EXPECT_EQ(rx_[c.rxlen], 0xEE);
  }

  // T=1 failures: 612 and nothing received.
  t1_.answers = {Block(0x20, {0x01}), std::nullopt};
  EXPECT_EQ(Transmit(1, {0x00, 0x84, 0x00, 0x00, 0x08}, 257), IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(rxlen_, 0u);
  t1_.answers = {std::nullopt};
  EXPECT_EQ(Transmit(1, {0x00, 0x84, 0x00, 0x00, 0x08}, 257), IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(rxlen_, 0u);

  EXPECT_EQ(Transmit(2, {0x00, 0x84, 0x00, 0x00, 0x08}, 257), IFD_PROTOCOL_NOT_SUPPORTED);
  EXPECT_EQ(rxlen_, 0u);
}

TEST_F(T0IfdTest, FixedAnswers) {
  EXPECT_EQ(IFD_Set_Protocol_Parameters(1, 0x10, 0x11, 0, 0), IFD_ERROR_PTS_FAILURE);
  EXPECT_EQ(IFD_Swallow_ICC(), IFD_ERROR_NOT_SUPPORTED);
  EXPECT_EQ(IFD_Eject_ICC(), IFD_ERROR_NOT_SUPPORTED);
  EXPECT_EQ(IFD_Confiscate_ICC(), IFD_ERROR_NOT_SUPPORTED);
  unsigned char value[33] = {};
  EXPECT_EQ(IFD_Get_Capabilities(0x0201, value), IFD_SUCCESS);
  EXPECT_EQ(IFD_Get_Capabilities(0x0FAE, value), IFD_ERROR_TAG);
  EXPECT_EQ(IFD_Set_Capabilities(TAG_IFD_ATR, value), IFD_ERROR_VALUE_READ_ONLY);
  EXPECT_EQ(IFD_Set_Capabilities(0x0201, value), IFD_ERROR_TAG);
}

TEST_F(T0IfdTest, PresenceAndAbsence) {
  struct Case {
    std::string wire;
    uint32_t result;
  };
  Bytes in(16, 0), out(16, 0);
  in[15] = 3;
  out[15] = 0;
  for (const Case& c :
       {Case{ReplyWire(in), IFD_ICC_PRESENT}, Case{ReplyWire(out), IFD_ICC_NOT_PRESENT},
        Case{"", IFD_COMMUNICATION_ERROR}}) {
    Line().responder = [c](const Bytes&) { return c.wire; };
    EXPECT_EQ(IFD_Is_ICC_Present(), c.result);
    EXPECT_EQ(IFD_Is_ICC_Absent(), c.result);
  }
}

}  // namespace
}  // namespace ttycard::test
