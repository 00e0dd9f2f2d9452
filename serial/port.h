// One serial line to a reader, as an object: the module record of the line
// (descriptor, settings, block time) plus what the module knows about it.
//
// The IO_ functions work on the one port of the process, whose record is
// `ioport`; a host that drives several readers gives each line a Port of its
// own and calls the functions below with it. Both run the same code.
#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstddef>

#include "serial.h"

namespace ttycard::serial {

// Characters taken off the line and not yet handed to a reader: the ones at
// [begin, end) of `chars`.
struct ReadAhead {
  std::array<unsigned char, 1024> chars{};
  std::size_t begin = 0;
  std::size_t end = 0;

  void Drop() { begin = end = 0; }
};

struct Port {
  explicit Port(IO_Port& record) : rec(record) {}
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;

  IO_Port& rec;       // descriptor, settings and block time of the line
  bool open = false;  // rec.handle is a descriptor this Port opened and holds
  bool lost = false;  // the line hung up or failed: every call fails at once
  dev_t device = 0;   // device number of the open line (for "is it the same port")

  // How the line is used. Off (the IO_ functions' port): one system call per
  // character each way. On (a PC/SC host's reader): a write puts the whole
  // frame out at once, and a read takes whatever has arrived into `ahead`,
  // waiting for the time the line needs to deliver the rest of a reply
  // rather than waking for every character. Every flush, every write and
  // every failed read drops `ahead`.
  bool buffered = false;
  ReadAhead ahead;
};

// Where the characters a read asks for stand in a reply: its first ones,
// which come when the reader has its answer ready, or the rest of a reply
// already on its way, which come at the line's pace.
enum class Arrival { kReply, kRest };

// Why an open failed.
enum class OpenError {
  kNone,
  kBadSettings,  // speed, data bits or parity the line cannot take
  kCannotOpen,   // open() failed (errno tells why: no such device, access)
  kBusy,         // another opener holds the line (locked or in exclusive mode)
  kConfigure,    // the line settings could not be applied or the input flushed
};
const char* Describe(OpenError error);

// After the line settings are applied, the UART needs this long before what
// it receives means anything; the input that arrived meanwhile is discarded.
inline constexpr auto kUartPause = std::chrono::milliseconds(400);
enum class Pause {
  kHere,      // Open waits kUartPause and discards the input before returning
  kByCaller,  // Open returns at once; the caller waits and calls FlushInput
};

// Opens and configures `path` exclusively: the terminal's exclusive mode
// (TIOCEXCL) and an advisory lock on the device (flock), taken before a
// single setting is changed, so a second opener, in this process or another,
// is refused without disturbing the line. Opening again while open replaces
// the earlier descriptor (also when it is the same device). On failure the
// port is left as it was and *err_no holds the errno of the failing call.
OpenError Open(Port& port, int speed, int bits, int parity, const char* path, int* err_no,
               Pause pause = Pause::kHere);
// `count` characters within one block time (one deadline for the whole
// call); on a timeout the line's queues are discarded.
bool Read(Port& port, int count, unsigned char* buf, Arrival arrival = Arrival::kReply);
bool Write(Port& port, int count, const unsigned char* data);
bool FlushInput(Port& port);
bool Close(Port& port);

}  // namespace ttycard::serial
