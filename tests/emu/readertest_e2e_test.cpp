// The unchanged readertest program against the emulator, with the
// emulator's pseudo-terminal bound over /dev/ttyS0 in a private mount
// namespace: its output, its exit status and every frame on the line.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "emulator.h"

namespace {

using namespace std::chrono_literals;
using ttycard::emu::Bytes;
using ttycard::emu::Emulator;
using ttycard::emu::Fault;
using ttycard::emu::FaultSpec;
using ttycard::emu::kForever;

struct Outcome {
  int status = -1;
  std::string out;
  double seconds = 0;
};

// Runs `command` with `pty` bind-mounted in place of /dev/ttyS0 (private namespace).
Outcome WithSerialPort(const std::string& pty, const std::string& command) {
  const std::string script = TTYCARD_SOURCE_DIR "/scripts/with-serial-ports.sh";
  std::vector<std::string> args{"/bin/bash", script, pty, "--", command};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int fds[2];
  if (pipe(fds) != 0) return {};
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(fds[1]);
  Outcome run;
  char buf[256];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) run.out.append(buf, n);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return run;
}

bool NamespacesAllowed() {
  return system("unshare --mount true 2>/dev/null") == 0;
}

std::vector<std::string> Wires(const Emulator& emu) {
  std::vector<std::string> out;
  for (const auto& f : emu.Frames()) out.push_back(f.wire);
  return out;
}

std::string A1Wire(const Bytes& block) {
  Bytes frame{0x01, 0xA1, static_cast<unsigned char>(block.size() + 1)};
  frame.insert(frame.end(), block.begin(), block.end());
  frame.push_back(0x00);
  unsigned char sum = 0;
  for (auto b : frame) sum ^= b;
  frame.push_back(sum);
  std::string hex;
  char two[3];
  for (auto b : frame) {
    std::snprintf(two, sizeof two, "%02X", b);
    hex += two;
  }
  return "\x02" + hex + "\x03";
}

class ReadertestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!NamespacesAllowed()) GTEST_SKIP() << "SKIPPED: mount namespaces are not allowed here";
  }
};

TEST_F(ReadertestTest, WholeScriptOnTheLine) {
  Emulator emu;
  emu.SetAtr({0x3B, 0x02, 0x14, 0x50});
  ASSERT_TRUE(emu.Start());
  const Outcome run = WithSerialPort(emu.SlavePath(), READERTEST_PATH);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "Setting block time to 4\nCard ATR: 3b 2 14 50 \n");

  // GET CHALLENGE of 0x26 bytes plus SW comes back as two chained blocks
  // (the card sends at most 32 bytes a block): one R-block asks for the rest.
  const std::vector<std::string> expected{
      "\x02"
      "01800081\x03",
      "\x02"
      "0106010204\x03",
      "\x02"
      "0102010C0E\x03",
      A1Wire({0x00, 0x00, 0x05, 0x00, 0x84, 0x00, 0x00, 0x26, 0xA7}),
      A1Wire({0x00, 0x90, 0x00, 0x90}),
      "\x02"
      "01010000\x03",
      "\x02"
      "01810080\x03",
  };
  EXPECT_EQ(Wires(emu), expected);
  for (const auto& v : emu.Violations()) ADD_FAILURE() << v;
  EXPECT_EQ(emu.CardType(), 12);
  EXPECT_EQ(emu.NotificationMode(), 2);
  EXPECT_FALSE(emu.CardPowered());
}

TEST_F(ReadertestTest, LongerAtrIsPrintedInLowerCaseHex) {
  Emulator emu;  // the default T=1 card
  ASSERT_TRUE(emu.Start());
  const Outcome run = WithSerialPort(emu.SlavePath(), READERTEST_PATH);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "Setting block time to 4\nCard ATR: 3b 84 81 31 20 45 54 54 59 43 4b \n");
  for (const auto& v : emu.Violations()) ADD_FAILURE() << v;
}

TEST_F(ReadertestTest, SilentReaderStillRunsEveryStep) {
  Emulator emu;
  ASSERT_TRUE(emu.Start());
  emu.InjectFault(FaultSpec::Of(Fault::kSilence).Times(kForever));
  const Outcome run = WithSerialPort(emu.SlavePath(), READERTEST_PATH);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "Setting block time to 4\nCard ATR: \n");
  // Six commands, each given up after one 4 s block time; the T=1 block is
  // asked for again three times (R-block with the EDC bit) before the
  // exchange gives up.
  auto frames = Wires(emu);
  ASSERT_EQ(frames.size(), 9u);
  for (std::size_t i = 4; i < 7; ++i) EXPECT_EQ(frames[i], A1Wire({0x00, 0x81, 0x00, 0x81})) << i;
  frames.erase(frames.begin() + 4, frames.begin() + 7);
  EXPECT_EQ(frames[0],
            "\x02"
            "01800081\x03");
  EXPECT_EQ(frames[1],
            "\x02"
            "0106010204\x03");
  EXPECT_EQ(frames[2],
            "\x02"
            "0102010C0E\x03");
  EXPECT_EQ(frames[3], A1Wire({0x00, 0x00, 0x05, 0x00, 0x84, 0x00, 0x00, 0x26, 0xA7}));
  EXPECT_EQ(frames[4],
            "\x02"
            "01010000\x03");
  EXPECT_EQ(frames[5],
            "\x02"
            "01810080\x03");
  EXPECT_GT(run.seconds, 3.4 + 9 * 4 - 0.5);
  EXPECT_LT(run.seconds, 3.4 + 9 * 4 + 3);
}

TEST_F(ReadertestTest, NoReaderAtAll) {
  // The port cannot be opened: every step fails at once, the exit status
  // is still 1, and nothing hangs.
  const Outcome run = WithSerialPort("/dev/null", READERTEST_PATH);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "Card ATR: \n");
  EXPECT_LT(run.seconds, 3.0);
}

}  // namespace
