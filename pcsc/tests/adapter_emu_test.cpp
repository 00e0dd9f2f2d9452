// The version 3 entry points on the whole driver, against the reader emulator
// on a pseudo-terminal. Opening the reader takes 3.4 s, so every case shares
// one opened channel; the last case closes it.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "adapter.h"
#include "emulator.h"
#include "pcsclite_api.h"

namespace {

using ttycard::emu::Bytes;
using ttycard::emu::Emulator;

// The protocol agreed for the card in reader 0, as a client reads it.
DWORD NegotiatedProtocol() {
  UCHAR value[4] = {};
  DWORD length = sizeof value;
  if (IFDHGetCapabilities(0, SCARD_ATTR_CURRENT_PROTOCOL_TYPE, &length, value) != IFD_SUCCESS) {
    return 0xFFFFFFFF;
  }
  return value[0] | value[1] << 8 | value[2] << 16 | static_cast<DWORD>(value[3]) << 24;
}

const Bytes kT1Atr(ttycard::emu::kDefaultT1Atr.begin(), ttycard::emu::kDefaultT1Atr.end());
const Bytes kT0Atr(ttycard::emu::kDefaultT0Atr.begin(), ttycard::emu::kDefaultT0Atr.end());

class Adapter : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    emu_ = new Emulator();
    ASSERT_TRUE(emu_->Start());
    path_ = emu_->SlavePath();
    opened_ = IFDHCreateChannelByName(0, path_.data()) == IFD_SUCCESS;
  }
  static void TearDownTestSuite() {
    delete emu_;
    emu_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(opened_);
    emu_->SetCardPresent(true);
    emu_->SetStatusRecord(std::nullopt);
    emu_->SetAtr(kT1Atr);
  }

  // Powers the card up; the ATR as the host receives it.
  static Bytes PowerUp(RESPONSECODE expected = IFD_SUCCESS) {
    UCHAR atr[MAX_ATR_SIZE];
    DWORD length = sizeof atr;
    EXPECT_EQ(IFDHPowerICC(0, IFD_POWER_UP, atr, &length), expected);
    return Bytes(atr, atr + std::min<DWORD>(length, sizeof atr));
  }

  // Sends an APDU; the response, or the result code as an error.
  static RESPONSECODE Transmit(DWORD protocol, Bytes apdu, DWORD capacity, Bytes* response) {
    std::vector<UCHAR> rx(std::max<DWORD>(capacity, 1), 0xEE);
    DWORD length = capacity;
    SCARD_IO_HEADER recv{99, 0};
    const RESPONSECODE rc = IFDHTransmitToICC(0, SCARD_IO_HEADER{protocol, 0}, apdu.data(),
                                              apdu.size(), rx.data(), &length, &recv);
    if (rc == IFD_SUCCESS) {
      EXPECT_EQ(recv.Protocol, protocol);
    }
    if (rc != IFD_SUCCESS) {
      EXPECT_EQ(length, 0u) << "receive length left after an error";
    }
    response->assign(rx.begin(), rx.begin() + std::min<DWORD>(length, rx.size()));
    return rc;
  }

  static Emulator* emu_;
  static std::string path_;
  static bool opened_;
};
Emulator* Adapter::emu_ = nullptr;
std::string Adapter::path_;
bool Adapter::opened_ = false;

TEST_F(Adapter, PowerUpHandsBackTheAtrWithItsRealLength) {
  EXPECT_EQ(PowerUp(), kT1Atr);

  struct {
    DWORD tag;
    DWORD capacity;
    RESPONSECODE result;
    DWORD length;
  } const cases[] = {
      {TAG_IFD_ATR, MAX_ATR_SIZE, IFD_SUCCESS, 11},
      {SCARD_ATTR_ATR_STRING, 11, IFD_SUCCESS, 11},
      {SCARD_ATTR_ATR_STRING, 10, IFD_ERROR_INSUFFICIENT_BUFFER, 11},
      {TAG_IFD_ATR, 0, IFD_ERROR_INSUFFICIENT_BUFFER, 11},
  };
  for (const auto& c : cases) {
    UCHAR value[MAX_ATR_SIZE] = {};
    DWORD length = c.capacity;
    EXPECT_EQ(IFDHGetCapabilities(0, c.tag, &length, value), c.result) << std::hex << c.tag;
    EXPECT_EQ(length, c.length) << std::hex << c.tag << " capacity " << std::dec << c.capacity;
    if (c.result == IFD_SUCCESS) {
      EXPECT_EQ(Bytes(value, value + length), kT1Atr);
    }
  }
}

TEST_F(Adapter, PowerDownAndFailedPowerUpLeaveNoAtr) {
  PowerUp();
  UCHAR atr[MAX_ATR_SIZE];
  DWORD length = sizeof atr;
  EXPECT_EQ(IFDHPowerICC(0, IFD_POWER_DOWN, atr, &length), IFD_SUCCESS);
  EXPECT_EQ(length, 0u);
  DWORD capacity = MAX_ATR_SIZE;
  EXPECT_EQ(IFDHGetCapabilities(0, TAG_IFD_ATR, &capacity, atr), IFD_SUCCESS);
  EXPECT_EQ(capacity, 0u);

  // The reader answers a reset of an empty slot with an empty ATR.
  emu_->SetCardPresent(false);
  EXPECT_TRUE(PowerUp(IFD_ERROR_POWER_ACTION).empty());
}

TEST_F(Adapter, ProtocolIsAcceptedWhenTheAtrOffersIt) {
  struct {
    const Bytes* atr;
    DWORD requested;
    RESPONSECODE result;
    DWORD negotiated;
  } const cases[] = {
      {&kT1Atr, SCARD_PROTOCOL_T1, IFD_SUCCESS, SCARD_PROTOCOL_T1},
      {&kT1Atr, SCARD_PROTOCOL_T0, IFD_PROTOCOL_NOT_SUPPORTED, SCARD_PROTOCOL_T1},
      {&kT1Atr, SCARD_PROTOCOL_ANY, IFD_SUCCESS, SCARD_PROTOCOL_T1},
      {&kT1Atr, SCARD_PROTOCOL_RAW, IFD_PROTOCOL_NOT_SUPPORTED, SCARD_PROTOCOL_T1},
      {&kT0Atr, SCARD_PROTOCOL_T0, IFD_SUCCESS, SCARD_PROTOCOL_T0},
      {&kT0Atr, SCARD_PROTOCOL_T1, IFD_PROTOCOL_NOT_SUPPORTED, SCARD_PROTOCOL_T0},
  };
  for (const auto& c : cases) {
    emu_->SetAtr(*c.atr);
    PowerUp();
    EXPECT_EQ(IFDHSetProtocolParameters(0, c.requested, 0, 0, 0, 0), c.result) << c.requested;
    EXPECT_EQ(NegotiatedProtocol(), c.negotiated) << c.requested;
  }
}

TEST_F(Adapter, TransmitHonoursTheCallersReceiveLength) {
  PowerUp();
  ASSERT_EQ(IFDHSetProtocolParameters(0, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);
  Bytes r;
  // A capacity beyond what the core takes is fine for a short answer.
  ASSERT_EQ(Transmit(1, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x2F, 0x01}, 65548, &r), IFD_SUCCESS);
  EXPECT_EQ(r, (Bytes{0x90, 0x00}));

  const Bytes read16 = {0x00, 0xB0, 0x00, 0x00, 0x10};
  ASSERT_EQ(Transmit(1, read16, 18, &r), IFD_SUCCESS);
  EXPECT_EQ(Bytes(r.begin(), r.end() - 2), Bytes({'T', 'T', 'Y', 'C', 'A', 'R', 'D', ' ', 'E', 'M',
                                                  'U', 'L', 'A', 'T', 'O', 'R'}));
  EXPECT_EQ(Bytes(r.end() - 2, r.end()), (Bytes{0x90, 0x00}));
  // One byte short: the exchange fails rather than being cut.
  EXPECT_EQ(Transmit(1, read16, 17, &r), IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(Transmit(1, read16, 0, &r), IFD_COMMUNICATION_ERROR);

  // A full short answer, 256 bytes and SW1 SW2, fits a 258-byte buffer.
  const Bytes echo256 = {0x80, 0xEC, 0x01, 0x00, 0x00};
  ASSERT_EQ(Transmit(1, echo256, 258, &r), IFD_SUCCESS);
  ASSERT_EQ(r.size(), 258u);
  EXPECT_EQ(r[255], 0xFF);
  EXPECT_EQ(Bytes(r.end() - 2, r.end()), (Bytes{0x90, 0x00}));
  EXPECT_EQ(Transmit(1, echo256, 257, &r), IFD_COMMUNICATION_ERROR);
}

TEST_F(Adapter, TransmitKeepsToTheNegotiatedProtocol) {
  PowerUp();
  ASSERT_EQ(IFDHSetProtocolParameters(0, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);
  const std::size_t frames = emu_->FrameCount();
  Bytes r;
  EXPECT_EQ(Transmit(0, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}, 258, &r),
            IFD_PROTOCOL_NOT_SUPPORTED);
  EXPECT_EQ(emu_->FrameCount(), frames) << "a refused command reached the reader";

  // A new power-up: the new card's protocol.
  emu_->SetAtr(kT0Atr);
  PowerUp();
  EXPECT_EQ(Transmit(0, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}, 258, &r), IFD_SUCCESS);
  EXPECT_EQ(r, (Bytes{0x90, 0x00}));
  EXPECT_EQ(emu_->Frames().back().command, ttycard::emu::kCmdT0);
}

TEST_F(Adapter, PresenceFollowsTheSlot) {
  EXPECT_EQ(IFDHICCPresence(0), IFD_ICC_PRESENT);
  emu_->SetCardPresent(false);
  EXPECT_EQ(IFDHICCPresence(0), IFD_ICC_NOT_PRESENT);
  // A status record too short to hold the card status is no usable answer:
  // the slot reads as empty (pcscd would log every poll of a 612).
  emu_->SetStatusRecord(Bytes{0x54, 0x54, 0x59, 0x01});
  std::size_t frames = emu_->FrameCount();
  EXPECT_EQ(IFDHICCPresence(0), IFD_ICC_NOT_PRESENT);
  EXPECT_EQ(emu_->FrameCount() - frames, 3u) << "a status query is tried three times";
  frames = emu_->FrameCount();
  EXPECT_EQ(IFDHICCPresence(0), IFD_ICC_NOT_PRESENT);
  EXPECT_EQ(emu_->FrameCount() - frames, 1u) << "a reader known silent is asked once a poll";
  emu_->SetStatusRecord(std::nullopt);
  emu_->SetCardPresent(true);
  EXPECT_EQ(IFDHICCPresence(0), IFD_ICC_PRESENT);
}

TEST_F(Adapter, OneReaderPerProcess) {
  const std::size_t frames = emu_->FrameCount();
  EXPECT_EQ(IFDHCreateChannelByName(0, path_.data()), IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(IFDHCreateChannel(0, 0x0103F8), IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(emu_->FrameCount(), frames);
  EXPECT_EQ(IFDHICCPresence(0), IFD_ICC_PRESENT) << "the open channel was disturbed";
}

// Last: closes the shared channel.
TEST_F(Adapter, CloseTakesThePowerAwayFromTheCard) {
  PowerUp();
  ASSERT_TRUE(emu_->CardPowered());
  emu_->ClearFrames();
  EXPECT_EQ(IFDHCloseChannel(0), IFD_SUCCESS);
  EXPECT_FALSE(emu_->CardPowered());
  const auto frames = emu_->Frames();
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.back().command, ttycard::emu::kCmdPowerDown);
  EXPECT_TRUE(emu_->Violations().empty());
  opened_ = false;
}

}  // namespace
