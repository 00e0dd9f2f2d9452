// Serial line to the reader.
//
// The reader hangs on an RS-232 port at 9600 baud, 8 data bits, no parity,
// two stop bits. The line runs raw: every byte the reader sends reaches us
// untouched, and a read is bounded by the block time (whole seconds) for the
// whole call, not per byte: one deadline on the monotonic clock, each wait
// gets only what is left of it.
//
// The module owns exactly one descriptor. It is opened by IO_InitializePort
// and closed by IO_Close (or by a parameter update that fails); every other
// call refuses to act when no port is open, so a stale number in `ioport`
// (0 before the first open, or a closed descriptor) is never touched.

#include "serial.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

#include "line_settings.h"

extern "C" {
IO_Port ioport{};
}

namespace {

using Clock = std::chrono::steady_clock;

// True while `ioport.handle` is a descriptor this module opened and has not
// closed yet.
bool g_open = false;

// Milliseconds left until `deadline`, rounded up so that a wait never ends
// before it; 0 once it has passed.
int MillisecondsLeft(Clock::time_point deadline) {
  const auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

// Closes a descriptor that failed while being configured.
int Abandon(int fd) {
  close(fd);
  return 0;
}

// A parameter update that cannot be applied leaves the port closed.
int FailUpdate() {
  close(ioport.handle);
  g_open = false;
  return -1;
}

// Reads the line's attributes, lets `change` edit them, then discards pending
// input and applies them at once. Returns false (and closes the port) when
// any step fails.
template <typename Change>
bool Reconfigure(Change change) {
  termios tio{};
  if (tcgetattr(ioport.handle, &tio) != 0) return false;
  change(tio);
  if (tcflush(ioport.handle, TCIFLUSH) != 0) return false;
  return tcsetattr(ioport.handle, TCSANOW, &tio) == 0;
}

}  // namespace

extern "C" {

int IO_InitializePort(int speed, int bits, int parity, const char* path) {
  termios tio{};
  if (path == nullptr || !ttycard::serial::BuildLineSettings(speed, bits, parity, tio)) return 0;

  // Read-write, and never become the controlling terminal of this process:
  // a hang-up on the line must not send us SIGHUP.
  const int fd = open(path, O_RDWR | O_NOCTTY);
  if (fd < 0) return 0;
  if (tcsetattr(fd, TCSANOW, &tio) != 0) return Abandon(fd);

  // Give the UART and the reader time to settle on the new settings, then
  // throw away whatever noise arrived while they did.
  std::this_thread::sleep_for(std::chrono::milliseconds(400));  // resumes after signals
  if (tcflush(fd, TCIFLUSH) != 0) return Abandon(fd);

  // One port per process: a port opened earlier is ours and is replaced, so
  // close it rather than leak it.
  if (g_open) close(ioport.handle);
  ioport.handle = fd;
  ioport.baud = static_cast<unsigned int>(speed);
  ioport.bits = static_cast<unsigned char>(bits);
  ioport.stopbits = 2;
  ioport.parity = static_cast<char>(parity & 0xFF);
  ioport.blocktime = 1;
  g_open = true;
  return 1;
}

int IO_Read(int count, unsigned char* buf) {
  if (count <= 0) return 1;
  if (!g_open || buf == nullptr) return 0;

  const int fd = ioport.handle;
  const int seconds = ioport.blocktime > 0 ? ioport.blocktime : 0;
  const auto deadline = Clock::now() + std::chrono::seconds(seconds);

  for (int stored = 0; stored < count;) {
    pollfd pfd{fd, POLLIN, 0};
    const int ready = poll(&pfd, 1, MillisecondsLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;             // wait again for what is left
    if (ready <= 0 || (pfd.revents & POLLIN) == 0) break;  // timeout, error or hang-up
    const ssize_t got = read(fd, &buf[stored], 1);
    if (got == 1) {
      ++stored;
    } else if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
      continue;  // nothing taken; the deadline still bounds the retry
    } else {
      break;  // end of file or a line error: no byte arrived
    }
    if (stored == count) return 1;
  }
  // Leave the line clean for the next command: whatever is late of this
  // reply, and whatever we had queued, is discarded.
  tcflush(fd, TCIOFLUSH);
  return 0;
}

int IO_Write(int count, const unsigned char* data) {
  if (!g_open) return 0;
  const int fd = ioport.handle;
  tcflush(fd, TCIOFLUSH);  // a command starts from empty queues both ways
  if (count <= 0) return 1;
  if (data == nullptr) return 0;
  for (int i = 0; i < count; ++i) {
    ssize_t put = 0;
    do {
      put = write(fd, &data[i], 1);
    } while (put < 0 && errno == EINTR);
    if (put != 1) return 0;
  }
  return 1;
}

int IO_FlushBuffer(void) {
  if (!g_open) return 0;
  return tcflush(ioport.handle, TCIFLUSH) == 0 ? 1 : 0;
}

int IO_UpdateParity(char parity) {
  if (!g_open) return -1;
  const bool ok = Reconfigure([parity](termios& tio) {
    // Only the sense of a parity enabled at opening changes here.
    if (parity == 'O') tio.c_cflag |= PARODD;
    if (parity == 'E') tio.c_cflag &= ~static_cast<tcflag_t>(PARODD);
  });
  if (!ok) return FailUpdate();
  ioport.parity = parity;
  return parity;
}

int IO_UpdateStopBits(int stopbits) {
  if (!g_open) return -1;
  const bool ok = Reconfigure([stopbits](termios& tio) {
    if (stopbits == 2) tio.c_cflag |= CSTOPB;
    if (stopbits == 1) tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
  });
  if (!ok) return FailUpdate();
  ioport.stopbits = stopbits;
  return stopbits;
}

int IO_UpdateReturnBlock(int seconds) {
  std::printf("Setting block time to %d\n", seconds);
  std::fflush(stdout);
  ioport.blocktime = seconds;
  return seconds;
}

int IO_ReturnHandle(void) {
  return ioport.handle;
}
int IO_ReturnBaudRate(void) {
  return static_cast<int>(ioport.baud);
}
int IO_ReturnParity(void) {
  return ioport.parity;
}
int IO_ReturnStopBits(void) {
  return ioport.stopbits;
}

int IO_Close(void) {
  if (!g_open) return 0;
  g_open = false;
  // The descriptor is gone after close() whatever it reports (Linux), so it
  // is never closed twice.
  return close(ioport.handle) == 0 ? 1 : 0;
}

}  // extern "C"
