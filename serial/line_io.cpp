// Reading and writing the serial line.
//
// A read is bounded by the block time (whole seconds) for the whole call,
// not per character: one deadline on the monotonic clock, and every wait
// gets only what is left of it; an interrupted wait goes on for the rest. A
// read that runs out of time, or a line that fails, leaves both queues
// discarded, so that the late rest of one reply cannot pass for the next.
//
// Two ways to use the line, one per Port:
//
//   character by character   one poll and one read per character in, one
//                            write per character out: the IO_ functions.
//   buffered                 a PC/SC host's readers. A write puts the whole
//                            frame out in one call. A read takes whatever has
//                            arrived into the port's read-ahead in one call.
//                            At 9600 baud 8N2 a character takes 1.146 ms, so
//                            once a reply is coming, the rest of it is slept
//                            for (what is missing times the character time,
//                            never past the deadline) and then taken at once,
//                            instead of waking for every character.
//
// Characters read ahead belong to the reply being read: every flush, every
// write (a new command) and every failed read drops them.

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "port.h"

namespace ttycard::serial {
namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline`, rounded up so that a wait never ends
// before it; 0 once it has passed.
int MillisecondsLeft(Clock::time_point deadline) {
  const auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

// Errors after which the descriptor will never carry a byte again.
bool LineGone(int err) {
  return err == EIO || err == ENXIO || err == ENODEV || err == EBADF;
}

// Waits until the line has input or `deadline` passes. A hang-up or error
// without data marks the line lost.
bool WaitForInput(Port& port, Clock::time_point deadline) {
  for (;;) {
    pollfd pfd{port.rec.handle, POLLIN, 0};
    const int ready = poll(&pfd, 1, MillisecondsLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;  // wait again for what is left
    if (ready <= 0) return false;               // failed, or the block time is over
    if ((pfd.revents & POLLIN) != 0) return true;
    if ((pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) port.lost = true;
    return false;
  }
}

// Whether input is waiting right now.
bool InputWaiting(int fd) {
  pollfd pfd{fd, POLLIN, 0};
  return poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLIN) != 0;
}

// A read that took nothing: an interruption is tried again (the deadline
// still bounds it); end of file or a line error means the far end has gone.
bool ReadMayGoOn(Port& port, ssize_t got) {
  if (got < 0 && (errno == EINTR || errno == EAGAIN)) return true;
  if (got == 0 || LineGone(errno)) port.lost = true;
  return false;
}

bool ReadByCharacter(Port& port, std::size_t count, unsigned char* buf,
                     Clock::time_point deadline) {
  for (std::size_t stored = 0; stored < count;) {
    if (!WaitForInput(port, deadline)) return false;
    const ssize_t got = read(port.rec.handle, &buf[stored], 1);
    if (got == 1) {
      ++stored;
    } else if (!ReadMayGoOn(port, got)) {
      return false;
    }
  }
  return true;
}

// The time one character takes on the line: start bit, data bits, parity
// bit, stop bits.
Clock::duration CharacterTime(const Port& port) {
  if (port.rec.baud == 0) return Clock::duration::zero();
  const std::int64_t bits =
      1 + port.rec.bits + (port.rec.parity == 'N' ? 0 : 1) + std::max(port.rec.stopbits, 1);
  return std::chrono::duration_cast<Clock::duration>(
      std::chrono::nanoseconds(bits * 1000000000 / port.rec.baud));
}

// Sleeps until `until` on the monotonic clock (steady_clock's own), going
// on after signals.
void SleepUntil(Clock::time_point until) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(until.time_since_epoch());
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(ns.count() / 1000000000);
  ts.tv_nsec = static_cast<long>(ns.count() % 1000000000);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

bool ReadBuffered(Port& port, std::size_t count, unsigned char* buf, Arrival arrival,
                  Clock::time_point deadline) {
  ReadAhead& ahead = port.ahead;
  bool coming = arrival == Arrival::kRest;  // characters of the reply are on their way
  for (std::size_t stored = 0;;) {
    const std::size_t n = std::min(count - stored, ahead.end - ahead.begin);
    std::memcpy(&buf[stored], &ahead.chars[ahead.begin], n);
    ahead.begin += n;
    stored += n;
    if (stored == count) return true;

    // What is missing comes one character time after another: sleep until
    // it can all be there, unless some of it is already (a line faster
    // than its speed is not made to wait).
    const bool waiting = coming && InputWaiting(port.rec.handle);
    if (coming && !waiting) {
      const auto missing = static_cast<Clock::rep>(count - stored);
      SleepUntil(std::min(deadline, Clock::now() + CharacterTime(port) * missing));
    }
    if (!waiting && !WaitForInput(port, deadline)) return false;
    const ssize_t got = read(port.rec.handle, ahead.chars.data(), ahead.chars.size());
    if (got > 0) {
      ahead.begin = 0;
      ahead.end = static_cast<std::size_t>(got);
      coming = true;
    } else if (!ReadMayGoOn(port, got)) {
      return false;
    }
  }
}

}  // namespace

bool Read(Port& port, int count, unsigned char* buf, Arrival arrival) {
  if (count <= 0) return true;
  if (!port.open || port.lost || buf == nullptr) return false;

  const int seconds = port.rec.blocktime > 0 ? port.rec.blocktime : 0;
  const auto deadline = Clock::now() + std::chrono::seconds(seconds);
  const auto want = static_cast<std::size_t>(count);
  if (port.buffered ? ReadBuffered(port, want, buf, arrival, deadline)
                    : ReadByCharacter(port, want, buf, deadline)) {
    return true;
  }
  // Leave the line clean for the next command: whatever is late of this
  // reply, and whatever we had queued, is discarded.
  port.ahead.Drop();
  if (!port.lost) tcflush(port.rec.handle, TCIOFLUSH);
  return false;
}

bool Write(Port& port, int count, const unsigned char* data) {
  if (!port.open || port.lost) return false;
  const int fd = port.rec.handle;
  tcflush(fd, TCIOFLUSH);  // a command starts from empty queues both ways
  port.ahead.Drop();
  if (count <= 0) return true;
  if (data == nullptr) return false;
  const auto total = static_cast<std::size_t>(count);
  for (std::size_t done = 0; done < total;) {
    // All that is left in one call (a partial write goes on with the rest),
    // or exactly one character.
    const ssize_t put = write(fd, &data[done], port.buffered ? total - done : 1);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      if (put < 0 && LineGone(errno)) port.lost = true;
      return false;
    }
    done += static_cast<std::size_t>(put);
  }
  return true;
}

bool FlushInput(Port& port) {
  if (!port.open || port.lost) return false;
  port.ahead.Drop();
  return tcflush(port.rec.handle, TCIFLUSH) == 0;
}

}  // namespace ttycard::serial
