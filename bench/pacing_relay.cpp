#include "pacing_relay.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <deque>
#include <mutex>

namespace ttycard::bench {
namespace {

bool MakeRaw(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return false;
  cfmakeraw(&t);
  return tcsetattr(fd, TCSANOW, &t) == 0;
}

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

timespec ToTimespec(std::chrono::nanoseconds d) {
  if (d < std::chrono::nanoseconds::zero()) d = std::chrono::nanoseconds::zero();
  const auto s = std::chrono::duration_cast<std::chrono::seconds>(d);
  return timespec{static_cast<time_t>(s.count()), static_cast<long>((d - s).count())};
}

bool WriteAll(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    const ssize_t put = write(fd, p, n);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    p += put;
    n -= static_cast<std::size_t>(put);
  }
  return true;
}

struct Scheduled {
  char c;
  Clock::time_point arrival;  // when its last stop bit reaches the far end
};

}  // namespace

struct PacingRelay::Direction {
  Direction(int s, int d, std::chrono::nanoseconds t) : src(s), dst(d), line(t) {}
  int src;
  int dst;
  LineClock line;
  mutable std::mutex mu;
  DirectionStats stats;
};

PacingRelay::PacingRelay(std::chrono::nanoseconds char_time) : char_time_(char_time) {}

PacingRelay::~PacingRelay() {
  Stop();
}

bool PacingRelay::Start(const std::string& far_path) {
  if (near_master_ >= 0) return false;
  near_master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  std::array<char, 128> name{};
  bool ok = near_master_ >= 0 && grantpt(near_master_) == 0 && unlockpt(near_master_) == 0 &&
            ptsname_r(near_master_, name.data(), name.size()) == 0;
  if (ok) {
    near_slave_ = open(name.data(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    far_ = open(far_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ok = near_slave_ >= 0 && far_ >= 0 && MakeRaw(near_master_) && MakeRaw(near_slave_) &&
         MakeRaw(far_) && pipe2(wake_.data(), O_CLOEXEC | O_NONBLOCK) == 0;
  }
  if (!ok) {
    Stop();
    return false;
  }
  near_path_ = name.data();
  stop_ = false;
  to_far_ = new Direction(near_master_, far_, char_time_);
  to_near_ = new Direction(far_, near_master_, char_time_);
  far_thread_ = std::thread([this] { Run(*to_far_); });
  near_thread_ = std::thread([this] { Run(*to_near_); });
  return true;
}

void PacingRelay::Stop() {
  stop_ = true;
  if (wake_[1] >= 0) (void)!write(wake_[1], "s", 1);
  if (far_thread_.joinable()) far_thread_.join();
  if (near_thread_.joinable()) near_thread_.join();
  delete to_far_;
  delete to_near_;
  to_far_ = to_near_ = nullptr;
  CloseFd(near_slave_);
  CloseFd(near_master_);
  CloseFd(far_);
  CloseFd(wake_[0]);
  CloseFd(wake_[1]);
}

void PacingRelay::Run(Direction& d) {
  // The forwarding deadlines are a few hundred microseconds apart; the
  // default 50 us timer slack would be charged to every turnaround.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  std::deque<Scheduled> queue;
  std::array<char, 512> buf{};
  std::string due;
  while (!stop_) {
    const auto now = Clock::now();
    due.clear();
    Clock::time_point last{};
    while (!queue.empty() && queue.front().arrival <= now) {
      due.push_back(queue.front().c);
      last = queue.front().arrival;
      queue.pop_front();
    }
    if (!due.empty()) {
      WriteAll(d.dst, due.data(), due.size());
      const auto late = Clock::now() - last;
      std::lock_guard lock(d.mu);
      d.stats.chars += due.size();
      d.stats.late_max = std::max(d.stats.late_max, late);
      if (queue.empty()) {
        d.stats.late_sum += late;
        ++d.stats.bursts;
      }
      continue;
    }
    std::array<pollfd, 2> fds{pollfd{d.src, POLLIN, 0}, pollfd{wake_[0], POLLIN, 0}};
    timespec ts{};
    const timespec* timeout = nullptr;
    if (!queue.empty()) {
      ts = ToTimespec(queue.front().arrival - now);
      timeout = &ts;
    }
    if (ppoll(fds.data(), fds.size(), timeout, nullptr) <= 0) continue;
    if (fds[1].revents != 0) break;
    if ((fds[0].revents & POLLIN) != 0) {
      const ssize_t got = read(d.src, buf.data(), buf.size());
      const auto ready = Clock::now();
      for (ssize_t i = 0; i < got; ++i) queue.push_back({buf[i], d.line.Accept(ready)});
    } else if ((fds[0].revents & (POLLHUP | POLLERR)) != 0) {
      // The other end is gone; wait for Stop() instead of spinning.
      std::array<pollfd, 1> wake{pollfd{wake_[0], POLLIN, 0}};
      poll(wake.data(), 1, -1);
    }
  }
}

DirectionStats PacingRelay::ToFar() const {
  if (to_far_ == nullptr) return {};
  std::lock_guard lock(to_far_->mu);
  return to_far_->stats;
}

DirectionStats PacingRelay::ToNear() const {
  if (to_near_ == nullptr) return {};
  std::lock_guard lock(to_near_->mu);
  return to_near_->stats;
}

void PacingRelay::ResetStats() {
  for (Direction* d : {to_far_, to_near_}) {
    if (d == nullptr) continue;
    std::lock_guard lock(d->mu);
    d->stats = {};
  }
}

}  // namespace ttycard::bench
