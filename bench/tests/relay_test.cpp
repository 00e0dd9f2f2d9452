// The pacing relay on real pseudo-terminals: characters cross it intact in
// both directions, never sooner than the line allows, and are counted.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <string>
#include <vector>

#include "pacing_relay.h"

namespace ttycard::bench {
namespace {

using namespace std::chrono_literals;

constexpr auto kChar = 2ms;  // slow enough that scheduling noise is small beside it

// A pseudo-terminal standing in for the emulator: we hold the master, the
// relay opens the slave.
struct FarEnd {
  FarEnd() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    std::array<char, 128> name{};
    if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 &&
        ptsname_r(master, name.data(), name.size()) == 0) {
      path = name.data();
      termios t{};
      tcgetattr(master, &t);
      cfmakeraw(&t);
      tcsetattr(master, TCSANOW, &t);
    }
  }
  ~FarEnd() {
    if (master >= 0) close(master);
  }
  int master = -1;
  std::string path;
};

int OpenRaw(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
  termios t{};
  if (fd >= 0 && tcgetattr(fd, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
  }
  return fd;
}

struct Arrival {
  char c;
  Clock::time_point at;
};

// Reads `n` characters from `fd` one by one, noting when each arrived.
std::vector<Arrival> ReadTimed(int fd, std::size_t n, std::chrono::milliseconds limit) {
  std::vector<Arrival> got;
  const auto deadline = Clock::now() + limit;
  while (got.size() < n && Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) != 1) continue;
    char c = 0;
    if (read(fd, &c, 1) == 1) got.push_back({c, Clock::now()});
  }
  return got;
}

void ExpectPaced(const std::vector<Arrival>& got, const std::string& sent,
                 Clock::time_point written, const char* direction) {
  ASSERT_EQ(got.size(), sent.size()) << direction;
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].c, sent[i]) << direction << ", character " << i;
    // Character i has its last stop bit in at the earliest (i + 1) character
    // times after the first was handed over.
    EXPECT_GE(got[i].at - written, kChar * static_cast<int>(i + 1)) << direction << " " << i;
  }
  // And the line did not stall: generous, the machine may be busy.
  EXPECT_LT(got.back().at - written, kChar * static_cast<int>(sent.size()) + 500ms) << direction;
}

TEST(PacingRelay, CarriesBothDirectionsAtLineRate) {
  FarEnd far;
  ASSERT_FALSE(far.path.empty());
  PacingRelay relay(kChar);
  ASSERT_TRUE(relay.Start(far.path));
  const int near = OpenRaw(relay.NearPath());
  ASSERT_GE(near, 0);

  const struct {
    const char* name;
    int from;
    int to;
    std::string text;
  } cases[] = {
      {"driver to reader", near, far.master,
       std::string("\x02"
                   "01800081\x03",
                   10)},
      {"reader to driver", far.master, near,
       "\x02"
       "00000004"
       "3B021450"
       "47\x03"},
  };
  for (const auto& c : cases) {
    const auto written = Clock::now();
    ASSERT_EQ(write(c.from, c.text.data(), c.text.size()), static_cast<ssize_t>(c.text.size()));
    ExpectPaced(ReadTimed(c.to, c.text.size(), 2s), c.text, written, c.name);
  }
  // The relay counts a burst once its write has returned, which may be just
  // after the reader here has the last character: a moment for that.
  const auto until = Clock::now() + 1s;
  while (relay.ToNear().chars < cases[1].text.size() && Clock::now() < until) poll(nullptr, 0, 1);
  EXPECT_EQ(relay.ToFar().chars, cases[0].text.size());
  EXPECT_EQ(relay.ToNear().chars, cases[1].text.size());
  close(near);
}

TEST(PacingRelay, IdleLineStartsFromTheCharactersOwnArrival) {
  FarEnd far;
  PacingRelay relay(kChar);
  ASSERT_TRUE(relay.Start(far.path));
  const int near = OpenRaw(relay.NearPath());
  ASSERT_GE(near, 0);
  // Two characters 30 ms apart are not delivered back to back: the second
  // one could not start before it was written.
  const auto first = Clock::now();
  ASSERT_EQ(write(near, "A", 1), 1);
  std::this_thread::sleep_for(30ms);
  const auto second = Clock::now();
  ASSERT_EQ(write(near, "B", 1), 1);
  const auto got = ReadTimed(far.master, 2, 2s);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_GE(got[0].at - first, kChar);
  EXPECT_GE(got[1].at - second, kChar);
  relay.ResetStats();
  EXPECT_EQ(relay.ToFar().chars, 0u);
  close(near);
}

TEST(PacingRelay, RefusesAFarEndThatDoesNotExist) {
  PacingRelay relay(kChar);
  EXPECT_FALSE(relay.Start("/nonexistent/pts"));
  EXPECT_TRUE(relay.NearPath().empty());
}

}  // namespace
}  // namespace ttycard::bench
