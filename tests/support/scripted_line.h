// The scripted serial line: one stand-in for the serial module (every IO_
// function and the `ioport` record) under the link, protocol and IFD layers,
// for the unit tests and the fuzz targets alike. Nothing waits on a clock: a
// read that finds too few characters has "timed out" at once, costing one
// block time of simulated waiting.
//
// The reader is played one of two ways:
//
//   responder  every complete command frame the driver writes is decoded and
//              handed to `responder`, whose return value is the characters
//              the reader sends back (empty: silence);
//   stream     (`stream` set) reads take the next bytes of the script, one
//              after the other, whatever was written; once the script runs
//              out, reads time out.
//
// The script is a byte string a test or a fuzz input provides; TakeByte()
// hands its bytes out in order, to the responder or to the caller itself.
//
// The line also watches the driver's manners: a frame that is not STX,
// upper-case hex pairs and ETX, a read after a timed-out read and before the
// next write (it would take characters of some later answer), and a block
// time outside 0..765 s are faults, counted and passed to `on_fault`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ttycard::test {

using Bytes = std::vector<std::uint8_t>;

struct ScriptedLine {
  std::function<std::string(const Bytes& frame)> responder;
  bool stream = false;

  const std::uint8_t* script = nullptr;
  std::size_t script_size = 0;
  std::size_t script_pos = 0;

  bool fail_writes = false;  // IO_Write reports failure and sends nothing
  bool open_fails = false;
  bool close_fails = false;
  std::function<void(const char* what)> on_fault;
  int faults = 0;

  std::string written;              // every character written, in order
  std::vector<Bytes> frames;        // every command frame written, decoded
  std::string pending;              // characters waiting to be read
  std::vector<int> blocktimes;      // every block time set, in order
  std::vector<std::string> opened;  // paths given to IO_InitializePort
  bool is_open = false;
  int timeouts = 0;
  long waited_seconds = 0;      // simulated time spent in timed-out reads
  bool timed_out = false;       // the last read timed out and nothing was written since
  std::size_t frame_start = 0;  // where in `written` the frame being written begins
};

// The one line of the process.
ScriptedLine& Line();
// A clean line (the fault handler stays), a zeroed `ioport`, and a link that
// knows nothing yet of the reader's checksum rule: a new reader.
void ResetLine();

std::optional<std::uint8_t> TakeByte();
std::size_t Remaining();

// Upper-case hex of bytes, e.g. "0180" for {0x01, 0x80}.
std::string Hex(const Bytes& data);

}  // namespace ttycard::test
