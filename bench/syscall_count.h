// System calls made by the calling thread through the serial line's
// primitives. The bench executable is linked with --wrap for poll, read,
// write, tcflush and clock_nanosleep, so every call the driver makes lands
// in a counting wrapper first; each thread counts its own.
#pragma once

#include <cstdint>

namespace ttycard::bench {

struct SyscallCounts {
  std::uint64_t poll = 0;
  std::uint64_t read = 0;
  std::uint64_t write = 0;
  std::uint64_t tcflush = 0;
  std::uint64_t sleep = 0;  // clock_nanosleep: waits for the rest of a reply

  std::uint64_t Total() const { return poll + read + write + tcflush + sleep; }
  SyscallCounts operator-(const SyscallCounts& o) const {
    return {poll - o.poll, read - o.read, write - o.write, tcflush - o.tcflush, sleep - o.sleep};
  }
};

// Calls made so far by this thread; all zero unless the wrappers
// (syscall_wrap.cpp) are linked in.
SyscallCounts ThisThreadSyscalls();
// The counter the wrappers increment.
SyscallCounts& ThisThreadCounter();

}  // namespace ttycard::bench
