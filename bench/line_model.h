// The serial line to the reader as a clock: 9600 baud, one start bit, 8 data
// bits, no parity, 2 stop bits, so every character occupies the line for 11
// bit times. A character can start only when it has been handed to the line
// and the previous character has left it; it has arrived at the far end one
// character time later.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace ttycard::bench {

using Clock = std::chrono::steady_clock;

inline constexpr int kBaud = 9600;
inline constexpr int kBitsPerChar = 11;  // start + 8 data + 2 stop

// Seconds one character occupies a line of `baud` with `bits` per character.
constexpr double CharSeconds(int baud = kBaud, int bits = kBitsPerChar) {
  return static_cast<double>(bits) / baud;
}

// The same, in whole nanoseconds (1145833 ns at 9600 baud 8N2).
constexpr std::chrono::nanoseconds CharTime(int baud = kBaud, int bits = kBitsPerChar) {
  return std::chrono::nanoseconds(static_cast<std::int64_t>(bits) * 1'000'000'000 / baud);
}

// Seconds the line needs to carry `chars` characters back to back: the
// physical limit of any exchange of that many characters.
constexpr double LineSeconds(std::uint64_t chars, int baud = kBaud, int bits = kBitsPerChar) {
  return static_cast<double>(chars) * CharSeconds(baud, bits);
}

// One direction of the line.
class LineClock {
 public:
  explicit LineClock(std::chrono::nanoseconds char_time) : char_time_(char_time) {}

  // A character handed to the line at `ready`: the time its last stop bit
  // arrives at the far end.
  Clock::time_point Accept(Clock::time_point ready) {
    free_ = std::max(ready, free_) + char_time_;
    return free_;
  }
  // When the line is idle again.
  Clock::time_point Free() const { return free_; }

 private:
  std::chrono::nanoseconds char_time_;
  Clock::time_point free_{};
};

}  // namespace ttycard::bench
