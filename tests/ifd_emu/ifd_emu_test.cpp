// The IFD entry points through the real serial module, against emulated
// readers bound over /dev/ttyS0 ... /dev/ttyS3 in a private mount namespace.
// The whole suite runs in one process and shares one opened reader on
// the bind over /dev/ttyS0, since opening a reader costs 3.4 s.
#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <vector>

#include "dev_ttys.h"
#include "emulator.h"
#include "ifdhandler.h"
#include "linkcmds.h"

namespace {

using ttycard::emu::Bytes;
using ttycard::emu::CardProtocol;
using ttycard::emu::Emulator;
using ttycard::emu::Fault;
using ttycard::emu::FaultSpec;
using ttycard::emu::kInsEcho;
using ttycard::emu::Options;

std::string g_skip;
std::unique_ptr<Emulator> g_emu;  // the reader bound over /dev/ttyS0

class IfdEmuTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The namespace must come before any thread: the emulators serve from one.
    std::string why;
    if (!ttycard::test::EnterPrivateMounts(&why)) {
      g_skip = "SKIPPED: no private mount namespace here (" + why + ")";
      return;
    }
    g_emu = std::make_unique<Emulator>();
    if (!g_emu->Start() || !ttycard::test::BindSerialPorts({g_emu->SlavePath()}, &why)) {
      g_skip = "SKIPPED: cannot bind a pseudo-terminal over /dev/ttyS0 (" + why + ")";
      return;
    }
    if (IO_Create_Channel(0x0001'03F8) != IFD_SUCCESS) g_skip = "FAILED to open /dev/ttyS0";
  }
  static void TearDownTestSuite() {
    if (g_emu) IO_Close_Channel();
    g_emu.reset();
  }
  void SetUp() override {
    if (!g_skip.empty()) GTEST_SKIP() << g_skip;
    g_emu->ClearFaults();
    g_emu->ClearT1Behaviours();
    g_emu->SetCardPresent(true);
    // A T=0 exchange leaves 60 s of block time behind; failures here need
    // not wait that long.
    Adm_SetWWT(1);
    ASSERT_EQ(IFD_Power_ICC(IFD_POWER_UP), IFD_SUCCESS);
    g_emu->ClearRecords();
  }
  void TearDown() override {
    if (g_emu && !g_emu->Violations().empty()) ADD_FAILURE() << g_emu->Violations().front();
  }

  uint32_t Transmit(uint32_t protocol, const Bytes& apdu, uint32_t capacity = 257) {
    rx_.fill(0xEE);
    rxlen_ = capacity;
    return IFD_Transmit_to_ICC({protocol, 0}, apdu.data(), static_cast<uint32_t>(apdu.size()),
                               rx_.data(), &rxlen_);
  }
  Bytes Received() const { return Bytes(rx_.begin(), rx_.begin() + rxlen_); }

  std::array<unsigned char, 300> rx_{};
  uint32_t rxlen_ = 0;
};

// ECHO: `data` command bytes, `response` bytes back. Without command data the
// fifth byte is Le, which a T=0 card must meet exactly.
Bytes Echo(std::size_t data, std::size_t response) {
  Bytes apdu{0x80, kInsEcho, static_cast<unsigned char>(response >> 8),
             static_cast<unsigned char>(response),
             static_cast<unsigned char>(data == 0 ? response : data)};
  for (std::size_t i = 0; i < data; ++i) apdu.push_back(static_cast<unsigned char>(0xA0 + i));
  return apdu;
}

TEST_F(IfdEmuTest, PowerActionsAndTheAtrRecord) {
  Bytes atr{0x3B, 0x84, 0x81, 0x31, 0x20, 0x45, 0x54, 0x54, 0x59, 0x43, 0x4B};
  atr.resize(33, 0x00);
  std::array<unsigned char, 33> value{};
  EXPECT_EQ(IFD_Get_Capabilities(TAG_IFD_ATR, value.data()), IFD_SUCCESS);
  EXPECT_EQ(Bytes(value.begin(), value.end()), atr);

  EXPECT_EQ(IFD_Power_ICC(IFD_RESET), IFD_SUCCESS);
  EXPECT_EQ(g_emu->Frames().at(0).wire,
            "\x02"
            "01800081\x03");

  // A power-down the reader does not answer: 608, and the ATR stays.
  g_emu->InjectFault(FaultSpec::Of(Fault::kSilence).ForCommand(0x81));
  EXPECT_EQ(IFD_Power_ICC(IFD_POWER_DOWN), IFD_ERROR_POWER_ACTION);
  EXPECT_EQ(Bytes(ICC.ATR, ICC.ATR + 33), atr);
  EXPECT_EQ(IFD_Power_ICC(IFD_POWER_DOWN), IFD_SUCCESS);
  EXPECT_EQ(Bytes(ICC.ATR, ICC.ATR + 33), Bytes(33, 0x00));
}

TEST_F(IfdEmuTest, T0FourByteApduReachesTheReaderPadded) {
  const Bytes select_mf{0x00, 0xA4, 0x00, 0x0C};
  testing::internal::CaptureStdout();
  EXPECT_EQ(Transmit(0, select_mf), IFD_SUCCESS);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "Setting block time to 60\nResponse Size " + std::to_string(rxlen_) + "\n");
  ASSERT_EQ(g_emu->Frames().size(), 1u);
  EXPECT_EQ(g_emu->Frames()[0].bytes,
            (Bytes{0x01, 0xA0, 0x06, 0x00, 0xA4, 0x00, 0x0C, 0x00, 0x00, 0x0F}));
  ASSERT_GE(rxlen_, 2u);
}

TEST_F(IfdEmuTest, ExchangesInBothProtocols) {
  struct Case {
    uint32_t protocol;
    Bytes apdu;
    std::size_t response;  // data bytes expected before 90 00
  };
  const Case cases[] = {
      {0, Echo(3, 3), 3},      {0, Echo(0, 200), 200},   {0, Echo(100, 100), 100},
      {1, Echo(3, 3), 3},      {1, Echo(200, 200), 200}, {1, Echo(10, 250), 250},
      {1, Echo(250, 10), 250},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "T=" << c.protocol << " " << c.apdu.size() << " bytes");
    ASSERT_EQ(Transmit(c.protocol, c.apdu), IFD_SUCCESS);
    ASSERT_EQ(rxlen_, c.response + 2);
    const Bytes got = Received();
    for (std::size_t i = 0; i + 5 < c.apdu.size() && i < c.response; ++i) {
      ASSERT_EQ(got[i], c.apdu[5 + i]) << i;
    }
    EXPECT_EQ(got[c.response], 0x90);
    EXPECT_EQ(got[c.response + 1], 0x00);
  }
}

TEST_F(IfdEmuTest, TransmitLengthChecks) {
  struct Case {
    std::size_t txlen;
    uint32_t capacity;
    uint32_t result;
  };
  const Case cases[] = {
      {256, 257, IFD_ERROR_NOT_SUPPORTED},
      {10, 258, IFD_ERROR_NOT_SUPPORTED},
      {3, 257, IFD_ERROR_NOT_SUPPORTED},
      {0, 257, IFD_ERROR_NOT_SUPPORTED},
      {255, 257, IFD_SUCCESS},
  };
  for (const auto& c : cases) {
    Bytes apdu = Echo(250, 2);
    apdu.resize(c.txlen, 0x00);
    EXPECT_EQ(Transmit(1, apdu, c.capacity), c.result) << c.txlen << "/" << c.capacity;
    if (c.result != IFD_SUCCESS) {
      EXPECT_EQ(rxlen_, 0u);
    }
  }
}

TEST_F(IfdEmuTest, FailuresGive612AndNothingReceived) {
  // A silent reader is asked again (three times) before the exchange fails.
  g_emu->InjectFault(FaultSpec::Of(Fault::kSilence).ForCommand(0xA1).Times(4));
  EXPECT_EQ(Transmit(1, Echo(3, 3)), IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(rxlen_, 0u);
  EXPECT_EQ(g_emu->PendingFaults(), 0u);

  // The receive buffer holds 255 bytes for T=0 and 272 for T=1 whatever
  // receive length comes with it; a longer answer is not cut into it.
  struct Case {
    uint32_t protocol;
    Bytes apdu;
    uint32_t incoming, result, rxlen;
  };
  const Case cases[] = {
      {1, Echo(0, 100), 50, IFD_SUCCESS, 102},
      {0, Echo(0, 100), 0, IFD_SUCCESS, 102},
      {1, Echo(0, 270), 1, IFD_SUCCESS, 272},
      {1, Echo(0, 271), 257, IFD_COMMUNICATION_ERROR, 0},
      {0, Echo(0, 254), 257, IFD_COMMUNICATION_ERROR, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Transmit(c.protocol, c.apdu, c.incoming), c.result) << c.rxlen;
    EXPECT_EQ(rxlen_, c.rxlen);
    EXPECT_EQ(rx_[c.rxlen], 0xEE);
  }
}

TEST_F(IfdEmuTest, PresenceAndAbsence) {
  EXPECT_EQ(IFD_Is_ICC_Present(), IFD_ICC_PRESENT);
  EXPECT_EQ(IFD_Is_ICC_Absent(), IFD_ICC_PRESENT);
  g_emu->SetCardPresent(false);
  EXPECT_EQ(IFD_Is_ICC_Present(), IFD_ICC_NOT_PRESENT);
  EXPECT_EQ(IFD_Is_ICC_Absent(), IFD_ICC_NOT_PRESENT);
  g_emu->InjectFault(FaultSpec::Of(Fault::kSilence).ForCommand(0x01));
  EXPECT_EQ(IFD_Is_ICC_Present(), IFD_COMMUNICATION_ERROR);
}

// Last: it closes the shared reader and opens each port in turn.
TEST_F(IfdEmuTest, ZChannelsByPortAddress) {
  ASSERT_EQ(IO_Close_Channel(), IFD_SUCCESS);
  std::vector<std::unique_ptr<Emulator>> readers;
  std::vector<std::string> ptys;
  for (int i = 0; i < 4; ++i) {
    readers.push_back(std::make_unique<Emulator>());
    ASSERT_TRUE(readers.back()->Start());
    ptys.push_back(readers.back()->SlavePath());
  }
  std::string why;
  ASSERT_TRUE(ttycard::test::BindSerialPorts(ptys, &why)) << why;

  EXPECT_EQ(IO_Create_Channel(0x0002'03F8), IFD_NOT_SUPPORTED);
  EXPECT_EQ(IO_Create_Channel(0x0001'0378), IFD_NOT_SUPPORTED);
  const uint32_t addresses[] = {0x3F8, 0x2F8, 0x3E8, 0x2E8};
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    ASSERT_EQ(IO_Create_Channel(0x0001'0000 | addresses[i]), IFD_SUCCESS);
    EXPECT_EQ(IFD_Is_ICC_Present(), IFD_ICC_PRESENT);
    EXPECT_EQ(IO_Close_Channel(), IFD_SUCCESS);
    for (int j = 0; j < 4; ++j) {
      EXPECT_EQ(readers[j]->FrameCount(), j == i ? 1u : 0u) << "reader " << j;
    }
    readers[i]->ClearFrames();
  }
  // Reopen the shared reader for any test that runs after this one.
  g_emu->ClearRecords();
  ASSERT_TRUE(ttycard::test::BindSerialPorts({g_emu->SlavePath()}, &why)) << why;
  EXPECT_EQ(IO_Create_Channel(0x0001'03F8), IFD_SUCCESS);
}

}  // namespace
