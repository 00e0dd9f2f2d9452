// Linked only into the bench executable, together with --wrap=poll (etc.):
// the linker sends every reference to `poll` here, and `__real_poll` to the
// C library's function.
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "syscall_count.h"

using ttycard::bench::ThisThreadCounter;

extern "C" {
int __real_poll(pollfd* fds, nfds_t n, int timeout);
ssize_t __real_read(int fd, void* buf, size_t n);
ssize_t __real_write(int fd, const void* buf, size_t n);
int __real_tcflush(int fd, int queue);
int __real_clock_nanosleep(clockid_t clock, int flags, const timespec* t, timespec* rest);

int __wrap_poll(pollfd* fds, nfds_t n, int timeout) {
  ++ThisThreadCounter().poll;
  return __real_poll(fds, n, timeout);
}
ssize_t __wrap_read(int fd, void* buf, size_t n) {
  ++ThisThreadCounter().read;
  return __real_read(fd, buf, n);
}
ssize_t __wrap_write(int fd, const void* buf, size_t n) {
  ++ThisThreadCounter().write;
  return __real_write(fd, buf, n);
}
int __wrap_tcflush(int fd, int queue) {
  ++ThisThreadCounter().tcflush;
  return __real_tcflush(fd, queue);
}
int __wrap_clock_nanosleep(clockid_t clock, int flags, const timespec* t, timespec* rest) {
  ++ThisThreadCounter().sleep;
  return __real_clock_nanosleep(clock, flags, t, rest);
}
}
