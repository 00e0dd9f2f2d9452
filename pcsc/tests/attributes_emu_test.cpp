// What a PC/SC client reads of a reader through pcscd: attributes (value,
// encoding, short buffers), the feature request and the reader's TLV
// properties, and the card-event wait, on reader index 1 of the library
// with the reader emulator behind it. Opening a reader takes 3.4 s, so all
// cases share one opened channel.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "adapter.h"
#include "emulator.h"
#include "pcsclite_api.h"
#include "port_binding.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using ttycard::emu::Bytes;
using ttycard::emu::Emulator;

constexpr DWORD kLun = 0x00010000;  // reader index 1, slot 0

const Bytes kT1Atr(ttycard::emu::kDefaultT1Atr.begin(), ttycard::emu::kDefaultT1Atr.end());
const Bytes kT0Atr(ttycard::emu::kDefaultT0Atr.begin(), ttycard::emu::kDefaultT0Atr.end());

Bytes Dword(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
          static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}
Bytes Text(const std::string& s) {
  Bytes b(s.begin(), s.end());
  b.push_back(0);
  return b;
}

class Attributes : public testing::Test {
 protected:
  // Opened by port address (IFDHCreateChannel 0x000103F8, /dev/ttyS0) when
  // the emulator's terminal can be bound over /dev/ttyS0 in a private mount
  // namespace of this process (root); by its path otherwise.
  static void SetUpTestSuite() {
    const bool private_ns = PrivateMounts();  // before the emulator's thread
    emu_ = new Emulator();
    ASSERT_TRUE(emu_->Start());
    path_ = emu_->SlavePath();
    if (private_ns && BindOver(path_, "/dev/ttyS0")) {
      path_ = "/dev/ttyS0";
      channel_ = 0x000103F8;
      opened_ = IFDHCreateChannel(kLun, channel_) == IFD_SUCCESS;
    } else {
      std::printf("# opened by path: no private mount namespace for /dev/ttyS0\n");
      opened_ = IFDHCreateChannelByName(kLun, path_.data()) == IFD_SUCCESS;
    }
  }
  static void TearDownTestSuite() {
    IFDHCloseChannel(kLun);
    delete emu_;
    emu_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(opened_);
    emu_->SetCardPresent(true);
    emu_->SetAtr(kT1Atr);
  }

  static RESPONSECODE Get(DWORD tag, DWORD capacity, Bytes* value) {
    std::vector<UCHAR> buffer(capacity + 8, 0xEE);
    DWORD length = capacity;
    const RESPONSECODE rc = IFDHGetCapabilities(kLun, tag, &length, buffer.data());
    if (rc == IFD_SUCCESS) {
      EXPECT_EQ(buffer[length], 0xEE) << "written past the length it returned";
      value->assign(buffer.begin(), buffer.begin() + length);
    } else {
      EXPECT_EQ(buffer[0], 0xEE) << "written on failure";
      value->assign(length, 0);  // the length it asks for
    }
    return rc;
  }

  // Checks one attribute's value, and that one byte less is refused with
  // the length needed.
  static void ExpectAttribute(DWORD tag, const Bytes& expected) {
    SCOPED_TRACE(testing::Message() << "tag 0x" << std::hex << tag);
    Bytes value;
    ASSERT_EQ(Get(tag, 300, &value), IFD_SUCCESS);
    EXPECT_EQ(value, expected);
    ASSERT_EQ(Get(tag, static_cast<DWORD>(expected.size()), &value), IFD_SUCCESS);
    EXPECT_EQ(value, expected);
    if (!expected.empty()) {
      EXPECT_EQ(Get(tag, static_cast<DWORD>(expected.size() - 1), &value),
                IFD_ERROR_INSUFFICIENT_BUFFER);
      EXPECT_EQ(value.size(), expected.size()) << "length asked for";
    }
  }

  static Bytes PowerUp(const Bytes& atr) {
    emu_->SetAtr(atr);
    UCHAR out[MAX_ATR_SIZE];
    DWORD length = sizeof out;
    EXPECT_EQ(IFDHPowerICC(kLun, IFD_POWER_UP, out, &length), IFD_SUCCESS);
    return Bytes(out, out + length);
  }

  static RESPONSECODE Control(DWORD code, DWORD capacity, Bytes* out) {
    std::vector<UCHAR> rx(capacity + 1, 0xEE);
    DWORD returned = 12345;
    const RESPONSECODE rc =
        IFDHControl(kLun, code, nullptr, 0, capacity ? rx.data() : nullptr, capacity, &returned);
    if (rc != IFD_SUCCESS) {
      EXPECT_EQ(returned, 0u) << "bytes returned on failure";
      EXPECT_EQ(rx[0], 0xEE) << "written on failure";
    }
    out->assign(rx.begin(), rx.begin() + std::min<DWORD>(returned, capacity));
    return rc;
  }

  static Emulator* emu_;
  static std::string path_;  // the device name the reader reports
  static DWORD channel_;     // 0x0001PPPP when opened by port address
  static bool opened_;
};
Emulator* Attributes::emu_ = nullptr;
std::string Attributes::path_;
DWORD Attributes::channel_ = 0x00010000;
bool Attributes::opened_ = false;

TEST_F(Attributes, OfTheReaderWhateverTheCard) {
  PowerUp(kT1Atr);
  const struct {
    DWORD tag;
    Bytes value;
  } cases[] = {
      {SCARD_ATTR_VENDOR_NAME, Text("ttycard")},
      {SCARD_ATTR_VENDOR_IFD_TYPE, Text("ttycard serial smart-card reader")},
      {SCARD_ATTR_VENDOR_IFD_VERSION, Dword(0x01010000)},
      {SCARD_ATTR_VENDOR_IFD_SERIAL_NO, Text(path_)},
      // A pseudo-terminal has no I/O port the kernel knows: the address the
      // channel was opened by, or none.
      {SCARD_ATTR_CHANNEL_ID, Dword(channel_)},
      {SCARD_ATTR_MAX_IFSD, Dword(254)},
      {TAG_IFD_SLOTS_NUMBER, {1}},
      {TAG_IFD_SIMULTANEOUS_ACCESS, {16}},
      {TAG_IFD_THREAD_SAFE, {1}},
      {TAG_IFD_SLOT_THREAD_SAFE, {0}},
      {SCARD_ATTR_ATR_STRING, kT1Atr},
      {TAG_IFD_ATR, kT1Atr},
  };
  for (const auto& c : cases) ExpectAttribute(c.tag, c.value);

  Bytes value;
  for (const DWORD tag :
       {DWORD{TAG_IFD_POLLING_THREAD_KILLABLE}, DWORD{SCARD_ATTR_POWER_MGMT_SUPPORT},
        DWORD{SCARD_ATTR_VENDOR_IFD_VERSION + 0x10}, DWORD{0xFFFFFFFF}}) {
    EXPECT_EQ(Get(tag, 64, &value), IFD_ERROR_TAG) << std::hex << tag;
  }
  // Nothing of the reader is writable.
  UCHAR byte = 1;
  EXPECT_EQ(IFDHSetCapabilities(kLun, TAG_IFD_ATR, 1, &byte), IFD_ERROR_VALUE_READ_ONLY);
  EXPECT_EQ(IFDHSetCapabilities(kLun, SCARD_ATTR_VENDOR_NAME, 1, &byte), IFD_ERROR_TAG);
}

// An ATR buffer that cannot take the ATR: the call fails with nothing
// handed back, and the card is not left powered behind the host's back.
TEST_F(Attributes, PowerUpIntoAShortAtrBufferFails) {
  const struct {
    const char* what;
    bool buffer;
    DWORD room;
    RESPONSECODE result;
  } cases[] = {
      {"MAX_ATR_SIZE", true, MAX_ATR_SIZE, IFD_SUCCESS},
      {"exactly the ATR", true, 11, IFD_SUCCESS},
      {"one byte short", true, 10, IFD_ERROR_INSUFFICIENT_BUFFER},
      {"no room", true, 0, IFD_ERROR_INSUFFICIENT_BUFFER},
      {"no buffer", false, MAX_ATR_SIZE, IFD_ERROR_INSUFFICIENT_BUFFER},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    UCHAR atr[MAX_ATR_SIZE + 1];
    std::memset(atr, 0xEE, sizeof atr);
    DWORD length = c.room;
    EXPECT_EQ(IFDHPowerICC(kLun, IFD_RESET, c.buffer ? atr : nullptr, &length), c.result);
    const bool ok = c.result == IFD_SUCCESS;
    EXPECT_EQ(length, ok ? kT1Atr.size() : 0u);
    EXPECT_EQ(atr[ok ? kT1Atr.size() : 0], 0xEE);
    EXPECT_EQ(emu_->CardPowered(), ok);
    ExpectAttribute(SCARD_ATTR_ICC_INTERFACE_STATUS, {ok ? UCHAR{1} : UCHAR{0}});
  }
}

// A card pulled out while powered, once the presence query (pcscd's event
// thread) has seen it go: no contacts are powered, there is no ATR and
// nothing is agreed any more, as after a power-down.
TEST_F(Attributes, APulledCardIsForgottenOncePresenceSeesItGo) {
  ASSERT_EQ(PowerUp(kT1Atr), kT1Atr);
  ASSERT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);
  emu_->SetCardPresent(false);
  ASSERT_EQ(IFDHICCPresence(kLun), IFD_ICC_NOT_PRESENT);
  ExpectAttribute(SCARD_ATTR_ICC_INTERFACE_STATUS, {0});
  ExpectAttribute(SCARD_ATTR_ATR_STRING, {});
  ExpectAttribute(SCARD_ATTR_CURRENT_PROTOCOL_TYPE, Dword(0));
  ExpectAttribute(SCARD_ATTR_CURRENT_IFSC, Dword(0));
  ExpectAttribute(SCARD_ATTR_CURRENT_IFSD, Dword(0));
}

// The card's clock (TA1's fmax) and the rate it works at: F = 372, D = 1
// since the reader cannot send a PPS, unless TA2 puts the card in the
// specific mode of TA1.
TEST_F(Attributes, ClockAndDataRateFromTheAtr) {
  const struct {
    const char* what;
    Bytes atr;
    std::uint32_t khz, bps;
  } cases[] = {
      {"no TA1", kT1Atr, 5000, 13440},
      {"TA1 11", {0x3B, 0x10, 0x11}, 5000, 13440},
      {"TA1 01: 4 MHz", {0x3B, 0x10, 0x01}, 4000, 10752},
      {"TA1 61: 20 MHz", {0x3B, 0x10, 0x61}, 20000, 53763},
      {"TA1 A1: 7.5 MHz", {0x3B, 0x10, 0xA1}, 7500, 20161},
      {"TA1 96 offered, not used", {0x3B, 0x10, 0x96}, 5000, 13440},
      {"TA2 specific mode, Fi 512 Di 16", {0x3B, 0x90, 0x95, 0x10, 0x00}, 5000, 156250},
      {"TA2 specific mode, Fi 372 Di 4", {0x3B, 0x90, 0x13, 0x10, 0x00}, 5000, 53763},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(PowerUp(c.atr), c.atr);
    ExpectAttribute(SCARD_ATTR_DEFAULT_CLK, Dword(c.khz));
    ExpectAttribute(SCARD_ATTR_DEFAULT_DATA_RATE, Dword(c.bps));
  }
}

constexpr DWORD kTlvProperties = 0x42330012;

Bytes Properties(std::uint32_t max_apdu) {
  Bytes b = {0x01, 0x02, 0x00, 0x00,  // wLcdLayout: no display
             0x09, 0x01, 0x00};       // bPPDUSupport: none
  const Bytes size = Dword(max_apdu);
  b.insert(b.end(), {0x0A, 0x04});
  b.insert(b.end(), size.begin(), size.end());
  const std::string firmware = "ttycard 1.1.0";
  b.insert(b.end(), {0x08, static_cast<UCHAR>(firmware.size())});
  b.insert(b.end(), firmware.begin(), firmware.end());
  return b;
}

// The properties per protocol the card runs: FollowTheProtocolTheCardRuns.
TEST_F(Attributes, FeatureRequestAndTlvProperties) {
  PowerUp(kT1Atr);
  const Bytes feature = {0x12, 0x04, 0x42, 0x33, 0x00, 0x12};
  const struct {
    const char* what;
    DWORD code;
    DWORD capacity;
    RESPONSECODE result;
    Bytes out;
  } cases[] = {
      {"feature list", CM_IOCTL_GET_FEATURE_REQUEST, 64, IFD_SUCCESS, feature},
      {"feature list, exact room", CM_IOCTL_GET_FEATURE_REQUEST, 6, IFD_SUCCESS, feature},
      {"feature list, short", CM_IOCTL_GET_FEATURE_REQUEST, 5, IFD_ERROR_INSUFFICIENT_BUFFER, {}},
      {"feature list, no buffer",
       CM_IOCTL_GET_FEATURE_REQUEST,
       0,
       IFD_ERROR_INSUFFICIENT_BUFFER,
       {}},
      {"properties, T=1", kTlvProperties, 64, IFD_SUCCESS, Properties(65535)},
      {"properties, short", kTlvProperties, 27, IFD_ERROR_INSUFFICIENT_BUFFER, {}},
      {"escape", 0x42000C00, 64, IFD_ERROR_NOT_SUPPORTED, {}},
      {"verify PIN direct", 0x42330006, 64, IFD_ERROR_NOT_SUPPORTED, {}},
      {"feature request + 1", CM_IOCTL_GET_FEATURE_REQUEST + 1, 64, IFD_ERROR_NOT_SUPPORTED, {}},
      {"zero", 0, 64, IFD_ERROR_NOT_SUPPORTED, {}},
      {"all ones", 0xFFFFFFFF, 64, IFD_ERROR_NOT_SUPPORTED, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::size_t frames = emu_->FrameCount();
    Bytes out;
    EXPECT_EQ(Control(c.code, c.capacity, &out), c.result);
    EXPECT_EQ(out, c.out);
    EXPECT_EQ(emu_->FrameCount(), frames) << "a control code reached the reader";
  }
}

// Every shape of ATR against every protocol a host asks for. The reader
// cannot send a PPS, so the card runs one protocol from its ATR on: TA2's in
// specific mode, else the one TD1 names. Only that one is agreed and
// transmitted in, and the attributes and properties follow it; a card that
// runs neither T=0 nor T=1 gets neither.
TEST_F(Attributes, FollowTheProtocolTheCardRuns) {
  constexpr DWORD kT0 = SCARD_PROTOCOL_T0, kT1 = SCARD_PROTOCOL_T1;
  const struct {
    const char* what;
    Bytes atr;  // empty: powered down
    bool present;
    DWORD runs;
  } cards[] = {
      {"T=0 only", kT0Atr, true, kT0},
      {"T=1 only", kT1Atr, true, kT1},
      {"no card: the reset brings no ATR", {}, false, 0},
      {"T=0 first, T=1 too", {0x3B, 0x80, 0x80, 0x01, 0x01}, true, kT0},
      {"T=1 first, T=0 too", {0x3B, 0x80, 0x81, 0x00, 0x01}, true, kT1},
      {"specific mode T=1, TD1 T=0", {0x3B, 0x80, 0x90, 0x01, 0x01, 0x10}, true, kT1},
      {"specific mode T=0, TD1 T=1", {0x3B, 0x80, 0x91, 0x00, 0x00, 0x11}, true, kT0},
      {"specific mode T=2", {0x3B, 0x80, 0x10, 0x02}, true, 0},
      {"TD1 names T=15", {0x3B, 0x80, 0x0F, 0x8F}, true, 0},
      {"powered down", {}, true, 0},
  };
  for (const auto& c : cards) {
    SCOPED_TRACE(c.what);
    emu_->SetCardPresent(c.present);
    if (!c.atr.empty()) {
      ASSERT_EQ(PowerUp(c.atr), c.atr);
    } else {
      UCHAR atr[MAX_ATR_SIZE];
      DWORD length = sizeof atr;
      ASSERT_EQ(IFDHPowerICC(kLun, c.present ? IFD_POWER_DOWN : IFD_RESET, atr, &length),
                c.present ? IFD_SUCCESS : IFD_ERROR_POWER_ACTION);
    }
    for (const DWORD asked : {kT0, kT1, kT0 | kT1}) {
      EXPECT_EQ(IFDHSetProtocolParameters(kLun, asked, 0, 0, 0, 0),
                (asked & c.runs) != 0 ? IFD_SUCCESS : IFD_PROTOCOL_NOT_SUPPORTED)
          << "asked " << asked;
    }
    for (const DWORD protocol : {0u, 1u}) {
      const bool runs = c.runs == (protocol == 1 ? kT1 : kT0);
      const std::size_t frames = emu_->FrameCount();
      UCHAR tx[] = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x2F, 0x01};
      UCHAR rx[4];
      DWORD n = sizeof rx;
      EXPECT_EQ(
          IFDHTransmitToICC(kLun, SCARD_IO_HEADER{protocol, 0}, tx, sizeof tx, rx, &n, nullptr),
          runs            ? IFD_SUCCESS
          : c.atr.empty() ? IFD_COMMUNICATION_ERROR
                          : IFD_PROTOCOL_NOT_SUPPORTED)
          << "T=" << protocol;
      EXPECT_EQ(emu_->FrameCount() > frames, runs) << "T=" << protocol;
    }
    EXPECT_EQ(IFDHICCPresence(kLun), c.present ? IFD_ICC_PRESENT : IFD_ICC_NOT_PRESENT);
    const bool t1 = c.runs == kT1;
    ExpectAttribute(SCARD_ATTR_CURRENT_PROTOCOL_TYPE, Dword(c.runs));
    ExpectAttribute(SCARD_ATTR_MAXINPUT, Dword(t1 ? 65544 : 254));
    ExpectAttribute(SCARD_ATTR_CURRENT_IFSC, Dword(t1 ? 32 : 0));
    ExpectAttribute(SCARD_ATTR_CURRENT_IFSD, Dword(t1 ? 254 : 0));  // announced with the APDU
    ExpectAttribute(SCARD_ATTR_ICC_INTERFACE_STATUS, {c.atr.empty() ? UCHAR{0} : UCHAR{1}});
    ExpectAttribute(SCARD_ATTR_ICC_PRESENCE, {c.present ? UCHAR{2} : UCHAR{0}});
    ExpectAttribute(SCARD_ATTR_ATR_STRING, c.atr);
    Bytes properties;
    EXPECT_EQ(Control(kTlvProperties, 64, &properties), IFD_SUCCESS);
    EXPECT_EQ(properties, Properties(c.runs == kT0 ? 249 : 65535));
  }
}

TEST_F(Attributes, OtherSlotsOfAnOpenReaderAreRefused) {
  const std::size_t frames = emu_->FrameCount();
  for (const DWORD lun : {kLun | 1, kLun | 0xFFFF}) {
    EXPECT_EQ(IFDHICCPresence(lun), IFD_COMMUNICATION_ERROR) << std::hex << lun;
    EXPECT_EQ(IFDHCreateChannelByName(lun, path_.data()), IFD_COMMUNICATION_ERROR);
  }
  // A second open of the same Lun, even on another device, is refused.
  EXPECT_EQ(IFDHCreateChannelByName(kLun, const_cast<LPSTR>("/nonexistent/tty")),
            IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(emu_->FrameCount(), frames);
  EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
}

using Wait = RESPONSECODE (*)(DWORD, int);
using Stop = RESPONSECODE (*)(DWORD);

template <typename F>
F Function(DWORD tag) {
  F f = nullptr;
  DWORD length = sizeof f;
  EXPECT_EQ(IFDHGetCapabilities(kLun, tag, &length, reinterpret_cast<PUCHAR>(&f)), IFD_SUCCESS);
  EXPECT_EQ(length, sizeof f);
  return f;
}

std::chrono::milliseconds Timed(Wait wait, int timeout_ms) {
  const auto start = Clock::now();
  EXPECT_EQ(wait(kLun, timeout_ms), IFD_SUCCESS);
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

// The wait only sleeps: the reader sees nothing of it.
TEST_F(Attributes, CardEventWaitLastsThePollIntervalOrTheShorterTimeout) {
  const Wait wait = Function<Wait>(TAG_IFD_POLLING_THREAD_WITH_TIMEOUT);
  ASSERT_NE(wait, nullptr);
  const std::size_t frames = emu_->FrameCount();
  const auto full = Timed(wait, 10 * 60 * 1000);  // pcscd's "no hurry" timeout
  EXPECT_GE(full, ttycard::pcsc::kPollInterval - 10ms);
  EXPECT_LT(full, ttycard::pcsc::kPollInterval + 300ms);
  const auto short_wait = Timed(wait, 100);
  EXPECT_GE(short_wait, 90ms);
  EXPECT_LT(short_wait, 400ms);
  EXPECT_GE(Timed(wait, 0), ttycard::pcsc::kPollInterval - 10ms) << "would spin pcscd";
  EXPECT_EQ(emu_->FrameCount(), frames);
}

TEST_F(Attributes, CardEventWaitEndsOnStopForItsOwnReaderOnly) {
  const Wait wait = Function<Wait>(TAG_IFD_POLLING_THREAD_WITH_TIMEOUT);
  const Stop stop = Function<Stop>(TAG_IFD_STOP_POLLING_THREAD);
  ASSERT_TRUE(wait != nullptr && stop != nullptr);

  // Stopping another reader's wait leaves this one alone.
  std::thread other([&] {
    std::this_thread::sleep_for(50ms);
    stop(0x00020000);
  });
  EXPECT_GE(Timed(wait, 300), 250ms);
  other.join();

  std::thread stopper([&] {
    std::this_thread::sleep_for(100ms);
    stop(kLun);
  });
  EXPECT_LT(Timed(wait, 10 * 60 * 1000), 500ms);
  stopper.join();
  // pcscd also stops the wait at every disconnect: the next one waits again.
  EXPECT_GE(Timed(wait, 300), 250ms);

  // A stop while no wait is under way (pcscd stops, then joins a thread busy
  // with a presence query) ends the next one at once.
  EXPECT_EQ(stop(kLun), IFD_SUCCESS);
  EXPECT_LT(Timed(wait, 10 * 60 * 1000), 100ms);
  EXPECT_GE(Timed(wait, 300), 250ms);
}

}  // namespace
