// The adapter's answers that need no reader: every entry point on a Lun
// without an open channel, channels that cannot be opened, allocations that
// fail, and the trace levels of TTYCARD_LOG.
#include "adapter.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "log.h"
#include "pcsclite_api.h"

// Allocations that fail on demand: once `g_let_through` more have succeeded,
// every operator new throws std::bad_alloc until it is set to -1.
std::atomic<int> g_let_through{-1};
std::atomic<int> g_refused{0};

void* operator new(std::size_t size) {
  if (g_let_through == 0) {
    ++g_refused;
    throw std::bad_alloc();
  }
  if (g_let_through > 0) --g_let_through;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// (Not inlined: the compiler would take free() of what operator new
// returned for a mismatch.)
[[gnu::noinline]] void operator delete(void* p) noexcept {
  std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

namespace {

// One call into the library on `lun`: its result, and whatever length it
// handed back (which must be 0 after a refusal).
struct Call {
  const char* name;
  std::function<RESPONSECODE(DWORD lun, DWORD* length_back)> run;
};

const std::vector<Call>& Calls() {
  static const std::vector<Call> calls = {
      {"GetCapabilities slots",
       [](DWORD lun, DWORD* back) {
         UCHAR v[8] = {};
         DWORD n = sizeof v;
         const RESPONSECODE rc = IFDHGetCapabilities(lun, TAG_IFD_SLOTS_NUMBER, &n, v);
         *back = rc == IFD_SUCCESS ? n : 0;
         return rc;
       }},
      {"GetCapabilities polling wait",
       [](DWORD lun, DWORD* back) {
         UCHAR v[8] = {};
         DWORD n = sizeof v;
         const RESPONSECODE rc =
             IFDHGetCapabilities(lun, TAG_IFD_POLLING_THREAD_WITH_TIMEOUT, &n, v);
         *back = rc == IFD_SUCCESS ? n : 0;
         return rc;
       }},
      {"SetCapabilities",
       [](DWORD lun, DWORD* back) {
         *back = 0;
         UCHAR v = 1;
         return IFDHSetCapabilities(lun, TAG_IFD_SLOTS_NUMBER, 1, &v);
       }},
      {"SetProtocolParameters",
       [](DWORD lun, DWORD* back) {
         *back = 0;
         return IFDHSetProtocolParameters(lun, SCARD_PROTOCOL_T1, 0, 0, 0, 0);
       }},
      {"PowerICC up",
       [](DWORD lun, DWORD* back) {
         UCHAR atr[MAX_ATR_SIZE];
         *back = MAX_ATR_SIZE;
         return IFDHPowerICC(lun, IFD_POWER_UP, atr, back);
       }},
      {"PowerICC down",
       [](DWORD lun, DWORD* back) {
         UCHAR atr[MAX_ATR_SIZE];
         *back = MAX_ATR_SIZE;
         return IFDHPowerICC(lun, IFD_POWER_DOWN, atr, back);
       }},
      {"TransmitToICC T=1",
       [](DWORD lun, DWORD* back) {
         UCHAR tx[5] = {0x00, 0xB0, 0x00, 0x00, 0x02};
         UCHAR rx[16];
         *back = sizeof rx;
         return IFDHTransmitToICC(lun, SCARD_IO_HEADER{1, 0}, tx, sizeof tx, rx, back, nullptr);
       }},
      {"TransmitToICC T=0",
       [](DWORD lun, DWORD* back) {
         UCHAR tx[5] = {0x00, 0xB0, 0x00, 0x00, 0x02};
         UCHAR rx[16];
         *back = sizeof rx;
         return IFDHTransmitToICC(lun, SCARD_IO_HEADER{0, 0}, tx, sizeof tx, rx, back, nullptr);
       }},
      {"ICCPresence",
       [](DWORD lun, DWORD* back) {
         *back = 0;
         return IFDHICCPresence(lun);
       }},
      {"Control feature request",
       [](DWORD lun, DWORD* back) {
         UCHAR rx[64];
         *back = 77;
         return IFDHControl(lun, CM_IOCTL_GET_FEATURE_REQUEST, nullptr, 0, rx, sizeof rx, back);
       }},
      {"CloseChannel",
       [](DWORD lun, DWORD* back) {
         *back = 0;
         return IFDHCloseChannel(lun);
       }},
  };
  return calls;
}

struct LunCase {
  const char* name;
  DWORD lun;
};

class WithoutChannel : public testing::TestWithParam<LunCase> {};

// pcscd only calls a Lun it opened; anything else is a host bug that must
// not reach a reader or hand back stale lengths.
TEST_P(WithoutChannel, EveryEntryPointIsACommunicationError) {
  for (const Call& call : Calls()) {
    DWORD back = 0;
    EXPECT_EQ(call.run(GetParam().lun, &back), IFD_COMMUNICATION_ERROR) << call.name;
    EXPECT_EQ(back, 0u) << call.name << ": length handed back";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Luns, WithoutChannel,
    testing::Values(LunCase{"Reader0", 0x00000000}, LunCase{"Reader2", 0x00020000},
                    LunCase{"Reader15", 0x000F0000}, LunCase{"Reader0Slot1", 0x00000001},
                    LunCase{"Reader3SlotFFFF", 0x0003FFFF}, LunCase{"Reader16", 0x00100000},
                    LunCase{"AllOnes", 0xFFFFFFFF}),
    [](const testing::TestParamInfo<LunCase>& info) { return std::string(info.param.name); });

TEST(WithoutChannel, CapabilitiesNeedALength) {
  UCHAR value = 0;
  EXPECT_EQ(IFDHGetCapabilities(0, TAG_IFD_SLOTS_NUMBER, nullptr, &value), IFD_COMMUNICATION_ERROR);
  UCHAR tx[5] = {0x00, 0xB0, 0x00, 0x00, 0x02};
  UCHAR rx[8];
  EXPECT_EQ(IFDHTransmitToICC(0, SCARD_IO_HEADER{1, 0}, tx, sizeof tx, rx, nullptr, nullptr),
            IFD_COMMUNICATION_ERROR);
}

// Channels that cannot be opened are refused, and the Lun stays closed.
TEST(OpenChannel, RefusedWithoutOpeningTheLun) {
  char regular[] = "/tmp/ttycard-not-a-tty-XXXXXX";
  const int fd = mkstemp(regular);
  ASSERT_GE(fd, 0);
  close(fd);
  struct {
    const char* what;
    DWORD lun;
    const char* device;
    RESPONSECODE result;
  } const by_name[] = {
      {"no name", 0, nullptr, IFD_COMMUNICATION_ERROR},
      {"empty name", 0, "", IFD_COMMUNICATION_ERROR},
      {"no such device", 0, "/nonexistent/ttyS0", IFD_COMMUNICATION_ERROR},
      {"not a terminal", 0, regular, IFD_COMMUNICATION_ERROR},
      {"slot 1", 0x00000001, "/nonexistent/ttyS0", IFD_COMMUNICATION_ERROR},
      {"reader index 16", 0x00100000, "/nonexistent/ttyS0", IFD_COMMUNICATION_ERROR},
  };
  for (const auto& c : by_name) {
    std::string name = c.device == nullptr ? "" : c.device;
    EXPECT_EQ(IFDHCreateChannelByName(c.lun, c.device == nullptr ? nullptr : name.data()), c.result)
        << c.what;
    EXPECT_EQ(IFDHICCPresence(c.lun), IFD_COMMUNICATION_ERROR) << c.what << ": Lun left open";
  }
  unlink(regular);

  // Version 1.0 channel numbers: only serial ports at the four standard
  // addresses; nothing else is looked for (none of these may open a port).
  for (const DWORD channel :
       {0x000203F8ul, 0x000103F9ul, 0x00010000ul, 0x00000000ul, 0x000303F8ul}) {
    EXPECT_EQ(IFDHCreateChannel(0, channel), IFD_NOT_SUPPORTED) << std::hex << channel;
    EXPECT_EQ(IFDHICCPresence(0), IFD_COMMUNICATION_ERROR);
  }
}

// No exception leaves an entry point (pcscd would end, and every reader in
// it): an allocation that fails while a channel is being opened is a
// communication error, and the Lun stays closed.
TEST(OpenChannel, AnAllocationThatFailsIsACommunicationError) {
  const struct {
    const char* what;
    DWORD lun;
    int let_through;
  } cases[] = {
      {"the reader's record", 0x00000000, 0},
      {"its device name", 0x00000000, 1},
      {"reader 5", 0x00050000, 0},
  };
  for (const auto& c : cases) {
    std::string name = "/nonexistent/a-name-longer-than-any-short-string/ttyS0";
    g_refused = 0;
    g_let_through = c.let_through;
    const RESPONSECODE result = IFDHCreateChannelByName(c.lun, name.data());
    g_let_through = -1;
    EXPECT_EQ(result, IFD_COMMUNICATION_ERROR) << c.what;
    EXPECT_GT(g_refused.load(), 0) << c.what << ": no allocation failed";
    EXPECT_EQ(IFDHICCPresence(c.lun), IFD_COMMUNICATION_ERROR) << c.what << ": Lun left open";
  }
}

struct LevelsCase {
  const char* name;
  const char* text;
  unsigned levels;
};

class TraceLevels : public testing::TestWithParam<LevelsCase> {};

TEST_P(TraceLevels, ParsedFromTheEnvironmentValue) {
  EXPECT_EQ(ttycard::pcsc::ParseTraceLevels(GetParam().text), GetParam().levels)
      << (GetParam().text == nullptr ? "(unset)" : GetParam().text);
}

using namespace ttycard::pcsc;
constexpr unsigned kAll = kTraceErrors | kTraceCommands | kTraceFrames | kTraceApdu;

INSTANTIATE_TEST_SUITE_P(
    Table, TraceLevels,
    testing::Values(
        LevelsCase{"Unset", nullptr, kTraceErrors}, LevelsCase{"Empty", "", kTraceErrors},
        LevelsCase{"Errors", "errors", kTraceErrors},
        LevelsCase{"Commands", "commands", kTraceErrors | kTraceCommands},
        LevelsCase{"Frames", "frames", kTraceErrors | kTraceFrames},
        LevelsCase{"Apdu", "apdu", kTraceErrors | kTraceApdu}, LevelsCase{"All", "all", kAll},
        LevelsCase{"TwoWithComma", "commands,apdu", kTraceErrors | kTraceCommands | kTraceApdu},
        LevelsCase{"TwoWithSpace", "frames apdu", kTraceErrors | kTraceFrames | kTraceApdu},
        LevelsCase{"TrailingComma", "frames,", kTraceErrors | kTraceFrames},
        LevelsCase{"EmptyWords", ",,frames,,", kTraceErrors | kTraceFrames},
        LevelsCase{"UnknownWordIgnored", "bogus,frames", kTraceErrors | kTraceFrames},
        LevelsCase{"OnlyUnknown", "verbose", kTraceErrors},
        LevelsCase{"NoPrefixMatch", "frame,command", kTraceErrors},
        LevelsCase{"CaseMatters", "FRAMES", kTraceErrors},
        LevelsCase{"AllWithOthers", "errors,all,frames", kAll}),
    [](const testing::TestParamInfo<LevelsCase>& info) { return std::string(info.param.name); });

}  // namespace
