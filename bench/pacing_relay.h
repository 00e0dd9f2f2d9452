// A stretch of serial line between the driver and the reader emulator that
// carries characters no faster than a real 9600-baud 8N2 line would.
//
// The relay owns a pseudo-terminal of its own: the driver opens its slave
// (NearPath()), the relay opens the emulator's slave (the far path), and
// one thread per direction forwards every character at the moment its last
// stop bit would have arrived (LineClock). Both directions are independent,
// as on a full-duplex RS-232 line. Lateness of the forwarding threads does
// not add up: every character is scheduled on the line's own clock, so a
// late wake-up delays only the characters due at that moment.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "line_model.h"

namespace ttycard::bench {

struct DirectionStats {
  std::uint64_t chars = 0;              // characters delivered
  std::chrono::nanoseconds late_max{};  // worst delivery after the scheduled arrival
  std::chrono::nanoseconds late_sum{};  // over the last character of every burst
  std::uint64_t bursts = 0;             // deliveries that emptied the queue
};

class PacingRelay {
 public:
  explicit PacingRelay(std::chrono::nanoseconds char_time = CharTime());
  ~PacingRelay();
  PacingRelay(const PacingRelay&) = delete;
  PacingRelay& operator=(const PacingRelay&) = delete;

  // Opens the near pseudo-terminal and `far_path`, and starts forwarding.
  bool Start(const std::string& far_path);
  void Stop();
  const std::string& NearPath() const { return near_path_; }

  DirectionStats ToFar() const;   // driver -> reader
  DirectionStats ToNear() const;  // reader -> driver
  void ResetStats();

 private:
  struct Direction;
  void Run(Direction& d);

  std::chrono::nanoseconds char_time_;
  std::string near_path_;
  int near_master_ = -1;
  int near_slave_ = -1;  // kept open so the master never sees a hang-up
  int far_ = -1;
  std::array<int, 2> wake_{-1, -1};
  std::atomic<bool> stop_{false};
  struct Direction* to_far_ = nullptr;
  struct Direction* to_near_ = nullptr;
  std::thread far_thread_;
  std::thread near_thread_;
};

}  // namespace ttycard::bench
