// The adapter's answers that need no reader: slots, capability lengths,
// refusals, and the card-event wait handed to pcscd.
#include "adapter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "case_name.h"
#include "pcsclite_api.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using ttycard::pcsc::kPollInterval;

struct CapabilityCase {
  const char* what;
  DWORD tag;
  DWORD capacity;
  RESPONSECODE result;
  DWORD length;  // written back
};

class Capabilities : public testing::TestWithParam<CapabilityCase> {};

TEST_P(Capabilities, AnswerWithinTheCallersLength) {
  const auto& c = GetParam();
  std::vector<UCHAR> value(16, 0xEE);
  DWORD length = c.capacity;
  EXPECT_EQ(IFDHGetCapabilities(0, c.tag, &length, value.data()), c.result) << c.what;
  EXPECT_EQ(length, c.length) << c.what;
  if (c.result == IFD_SUCCESS && c.length == 1) {
    EXPECT_EQ(value[0], 1) << c.what;
  }
  if (c.result != IFD_SUCCESS) {
    EXPECT_EQ(value[0], 0xEE) << c.what << ": written on failure";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Capabilities,
    testing::Values(
        CapabilityCase{"slots", TAG_IFD_SLOTS_NUMBER, 1, IFD_SUCCESS, 1},
        CapabilityCase{"slots, large buffer", TAG_IFD_SLOTS_NUMBER, 16, IFD_SUCCESS, 1},
        CapabilityCase{"slots, no room", TAG_IFD_SLOTS_NUMBER, 0, IFD_ERROR_INSUFFICIENT_BUFFER, 1},
        CapabilityCase{"readers per driver", TAG_IFD_SIMULTANEOUS_ACCESS, 1, IFD_SUCCESS, 1},
        CapabilityCase{"event wait", TAG_IFD_POLLING_THREAD_WITH_TIMEOUT, 8, IFD_SUCCESS, 8},
        CapabilityCase{"event wait, no room", TAG_IFD_POLLING_THREAD_WITH_TIMEOUT, 4,
                       IFD_ERROR_INSUFFICIENT_BUFFER, 8},
        CapabilityCase{"stop wait", TAG_IFD_STOP_POLLING_THREAD, 8, IFD_SUCCESS, 8},
        CapabilityCase{"not killable", TAG_IFD_POLLING_THREAD_KILLABLE, 1, IFD_ERROR_TAG, 1},
        CapabilityCase{"thread safe", TAG_IFD_THREAD_SAFE, 1, IFD_ERROR_TAG, 1},
        CapabilityCase{"slot thread safe", TAG_IFD_SLOT_THREAD_SAFE, 1, IFD_ERROR_TAG, 1},
        CapabilityCase{"protocol type", 0x0201, 4, IFD_ERROR_TAG, 4},
        CapabilityCase{"no card powered: empty ATR", TAG_IFD_ATR, 33, IFD_SUCCESS, 0}),
    ttycard::pcsc::test::CaseName());

TEST(Capabilities, NeedALength) {
  UCHAR value = 0;
  EXPECT_EQ(IFDHGetCapabilities(0, TAG_IFD_SLOTS_NUMBER, nullptr, &value), IFD_COMMUNICATION_ERROR);
}

TEST(Slots, OnlySlotZeroOfAnyReaderIndex) {
  DWORD length = 1;
  UCHAR value = 0;
  EXPECT_EQ(IFDHGetCapabilities(0x00020000, TAG_IFD_SLOTS_NUMBER, &length, &value), IFD_SUCCESS);

  const DWORD slot1 = 0x00000001;
  length = 1;
  EXPECT_NE(IFDHGetCapabilities(slot1, TAG_IFD_SLOTS_NUMBER, &length, &value), IFD_SUCCESS);
  EXPECT_NE(IFDHICCPresence(slot1), IFD_ICC_PRESENT);
  EXPECT_NE(IFDHCreateChannelByName(slot1, const_cast<LPSTR>("/nonexistent")), IFD_SUCCESS);
  EXPECT_NE(IFDHSetProtocolParameters(slot1, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);

  UCHAR atr[MAX_ATR_SIZE];
  DWORD atr_length = 33;
  EXPECT_NE(IFDHPowerICC(slot1, IFD_POWER_UP, atr, &atr_length), IFD_SUCCESS);
  EXPECT_EQ(atr_length, 0u);

  UCHAR tx[5] = {0x00, 0xB0, 0x00, 0x00, 0x02};
  UCHAR rx[16];
  DWORD rx_length = sizeof rx;
  SCARD_IO_HEADER pci{1, 0};
  EXPECT_NE(IFDHTransmitToICC(slot1, pci, tx, sizeof tx, rx, &rx_length, nullptr), IFD_SUCCESS);
  EXPECT_EQ(rx_length, 0u);
}

TEST(Refusals, ZeroTheLengthsTheyReturn) {
  UCHAR tx[5] = {0x00, 0xB0, 0x00, 0x00, 0x02};
  UCHAR rx[16];
  DWORD rx_length = sizeof rx;
  SCARD_IO_HEADER t14{14, 0};
  EXPECT_EQ(IFDHTransmitToICC(0, t14, tx, sizeof tx, rx, &rx_length, nullptr),
            IFD_PROTOCOL_NOT_SUPPORTED);
  EXPECT_EQ(rx_length, 0u);
  EXPECT_EQ(IFDHTransmitToICC(0, SCARD_IO_HEADER{1, 0}, tx, sizeof tx, rx, nullptr, nullptr),
            IFD_COMMUNICATION_ERROR);

  UCHAR atr[MAX_ATR_SIZE];
  DWORD atr_length = 33;
  EXPECT_EQ(IFDHPowerICC(0, 503, atr, &atr_length), IFD_NOT_SUPPORTED);
  EXPECT_EQ(atr_length, 0u);

  DWORD returned = 7;
  UCHAR out[4];
  EXPECT_EQ(IFDHControl(0, 0x42000C00, tx, sizeof tx, out, sizeof out, &returned),
            IFD_ERROR_NOT_SUPPORTED);
  EXPECT_EQ(returned, 0u);
}

// Without a powered card there is no ATR to offer a protocol; the answer is
// "not supported", never the PTS failure pcscd takes for a dead card.
TEST(ProtocolSelection, WithoutAtrIsNotSupported) {
  for (DWORD protocol : {SCARD_PROTOCOL_T0, SCARD_PROTOCOL_T1, SCARD_PROTOCOL_ANY}) {
    EXPECT_EQ(IFDHSetProtocolParameters(0, protocol, 0, 0, 0, 0), IFD_NOT_SUPPORTED) << protocol;
  }
  EXPECT_EQ(ttycard::pcsc::NegotiatedProtocol(), 0u);
}

using Wait = RESPONSECODE (*)(DWORD, int);
using Stop = RESPONSECODE (*)(DWORD);

template <typename F>
F Function(DWORD tag) {
  F f = nullptr;
  DWORD length = sizeof f;
  EXPECT_EQ(IFDHGetCapabilities(0, tag, &length, reinterpret_cast<PUCHAR>(&f)), IFD_SUCCESS);
  return f;
}

std::chrono::milliseconds Timed(Wait wait, int timeout_ms) {
  const auto start = Clock::now();
  EXPECT_EQ(wait(0, timeout_ms), IFD_SUCCESS);
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

TEST(CardEventWait, LastsThePollIntervalOrTheShorterTimeout) {
  const Wait wait = Function<Wait>(TAG_IFD_POLLING_THREAD_WITH_TIMEOUT);
  ASSERT_NE(wait, nullptr);
  const auto full = Timed(wait, 10 * 60 * 1000);  // pcscd's "no hurry" timeout
  EXPECT_GE(full, kPollInterval - 10ms);
  EXPECT_LT(full, kPollInterval + 300ms);
  const auto short_wait = Timed(wait, 100);
  EXPECT_GE(short_wait, 90ms);
  EXPECT_LT(short_wait, 400ms);
  const auto zero = Timed(wait, 0);  // would spin pcscd's thread: the interval instead
  EXPECT_GE(zero, kPollInterval - 10ms);
}

TEST(CardEventWait, StopEndsTheWaitUnderWayAndOnlyThatOne) {
  const Wait wait = Function<Wait>(TAG_IFD_POLLING_THREAD_WITH_TIMEOUT);
  const Stop stop = Function<Stop>(TAG_IFD_STOP_POLLING_THREAD);
  ASSERT_TRUE(wait != nullptr && stop != nullptr);

  std::thread stopper([&] {
    std::this_thread::sleep_for(100ms);
    stop(0);
  });
  const auto stopped = Timed(wait, 10 * 60 * 1000);
  stopper.join();
  EXPECT_LT(stopped, 500ms);

  // pcscd also stops the wait at every disconnect: the next one waits again.
  EXPECT_GE(Timed(wait, 300), 250ms);
}

TEST(CardEventWait, StopBeforeTheWaitEndsTheNextOne) {
  // pcscd asks to stop and then joins its thread, which may be busy with a
  // presence query at that moment.
  const Wait wait = Function<Wait>(TAG_IFD_POLLING_THREAD_WITH_TIMEOUT);
  const Stop stop = Function<Stop>(TAG_IFD_STOP_POLLING_THREAD);
  ASSERT_TRUE(wait != nullptr && stop != nullptr);
  EXPECT_EQ(stop(0), IFD_SUCCESS);
  EXPECT_LT(Timed(wait, 10 * 60 * 1000), 100ms);
  EXPECT_GE(Timed(wait, 300), 250ms);
}

}  // namespace
