// Serial line to the reader.
//
// The reader hangs on an RS-232 port at 9600 baud, 8 data bits, no parity,
// two stop bits. The line runs raw: every byte the reader sends reaches us
// untouched. Reading and writing it: line_io.cpp.
//
// A Port owns exactly one descriptor. It is opened by Open and closed by
// Close (or by a parameter update that fails); every other call refuses to
// act when no port is open, so a stale number in the record (0 before the
// first open, or a closed descriptor) is never touched. The line belongs to
// one opener: the terminal's exclusive mode keeps other processes out, and an
// advisory lock on the device refuses a second opener in this process too.
// A line that hangs up (a USB adapter pulled, the far end of a terminal
// closed) or fails with an I/O error is marked lost, and every later read or
// write fails at once instead of waiting on a dead descriptor.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

#include "line_settings.h"
#include "port.h"

namespace ttycard::serial {
namespace {

OpenError Abandon(int fd, OpenError why, int* err_no) {
  if (err_no != nullptr) *err_no = errno;
  close(fd);
  return why;
}

dev_t DeviceOf(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return 0;
  return S_ISCHR(st.st_mode) ? st.st_rdev : st.st_ino;
}

bool SameDevice(const Port& port, const char* path) {
  if (!port.open) return false;
  struct stat st {};
  if (stat(path, &st) != 0) return false;
  return (S_ISCHR(st.st_mode) ? st.st_rdev : st.st_ino) == port.device;
}

}  // namespace

const char* Describe(OpenError error) {
  switch (error) {
    case OpenError::kNone:
      return "opened";
    case OpenError::kBadSettings:
      return "line settings not supported";
    case OpenError::kCannotOpen:
      return "cannot open the device";
    case OpenError::kBusy:
      return "the device is already in use by another reader entry or process";
    case OpenError::kConfigure:
      return "cannot configure the line";
  }
  return "?";
}

OpenError Open(Port& port, int speed, int bits, int parity, const char* path, int* err_no,
               Pause pause) {
  if (err_no != nullptr) *err_no = 0;
  termios tio{};
  if (path == nullptr || !BuildLineSettings(speed, bits, parity, tio)) {
    if (err_no != nullptr) *err_no = EINVAL;
    return OpenError::kBadSettings;
  }

  // Reopening the line we hold: let our own exclusive mode and lock stand
  // aside for the new descriptor; they move to it below.
  const bool replacing_self = SameDevice(port, path);
  if (replacing_self) ioctl(port.rec.handle, TIOCNXCL);

  // Read-write, and never become the controlling terminal of this process: a
  // hang-up on the line must not send us SIGHUP. Non-blocking while opening,
  // so that a port without carrier does not hold us before CLOCAL is set.
  const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    const int e = errno;
    if (replacing_self) ioctl(port.rec.handle, TIOCEXCL);
    if (err_no != nullptr) *err_no = e;
    return e == EBUSY ? OpenError::kBusy : OpenError::kCannotOpen;
  }
  // The lock first: a line another opener holds is not touched, not even its
  // settings.
  if (!replacing_self && flock(fd, LOCK_EX | LOCK_NB) != 0) {
    return Abandon(fd, OpenError::kBusy, err_no);
  }
  if (isatty(fd)) ioctl(fd, TIOCEXCL);  // other processes' opens now fail (EBUSY)

  if (tcsetattr(fd, TCSANOW, &tio) != 0) {
    if (replacing_self) ioctl(port.rec.handle, TIOCEXCL);
    return Abandon(fd, OpenError::kConfigure, err_no);
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);

  // Give the UART and the reader time to settle on the new settings, then
  // throw away whatever noise arrived while they did (or leave both to a
  // caller that lets the line settle while it does other work).
  if (pause == Pause::kHere) std::this_thread::sleep_for(kUartPause);  // resumes after signals
  if (pause == Pause::kHere && tcflush(fd, TCIFLUSH) != 0) {
    if (replacing_self) ioctl(port.rec.handle, TIOCEXCL);
    return Abandon(fd, OpenError::kConfigure, err_no);
  }

  // One descriptor per port: an earlier one is ours and is replaced, so
  // close it rather than leak it (which also drops its lock).
  if (port.open) close(port.rec.handle);
  if (replacing_self) flock(fd, LOCK_EX | LOCK_NB);
  port.rec.handle = fd;
  port.rec.baud = static_cast<unsigned int>(speed);
  port.rec.bits = static_cast<unsigned char>(bits);
  port.rec.stopbits = 2;
  port.rec.parity = static_cast<char>(parity & 0xFF);
  port.rec.blocktime = 1;
  port.open = true;
  port.lost = false;
  port.device = DeviceOf(fd);
  port.ahead.Drop();
  return OpenError::kNone;
}

bool Close(Port& port) {
  if (!port.open) return false;
  port.ahead.Drop();
  port.open = false;
  port.lost = false;
  port.device = 0;
  // The exclusive mode belongs to the terminal, not to our descriptor: it
  // outlives the close while anybody else keeps the terminal open (a pty's
  // other side, a getty), and would then lock out every later opener. The
  // lock goes with the descriptor, which is gone after close() whatever it
  // reports (Linux), so it is never closed twice.
  ioctl(port.rec.handle, TIOCNXCL);
  return close(port.rec.handle) == 0;
}

}  // namespace ttycard::serial

extern "C" {
IO_Port ioport{};
}

namespace {

// The one port of the process, the one the IO_ functions drive.
ttycard::serial::Port g_port{ioport};

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

// A parameter update that cannot be applied leaves the port closed.
int FailUpdate() {
  ttycard::serial::Close(g_port);
  return -1;
}

}  // namespace

extern "C" {

int IO_InitializePort(int speed, int bits, int parity, const char* path) {
  return ttycard::serial::Open(g_port, speed, bits, parity, path, nullptr) ==
                 ttycard::serial::OpenError::kNone
             ? 1
             : 0;
}

int IO_Read(int count, unsigned char* buf) {
  return ttycard::serial::Read(g_port, count, buf) ? 1 : 0;
}

int IO_Write(int count, const unsigned char* data) {
  return ttycard::serial::Write(g_port, count, data) ? 1 : 0;
}

int IO_FlushBuffer(void) {
  return ttycard::serial::FlushInput(g_port) ? 1 : 0;
}

int IO_UpdateParity(char parity) {
  if (!g_port.open) return -1;
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
  if (!g_port.open) return -1;
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
  if (!g_port.open) return 0;
  return ttycard::serial::Close(g_port) ? 1 : 0;
}

}  // extern "C"
