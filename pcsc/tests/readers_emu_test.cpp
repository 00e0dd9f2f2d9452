// Several readers in one library, as pcscd drives them: two readers on two
// emulators at once (own ATR, own protocol, exchanges from two threads), a
// device that is already in use, and a reader whose device goes away and
// comes back under the same name. The library's log goes to the log_msg of
// this binary (log_capture.cpp) with every trace level on; nothing may reach
// standard output or error.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "emulator.h"
#include "log_capture.h"
#include "pcsclite_api.h"
#include "stdio_capture.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using ttycard::emu::Bytes;
using ttycard::emu::CardApp;
using ttycard::emu::CardProtocol;
using ttycard::emu::Emulator;
using ttycard::emu::FaultSpec;

constexpr DWORD kLunT1 = 0x00000000;
constexpr DWORD kLunT0 = 0x00010000;
constexpr DWORD kLunSpare = 0x00020000;
constexpr DWORD kLunLinked = 0x00030000;

const Bytes kT1Atr(ttycard::emu::kDefaultT1Atr.begin(), ttycard::emu::kDefaultT1Atr.end());
const Bytes kT0Atr(ttycard::emu::kDefaultT0Atr.begin(), ttycard::emu::kDefaultT0Atr.end());

std::unique_ptr<Emulator> StartEmulator(CardProtocol protocol, Bytes atr = {}) {
  ttycard::emu::Options options;
  options.protocol = protocol;
  options.atr = std::move(atr);
  auto emu = std::make_unique<Emulator>(options);
  if (!emu->Start()) return nullptr;
  return emu;
}

Bytes PowerUp(DWORD lun, RESPONSECODE expected = IFD_SUCCESS) {
  UCHAR atr[MAX_ATR_SIZE];
  DWORD length = sizeof atr;
  EXPECT_EQ(IFDHPowerICC(lun, IFD_POWER_UP, atr, &length), expected) << std::hex << lun;
  return Bytes(atr, atr + length);
}

RESPONSECODE Transmit(DWORD lun, DWORD protocol, Bytes apdu, Bytes* response) {
  std::vector<UCHAR> rx(258);
  DWORD length = rx.size();
  const RESPONSECODE rc = IFDHTransmitToICC(lun, SCARD_IO_HEADER{protocol, 0}, apdu.data(),
                                            apdu.size(), rx.data(), &length, nullptr);
  response->assign(rx.begin(), rx.begin() + length);
  return rc;
}

// READ BINARY of `le` bytes of EF 2F00 at `offset`, checked against the file.
bool ReadChecked(DWORD lun, DWORD protocol, std::size_t offset, std::uint8_t le) {
  Bytes r;
  if (Transmit(lun, protocol,
               {0x00, 0xB0, static_cast<UCHAR>(offset >> 8), static_cast<UCHAR>(offset), le},
               &r) != IFD_SUCCESS) {
    return false;
  }
  Bytes expected;
  for (std::size_t i = 0; i < le; ++i) expected.push_back(CardApp::FileByte(0x2F00, offset + i));
  expected.insert(expected.end(), {0x90, 0x00});
  return r == expected;
}

class Readers : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    t1_ = StartEmulator(CardProtocol::kT1).release();
    t0_ = StartEmulator(CardProtocol::kT0, kT0Atr).release();
    if (t1_ == nullptr || t0_ == nullptr) return;
    StdioCapture capture;
    opened_ =
        IFDHCreateChannelByName(kLunT1, const_cast<LPSTR>(t1_->SlavePath().c_str())) ==
            IFD_SUCCESS &&
        IFDHCreateChannelByName(kLunT0, const_cast<LPSTR>(t0_->SlavePath().c_str())) == IFD_SUCCESS;
    opening_output_ = capture.Stop();
  }
  static void TearDownTestSuite() {
    IFDHCloseChannel(kLunT1);
    IFDHCloseChannel(kLunT0);
    delete t1_;
    delete t0_;
  }
  void SetUp() override {
    ASSERT_TRUE(opened_);
    EXPECT_EQ(opening_output_, "");
    // Selected by file id for the READ BINARY checks.
    ASSERT_EQ(PowerUp(kLunT1), kT1Atr);
    ASSERT_EQ(PowerUp(kLunT0), kT0Atr);
    ASSERT_EQ(IFDHSetProtocolParameters(kLunT1, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);
    ASSERT_EQ(IFDHSetProtocolParameters(kLunT0, SCARD_PROTOCOL_T0, 0, 0, 0, 0), IFD_SUCCESS);
    Bytes r;
    ASSERT_EQ(Transmit(kLunT1, 1, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x2F, 0x00}, &r), IFD_SUCCESS);
    ASSERT_EQ(r, (Bytes{0x90, 0x00}));
    ASSERT_EQ(Transmit(kLunT0, 0, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x2F, 0x00}, &r), IFD_SUCCESS);
    ASSERT_EQ(r, (Bytes{0x90, 0x00}));
    capture_ = std::make_unique<StdioCapture>();
  }
  void TearDown() override {
    const std::string written = capture_->Stop();
    if (!report_.empty()) std::printf("%s\n", report_.c_str());
    // A failing case's own reports land in the capture too: show them.
    if (HasFailure()) {
      std::fputs(written.c_str(), stdout);
    } else {
      EXPECT_EQ(written, "") << "the library wrote to standard output or error";
    }
  }

  static Emulator* t1_;
  static Emulator* t0_;
  static bool opened_;
  static std::string opening_output_;
  std::unique_ptr<StdioCapture> capture_;
  std::string report_;  // printed after the capture
};
Emulator* Readers::t1_ = nullptr;
Emulator* Readers::t0_ = nullptr;
bool Readers::opened_ = false;
std::string Readers::opening_output_;

DWORD Dword(DWORD lun, DWORD tag) {
  UCHAR v[4] = {};
  DWORD n = sizeof v;
  EXPECT_EQ(IFDHGetCapabilities(lun, tag, &n, v), IFD_SUCCESS);
  return v[0] | v[1] << 8 | v[2] << 16 | static_cast<DWORD>(v[3]) << 24;
}

TEST_F(Readers, EachKeepsItsOwnCardAndProtocol) {
  Bytes atr(MAX_ATR_SIZE);
  for (const auto& [lun, expected, protocol] : {std::tuple{kLunT1, &kT1Atr, SCARD_PROTOCOL_T1},
                                                std::tuple{kLunT0, &kT0Atr, SCARD_PROTOCOL_T0}}) {
    DWORD n = MAX_ATR_SIZE;
    ASSERT_EQ(IFDHGetCapabilities(lun, TAG_IFD_ATR, &n, atr.data()), IFD_SUCCESS);
    EXPECT_EQ(Bytes(atr.begin(), atr.begin() + n), *expected) << std::hex << lun;
    EXPECT_EQ(Dword(lun, SCARD_ATTR_CURRENT_PROTOCOL_TYPE), protocol) << std::hex << lun;
  }
  // Each agreed protocol holds for its own reader only.
  Bytes r;
  EXPECT_EQ(Transmit(kLunT1, 0, {0x00, 0x84, 0x00, 0x00, 0x08}, &r), IFD_PROTOCOL_NOT_SUPPORTED);
  EXPECT_EQ(Transmit(kLunT0, 1, {0x00, 0x84, 0x00, 0x00, 0x08}, &r), IFD_PROTOCOL_NOT_SUPPORTED);
  // Powering one card down leaves the other powered.
  DWORD n = 0;
  ASSERT_EQ(IFDHPowerICC(kLunT0, IFD_POWER_DOWN, nullptr, &n), IFD_SUCCESS);
  EXPECT_FALSE(t0_->CardPowered());
  EXPECT_TRUE(t1_->CardPowered());
  EXPECT_TRUE(ReadChecked(kLunT1, 1, 0, 64));
  EXPECT_TRUE(t1_->Violations().empty());
  EXPECT_TRUE(t0_->Violations().empty());
}

TEST_F(Readers, ExchangeFromTwoThreadsAtOnce) {
  std::atomic<int> bad_t1{0}, bad_t0{0}, t0_done{0};
  // A slow answer on the T=1 reader holds only that reader: the T=0 reader
  // keeps exchanging meanwhile.
  FaultSpec delay = FaultSpec::Of(ttycard::emu::Fault::kDelay).ForCommand(0xA1);
  delay.gap = 800ms;
  t1_->InjectFault(delay);
  // Nor does the card-event wait of the busy reader queue behind its line.
  using Wait = RESPONSECODE (*)(DWORD, int);
  Wait wait = nullptr;
  DWORD size = sizeof wait;
  ASSERT_EQ(IFDHGetCapabilities(kLunT1, TAG_IFD_POLLING_THREAD_WITH_TIMEOUT, &size,
                                reinterpret_cast<PUCHAR>(&wait)),
            IFD_SUCCESS);
  std::atomic<int> t0_during_delay{-1};
  std::thread t1_thread([&] {
    const int before = t0_done.load();
    if (!ReadChecked(kLunT1, 1, 0, 32)) ++bad_t1;  // the delayed one
    t0_during_delay = t0_done.load() - before;
    for (int i = 0; i < 150; ++i) {
      if (!ReadChecked(kLunT1, 1, (i * 37) % 250, static_cast<std::uint8_t>(1 + i % 50))) ++bad_t1;
    }
  });
  std::thread t0_thread([&] {
    for (int i = 0; i < 300; ++i) {
      if (!ReadChecked(kLunT0, 0, (i * 13) % 200, static_cast<std::uint8_t>(1 + i % 100))) ++bad_t0;
      ++t0_done;
    }
  });
  std::this_thread::sleep_for(200ms);  // the delayed exchange is under way
  const auto wait_start = Clock::now();
  EXPECT_EQ(wait(kLunT1, 100), IFD_SUCCESS);
  const auto waited = Clock::now() - wait_start;
  t1_thread.join();
  t0_thread.join();
  EXPECT_LT(waited, 400ms) << "the card-event wait queued behind the exchange";
  EXPECT_EQ(bad_t1, 0);
  EXPECT_EQ(bad_t0, 0);
  EXPECT_GE(t0_during_delay.load(), 5) << "the T=0 reader waited for the other one's answer";
  EXPECT_TRUE(t1_->Violations().empty());
  EXPECT_TRUE(t0_->Violations().empty());
}

// The largest APDUs each protocol carries, and what is refused before a
// byte reaches the reader.
TEST_F(Readers, ApduSizesPerProtocol) {
  const auto echo = [](std::size_t lc, bool extended) {
    Bytes apdu = {0x00, 0xEC, 0x00, 0x00};
    if (extended) {
      apdu.insert(apdu.end(), {0x00, static_cast<UCHAR>(lc >> 8), static_cast<UCHAR>(lc)});
    } else {
      apdu.push_back(static_cast<UCHAR>(lc));
    }
    for (std::size_t i = 0; i < lc; ++i) apdu.push_back(static_cast<UCHAR>(i * 3 + 1));
    if (extended) apdu.insert(apdu.end(), {0x00, 0x00});
    return apdu;
  };
  const struct {
    const char* what;
    DWORD lun, protocol;
    Bytes apdu;
    DWORD capacity;
    RESPONSECODE result;
    std::size_t answer;  // response length with SW1 SW2
    bool reaches_reader;
  } cases[] = {
      {"T=0, 254-byte command", kLunT0, 0, echo(249, false), 258, IFD_SUCCESS, 251, true},
      {"T=0, 255-byte command", kLunT0, 0, echo(250, false), 258, IFD_ERROR_NOT_SUPPORTED, 0,
       false},
      {"T=0, extended command", kLunT0, 0, echo(300, true), 258, IFD_ERROR_NOT_SUPPORTED, 0, false},
      {"T=0, READ BINARY Le 00",
       kLunT0,
       0,
       {0x00, 0xB0, 0x00, 0x00, 0x00},
       258,
       IFD_SUCCESS,
       258,
       true},
      {"T=1, short Lc 255", kLunT1, 1, echo(255, false), 258, IFD_SUCCESS, 257, true},
      {"T=1, extended 65535 each way", kLunT1, 1, echo(65535, true), 65538, IFD_SUCCESS, 65537,
       true},
      {"T=1, 65535 back, one byte short", kLunT1, 1, echo(65535, true), 65536,
       IFD_COMMUNICATION_ERROR, 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Emulator* emu = c.lun == kLunT1 ? t1_ : t0_;
    const std::size_t frames = emu->FrameCount();
    std::vector<UCHAR> rx(c.capacity);
    DWORD length = c.capacity;
    Bytes apdu = c.apdu;
    EXPECT_EQ(IFDHTransmitToICC(c.lun, SCARD_IO_HEADER{c.protocol, 0}, apdu.data(), apdu.size(),
                                rx.data(), &length, nullptr),
              c.result);
    EXPECT_EQ(length, c.answer);
    EXPECT_EQ(emu->FrameCount() > frames, c.reaches_reader);
    if (c.result == IFD_SUCCESS && c.apdu[1] == 0xEC) {
      const std::size_t data = c.answer - 2;
      const std::size_t header = c.apdu.size() > 5 + data ? 7 : 5;
      EXPECT_TRUE(std::equal(rx.begin(), rx.begin() + data, c.apdu.begin() + header));
    }
    if (c.result == IFD_SUCCESS) {
      EXPECT_EQ(rx[length - 2], 0x90);
      EXPECT_EQ(rx[length - 1], 0x00);
    }
  }
  EXPECT_TRUE(ReadChecked(kLunT1, 1, 0, 8)) << "the next exchange";
  EXPECT_TRUE(t1_->Violations().empty());
  EXPECT_TRUE(t0_->Violations().empty());
}

// Each frame on the wire and the reader's turnaround, in pcscd's log, named
// by the reader's device.
TEST_F(Readers, FramesTracedIntoTheHostsLog) {
  logcap::Clear();
  ASSERT_TRUE(ReadChecked(kLunT0, 0, 0, 8));
  const std::string sent = "ttycard: " + t0_->SlavePath() + " -> <01A0";
  const std::string got = "ttycard: " + t0_->SlavePath() + " <- <";
  EXPECT_EQ(logcap::Count({sent.c_str()}), 1u) << testing::PrintToString(logcap::Lines());
  EXPECT_EQ(logcap::Count({got.c_str(), " ms)"}), 1u);
  EXPECT_EQ(logcap::Count({t1_->SlavePath().c_str(), "->"}), 0u) << "the other reader traced";
}

// pcscd opens every reader of its configuration before it serves a client:
// opening returns at once, presence reads "no card" without a byte on the
// line while a reader settles, and readers settle side by side: two in
// polling threads as pcscd runs them (the card-event wait, then presence),
// one under a power-up that waits out the settle time without holding up
// presence queries on its reader.
TEST_F(Readers, ReadersSettleSideBySide) {
  constexpr std::array<DWORD, 3> kLuns = {0x00040000, 0x00050000, 0x00060000};
  std::vector<std::unique_ptr<Emulator>> emus(kLuns.size());
  for (auto& emu : emus) ASSERT_NE(emu = StartEmulator(CardProtocol::kAny), nullptr);
  const auto start = Clock::now();
  for (std::size_t i = 0; i < kLuns.size(); ++i) {
    std::string path = emus[i]->SlavePath();
    ASSERT_EQ(IFDHCreateChannelByName(kLuns[i], path.data()), IFD_SUCCESS);
  }
  const auto opened = Clock::now() - start;
  RESPONSECODE (*wait)(DWORD, int) = nullptr;
  DWORD size = sizeof wait;
  IFDHGetCapabilities(kLuns[0], TAG_IFD_POLLING_THREAD_WITH_TIMEOUT, &size,
                      reinterpret_cast<PUCHAR>(&wait));
  std::array<Clock::duration, kLuns.size()> ready{};
  std::atomic<bool> powered{false};
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < kLuns.size(); ++i) {
    threads.emplace_back([&, i] {
      while (i < 2 && IFDHICCPresence(kLuns[i]) != IFD_ICC_PRESENT && Clock::now() - start < 9s) {
        wait(kLuns[i], 0);
      }
      if (i == 2) powered = PowerUp(kLuns[i]) == kT1Atr;
      ready[i] = Clock::now() - start;
    });
  }
  Clock::duration slowest{};
  while (!powered && Clock::now() - start < 3300ms) {
    const auto asked = Clock::now();
    EXPECT_EQ(IFDHICCPresence(kLuns[2]), IFD_ICC_NOT_PRESENT);
    slowest = std::max(slowest, Clock::now() - asked);
    std::this_thread::sleep_for(50ms);
  }
  for (const auto& emu : emus) EXPECT_EQ(emu->FrameCount(), 0u) << "a settling reader's line";
  for (auto& t : threads) t.join();
  for (std::size_t i = 0; i < kLuns.size(); ++i) {
    EXPECT_GE(ready[i], 3400ms) << i << " used before it settled";
    EXPECT_LT(ready[i], 4400ms + opened) << i << " waited for another reader";
    EXPECT_EQ(IFDHICCPresence(kLuns[i]), IFD_ICC_PRESENT);
    EXPECT_EQ(IFDHCloseChannel(kLuns[i]), IFD_SUCCESS);
  }
  EXPECT_TRUE(powered);
  EXPECT_LT(opened, 500ms);
  EXPECT_LT(slowest, 200ms) << "presence queued behind a settling power-up";
  report_ = "# 3 readers opened in " + std::to_string(opened / 1us) + " us, ready after (ms) " +
            std::to_string(ready[0] / 1ms) + ", " + std::to_string(ready[2] / 1ms) + " (power-up)";
}

TEST_F(Readers, ADeviceInUseIsRefusedWithoutAByteWritten) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("ttycard-inuse-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const auto alias = dir / "ttyAlias";
  std::filesystem::create_symlink(t1_->SlavePath(), alias);
  const std::size_t frames = t1_->FrameCount();
  logcap::Clear();
  for (const std::string& name : {t1_->SlavePath(), alias.string()}) {
    std::string device = name;
    EXPECT_EQ(IFDHCreateChannelByName(kLunSpare, device.data()), IFD_COMMUNICATION_ERROR) << name;
    EXPECT_EQ(IFDHICCPresence(kLunSpare), IFD_COMMUNICATION_ERROR) << name << " left open";
  }
  // Another process (another pcscd) is refused as well.
  const pid_t child = fork();
  if (child == 0) {
    std::string device = t1_->SlavePath();
    _exit(IFDHCreateChannelByName(kLunSpare, device.data()) == IFD_COMMUNICATION_ERROR ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "another process opened it";
  EXPECT_EQ(t1_->FrameCount(), frames) << "the refused entry talked to the reader";
  EXPECT_EQ(logcap::Count({"already in use"}), 2u);
  EXPECT_TRUE(ReadChecked(kLunT1, 1, 0, 16)) << "the reader's own entry was disturbed";
  std::filesystem::remove_all(dir);
}

// The device goes away (hang-up) and a new reader appears under the same
// name: the entry reads as an empty slot meanwhile (one log line for the
// loss, one for the return) and serves the new reader once that has settled,
// without being opened again by the host.
TEST_F(Readers, AReaderThatGoesAwayComesBackUnderItsName) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("ttycard-relink-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const auto link = dir / "ttyCard";
  auto first = StartEmulator(CardProtocol::kAny);
  ASSERT_NE(first, nullptr);
  std::filesystem::create_symlink(first->SlavePath(), link);
  std::string name = link.string();
  ASSERT_EQ(IFDHCreateChannelByName(kLunLinked, name.data()), IFD_SUCCESS);
  ASSERT_EQ(PowerUp(kLunLinked), kT1Atr);
  Bytes r;
  ASSERT_EQ(Transmit(kLunLinked, 1, {0x00, 0x84, 0x00, 0x00, 0x08}, &r), IFD_SUCCESS);

  logcap::Clear();
  first->HangUp();
  EXPECT_EQ(IFDHICCPresence(kLunLinked), IFD_ICC_NOT_PRESENT);
  EXPECT_EQ(Transmit(kLunLinked, 1, {0x00, 0x84, 0x00, 0x00, 0x08}, &r), IFD_NO_SUCH_DEVICE);
  EXPECT_TRUE(r.empty());
  EXPECT_EQ(PowerUp(kLunLinked, IFD_NO_SUCH_DEVICE), Bytes{});
  EXPECT_EQ(logcap::Count({"2 ttycard: ", "went away"}), 1u);
  first.reset();
  for (const auto away = Clock::now(); Clock::now() - away < 4500ms;) {  // polled, reopened
    EXPECT_EQ(IFDHICCPresence(kLunLinked), IFD_ICC_NOT_PRESENT);
    std::this_thread::sleep_for(100ms);
  }
  // The other readers do not notice.
  EXPECT_EQ(IFDHICCPresence(kLunT1), IFD_ICC_PRESENT);
  EXPECT_TRUE(ReadChecked(kLunT0, 0, 0, 16));

  const Bytes other_atr = {0x3B, 0x02, 0x14, 0x51};
  auto second = StartEmulator(CardProtocol::kAny, other_atr);
  ASSERT_NE(second, nullptr);
  const auto staged = dir / "staged";
  std::filesystem::create_symlink(second->SlavePath(), staged);
  std::filesystem::rename(staged, link);

  const auto start = Clock::now();
  while (IFDHICCPresence(kLunLinked) != IFD_ICC_PRESENT && Clock::now() - start < 10s) {
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(IFDHICCPresence(kLunLinked), IFD_ICC_PRESENT)
      << "not back after " << (Clock::now() - start) / 1ms << " ms";
  EXPECT_EQ(logcap::Count({"is back"}), 1u);
  EXPECT_EQ(logcap::Count({name.c_str()}) - logcap::Count({"0 ttycard: ", name.c_str()}), 2u);
  EXPECT_EQ(PowerUp(kLunLinked), other_atr);
  ASSERT_EQ(Transmit(kLunLinked, 0, {0x00, 0x84, 0x00, 0x00, 0x08}, &r), IFD_SUCCESS);
  EXPECT_EQ(r.size(), 10u);
  EXPECT_EQ(Dword(kLunLinked, SCARD_ATTR_CURRENT_PROTOCOL_TYPE), 1u) << "old protocol kept";
  EXPECT_EQ(IFDHCloseChannel(kLunLinked), IFD_SUCCESS);
  EXPECT_FALSE(second->CardPowered());
  // Closing lets go of the device: another entry may take it.
  const std::size_t frames = second->FrameCount();
  ASSERT_EQ(IFDHCreateChannelByName(kLunSpare, name.data()), IFD_SUCCESS);
  EXPECT_EQ(IFDHCloseChannel(kLunSpare), IFD_SUCCESS);
  EXPECT_EQ(second->FrameCount(), frames) << "closed while settling: nothing to power down";
  EXPECT_TRUE(second->Violations().empty());
  std::filesystem::remove_all(dir);
}

}  // namespace

// The trace levels are read when the library is loaded: run again with every
// one of them on unless the caller chose.
int main(int argc, char** argv) {
  if (std::getenv("TTYCARD_LOG") == nullptr) {
    setenv("TTYCARD_LOG", "all", 1);
    execv("/proc/self/exe", argv);
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
