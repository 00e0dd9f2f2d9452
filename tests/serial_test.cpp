// The serial module on a pseudo-terminal: opening, the read deadline,
// writes, and what happens with no port open.
#include "serial.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <utility>

#include "port.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

using ttycard::serial::Arrival;

// The reader's end of a pseudo-terminal; the driver opens the other end.
class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(master_);
    unlockpt(master_);
    path_ = ptsname(master_);
    termios t{};
    tcgetattr(master_, &t);
    cfmakeraw(&t);
    tcsetattr(master_, TCSANOW, &t);
    // Hold the line open ourselves, so it stays up between the driver's opens.
    hold_ = open(path_.c_str(), O_RDWR | O_NOCTTY);
  }
  ~Pty() {
    if (master_ >= 0) close(master_);
    close(hold_);
  }
  const std::string& Path() const { return path_; }
  void Send(const std::string& s) {
    ASSERT_EQ(write(master_, s.data(), s.size()), ssize_t(s.size()));
  }
  std::string Receive(std::size_t n) {
    std::string out(n, '\0');
    std::size_t got = 0;
    while (got < n) {
      const ssize_t r = read(master_, &out[got], n - got);
      if (r <= 0) break;
      got += static_cast<std::size_t>(r);
    }
    out.resize(got);
    return out;
  }
  void HangUp() {
    close(master_);
    master_ = -1;
  }

 private:
  int master_ = -1;
  int hold_ = -1;
  std::string path_;
};

std::size_t OpenDescriptors() {
  return static_cast<std::size_t>(
      std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The read and write system calls this thread has made so far.
std::pair<long, long> CallsSoFar() {
  long reads = 0;
  long writes = 0;
  if (std::FILE* f = std::fopen("/proc/thread-self/io", "r")) {
    if (std::fscanf(f, "rchar: %*d wchar: %*d syscr: %ld syscw: %ld", &reads, &writes) != 2) {
      reads = writes = 0;
    }
    std::fclose(f);
  }
  return {reads, writes};
}

class SerialTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(IO_InitializePort(9600, 8, 'N', pty_.Path().c_str()), 1); }
  void TearDown() override { IO_Close(); }
  Pty pty_;
};

TEST(SerialOpenTest, RefusedSettingsLeaveNoDescriptorOpen) {
  Pty pty;
  const auto before = OpenDescriptors();
  struct Case {
    int speed, bits, parity;
  };
  for (const Case c :
       {Case{4800, 8, 'N'}, Case{9600, 9, 'N'}, Case{9600, 8, 'M'}, Case{9600, 8, 'n'}}) {
    EXPECT_EQ(IO_InitializePort(c.speed, c.bits, c.parity, pty.Path().c_str()), 0);
  }
  EXPECT_EQ(IO_InitializePort(9600, 8, 'N', "/nonexistent/tty"), 0);
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST(SerialOpenTest, NoPortOpenTouchesNoDescriptor) {
  // Put a pipe on descriptor 0 with a byte in it: a read or flush on the
  // record's stale descriptor 0 would take or drop it.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const int saved = dup(0);
  dup2(fds[0], 0);
  ASSERT_EQ(write(fds[1], "x", 1), 1);
  std::array<unsigned char, 4> buf{};
  EXPECT_EQ(IO_Read(1, buf.data()), 0);
  EXPECT_EQ(IO_Write(1, buf.data()), 0);
  EXPECT_EQ(IO_FlushBuffer(), 0);
  EXPECT_EQ(IO_UpdateParity('E'), -1);
  EXPECT_EQ(IO_UpdateStopBits(1), -1);
  EXPECT_EQ(IO_Close(), 0);
  char c = 0;
  EXPECT_EQ(read(0, &c, 1), 1);
  EXPECT_EQ(c, 'x');
  dup2(saved, 0);
  close(saved);
  close(fds[0]);
  close(fds[1]);
}

TEST_F(SerialTest, RecordAfterOpening) {
  EXPECT_EQ(IO_ReturnStopBits(), 2);
  EXPECT_EQ(IO_ReturnParity(), 'N');
  EXPECT_EQ(IO_ReturnBaudRate(), 9600);
  EXPECT_EQ(ioport.blocktime, 1);
  EXPECT_GT(IO_ReturnHandle(), 2);
  // What a pseudo-terminal keeps of the settings.
  termios t{};
  ASSERT_EQ(tcgetattr(IO_ReturnHandle(), &t), 0);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP), 0u);
  EXPECT_EQ(t.c_cc[VMIN], 1);
}

TEST_F(SerialTest, ReopeningReplacesTheEarlierDescriptor) {
  const auto before = OpenDescriptors();
  const int first = IO_ReturnHandle();
  ASSERT_EQ(IO_InitializePort(9600, 8, 'N', pty_.Path().c_str()), 1);
  EXPECT_EQ(OpenDescriptors(), before);
  EXPECT_EQ(fcntl(first, F_GETFD), -1) << "the earlier descriptor is closed";
  // A failed reopen leaves the open port as it was.
  const int second = IO_ReturnHandle();
  EXPECT_EQ(IO_InitializePort(9600, 8, 'N', "/nonexistent/tty"), 0);
  EXPECT_EQ(IO_ReturnHandle(), second);
  std::array<unsigned char, 1> one{'k'};
  EXPECT_EQ(IO_Write(1, one.data()), 1);
  EXPECT_EQ(pty_.Receive(1), "k");
}

TEST_F(SerialTest, WritesEveryByteInOrder) {
  const std::string frame =
      "\x02"
      "01800081\x03";
  EXPECT_EQ(IO_Write(static_cast<int>(frame.size()),
                     reinterpret_cast<const unsigned char*>(frame.data())),
            1);
  EXPECT_EQ(pty_.Receive(frame.size()), frame);
  EXPECT_EQ(IO_Write(0, nullptr), 1);
  EXPECT_EQ(IO_Write(-3, nullptr), 1);
}

TEST_F(SerialTest, ShortReplyFailsWithinOneBlockTimeKeepingWhatCame) {
  pty_.Send("12345");
  std::array<unsigned char, 9> buf{};
  const auto start = Clock::now();
  EXPECT_EQ(IO_Read(9, buf.data()), 0);
  const double took = SecondsSince(start);
  EXPECT_GE(took, 0.95);
  EXPECT_LT(took, 1.5);
  EXPECT_EQ(std::string(buf.begin(), buf.begin() + 5), "12345");
  // The input queue is empty afterwards: a poll finds nothing.
  IO_UpdateReturnBlock(0);
  EXPECT_EQ(IO_Read(1, buf.data()), 0);
}

TEST_F(SerialTest, TricklingBytesFailAfterOneBlockTimeNotOnePerByte) {
  std::thread peer([this] {
    for (int i = 0; i < 8; ++i) {
      pty_.Send("x");
      std::this_thread::sleep_for(300ms);
    }
  });
  std::array<unsigned char, 20> buf{};
  const auto start = Clock::now();
  EXPECT_EQ(IO_Read(20, buf.data()), 0);
  const double took = SecondsSince(start);
  peer.join();
  EXPECT_GE(took, 0.95);
  EXPECT_LT(took, 1.5);
}

TEST_F(SerialTest, ZeroBlockTimePollsAndCountsOfZeroSucceed) {
  std::array<unsigned char, 4> buf{};
  EXPECT_EQ(IO_Read(0, buf.data()), 1);
  EXPECT_EQ(IO_Read(-1, buf.data()), 1);
  IO_UpdateReturnBlock(0);
  pty_.Send("ab");
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(IO_Read(2, buf.data()), 1);
  EXPECT_EQ(std::string(buf.begin(), buf.begin() + 2), "ab");
  const auto start = Clock::now();
  EXPECT_EQ(IO_Read(1, buf.data()), 0);
  EXPECT_LT(SecondsSince(start), 0.2);
}

extern "C" void Nothing(int) {}

TEST_F(SerialTest, SignalsDoNotBreakTheWaitOrExtendIt) {
  struct sigaction sa {};
  sa.sa_handler = Nothing;  // no SA_RESTART: the wait sees EINTR
  sigaction(SIGALRM, &sa, nullptr);
  itimerval every100ms{{0, 100000}, {0, 100000}};
  setitimer(ITIMER_REAL, &every100ms, nullptr);

  std::thread peer([this] {
    std::this_thread::sleep_for(500ms);
    pty_.Send("late");
  });
  std::array<unsigned char, 4> buf{};
  EXPECT_EQ(IO_Read(4, buf.data()), 1);
  peer.join();
  EXPECT_EQ(std::string(buf.begin(), buf.end()), "late");

  const auto start = Clock::now();
  EXPECT_EQ(IO_Read(1, buf.data()), 0);
  const double took = SecondsSince(start);
  itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  EXPECT_GE(took, 0.95);
  EXPECT_LT(took, 1.5);
}

TEST_F(SerialTest, HangUpEndsTheReadAtOnce) {
  IO_UpdateReturnBlock(5);
  std::thread peer([this] {
    std::this_thread::sleep_for(100ms);
    pty_.HangUp();
  });
  std::array<unsigned char, 4> buf{};
  const auto start = Clock::now();
  EXPECT_EQ(IO_Read(4, buf.data()), 0);
  peer.join();
  EXPECT_LT(SecondsSince(start), 2.0);
}

TEST_F(SerialTest, ParameterUpdates) {
  EXPECT_EQ(IO_UpdateParity('N'), 'N');
  EXPECT_EQ(IO_ReturnParity(), 'N');
  EXPECT_EQ(IO_UpdateStopBits(1), 1);
  EXPECT_EQ(IO_ReturnStopBits(), 1);
  termios t{};
  tcgetattr(IO_ReturnHandle(), &t);
  EXPECT_EQ(t.c_cflag & CSTOPB, 0u);
  EXPECT_EQ(IO_UpdateStopBits(2), 2);
  tcgetattr(IO_ReturnHandle(), &t);
  EXPECT_NE(t.c_cflag & CSTOPB, 0u);
  EXPECT_EQ(IO_UpdateStopBits(3), 3);  // recorded, nothing changed
}

TEST_F(SerialTest, BlockTimeLine) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(IO_UpdateReturnBlock(60), 60);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Setting block time to 60\n");
  EXPECT_EQ(ioport.blocktime, 60);
}

TEST_F(SerialTest, CloseOnce) {
  EXPECT_EQ(IO_Close(), 1);
  EXPECT_EQ(IO_Close(), 0);
  // The pty's other side stays open: the terminal must not stay exclusive.
  const int fd = open(pty_.Path().c_str(), O_RDWR | O_NOCTTY);
  int exclusive = -1;
  EXPECT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
  close(fd);
  std::array<unsigned char, 1> buf{};
  EXPECT_EQ(IO_Read(1, buf.data()), 0);
}

// A port of a PC/SC host's reader: buffered reads and writes.
class BufferedPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_.buffered = true;
    ASSERT_EQ(Open(port_, 9600, 8, 'N', pty_.Path().c_str(), nullptr),
              ttycard::serial::OpenError::kNone);
  }
  void TearDown() override { ttycard::serial::Close(port_); }
  std::string Read(int count, Arrival arrival = Arrival::kReply) {
    std::string got(static_cast<std::size_t>(count), '\0');
    auto* buf = reinterpret_cast<unsigned char*>(got.data());
    return ttycard::serial::Read(port_, count, buf, arrival) ? got : "(failed)";
  }
  Pty pty_;
  IO_Port record_{};
  ttycard::serial::Port port_{record_};
};

// A frame goes out in one write and a reply that has arrived comes in with
// one read; the IO_ functions' way stays at one system call per character.
TEST_F(BufferedPortTest, SystemCallsPerFrameAndReply) {
  const std::string frame = std::string(1, '\x02') + "0106000007\x03";
  const auto before_look = CallsSoFar();
  const long per_look = CallsSoFar().first - before_look.first;  // the look's own reads
  for (const bool buffered : {true, false}) {
    SCOPED_TRACE(buffered);
    port_.buffered = buffered;
    const long calls = buffered ? 1 : 12;
    const auto before = CallsSoFar();
    ASSERT_TRUE(Write(port_, 12, reinterpret_cast<const unsigned char*>(frame.data())));
    EXPECT_EQ(CallsSoFar().second - before.second, calls);
    EXPECT_EQ(pty_.Receive(frame.size()), frame);
    pty_.Send(frame);
    std::this_thread::sleep_for(50ms);
    const auto middle = CallsSoFar();
    EXPECT_EQ(Read(12), frame);
    EXPECT_EQ(CallsSoFar().first - middle.first - per_look, calls);
  }
}

// Characters read ahead of a reply never reach the next command's reads.
TEST_F(BufferedPortTest, ReadAheadIsDroppedAtEveryFlushWriteAndTimeout) {
  const struct {
    const char* name;
    std::function<void()> drop;
  } cases[] = {
      {"flush", [&] { EXPECT_TRUE(ttycard::serial::FlushInput(port_)); }},
      {"write", [&] { EXPECT_TRUE(ttycard::serial::Write(port_, 0, nullptr)); }},
      {"timed-out read", [&] { EXPECT_EQ(Read(20, Arrival::kRest), "(failed)"); }},
  };
  record_.blocktime = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    pty_.Send("REPLYlate!");
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(Read(5), "REPLY");
    c.drop();
    pty_.Send("NEXT1");
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(Read(5), "NEXT1");
  }
}

// The rest of a reply that comes in pieces is one read within one block
// time; pieces that come too slowly fail it when the block time is over.
TEST_F(BufferedPortTest, ReplyInPiecesWithinOneDeadline) {
  const struct {
    std::chrono::milliseconds gap;
    bool whole;
    double at_least, below;
  } cases[] = {{300ms, true, 0.55, 0.95}, {600ms, false, 0.95, 1.15}};
  record_.blocktime = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.gap.count());
    std::thread peer([&] {
      for (const char* piece : {"HEAD12345", "first-part-of-the-body", "the-rest"}) {
        pty_.Send(piece);
        std::this_thread::sleep_for(c.gap);
      }
    });
    EXPECT_EQ(Read(9), "HEAD12345");
    const auto start = Clock::now();
    EXPECT_EQ(Read(30, Arrival::kRest), c.whole ? "first-part-of-the-bodythe-rest" : "(failed)");
    const double took = SecondsSince(start);
    peer.join();
    EXPECT_GE(took, c.at_least);
    EXPECT_LT(took, c.below);
    ttycard::serial::FlushInput(port_);
  }
}

}  // namespace
