#include "syscall_count.h"

namespace ttycard::bench {
namespace {
thread_local SyscallCounts t_counts;
}  // namespace

SyscallCounts& ThisThreadCounter() {
  return t_counts;
}

SyscallCounts ThisThreadSyscalls() {
  return t_counts;
}

}  // namespace ttycard::bench
