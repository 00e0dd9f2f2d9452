// Stand-in for the serial line, for the fuzz targets: the driver's IO_
// functions are served from the fuzz input instead of a device.
//
// Two ways to play the reader:
//
//   kStream  the input is the stream of characters the reader sends; every
//            IO_Read takes the next characters, and once they run out reads
//            time out.
//   kReader  the line decodes every frame the driver writes (and stops the
//            run if one is malformed) and answers it with a well-formed
//            reader reply whose data is the next chunk of the input:
//
//              h            h < 0xFF: h data bytes follow
//              0xFF 0x00    the reader stays silent for this command
//              0xFF x       x != 0: 255 data bytes follow (extended length)
//
//            A chunk cut short by the end of the input carries what is left;
//            with no input left at all the reader stays silent.
//
// Block time: IO_UpdateReturnBlock records it (and checks it lies within
// what a waiting-time extension can ask for); a read that times out costs one
// block time of simulated waiting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace fuzzing {

enum class LineMode { kStream, kReader };

// One command frame written in reader mode and what the reader did with it.
struct Transaction {
  std::vector<std::uint8_t> frame;  // decoded reader frame
  bool answered = false;            // false: the reader stayed silent
  std::vector<std::uint8_t> reply;  // reply data served
  int blocktime = 0;                // block time in force when it was written
};

struct LineState {
  LineMode mode = LineMode::kStream;
  const std::uint8_t* input = nullptr;
  std::size_t size = 0;
  std::size_t pos = 0;
  bool fail_writes = false;  // IO_Write reports failure

  std::vector<std::uint8_t> written;  // every character written, in order
  std::vector<Transaction> log;       // reader mode: one entry per frame
  std::vector<std::uint8_t> text;     // reader mode: frame being written
  std::vector<std::uint8_t> pending;  // reader mode: reply not yet read
  std::size_t pending_pos = 0;
  bool timed_out = false;  // last read timed out and nothing was written since
  int timeouts = 0;
  long simulated_seconds = 0;   // time spent waiting for silent replies
  std::vector<int> blocktimes;  // every block time set, in order
};

LineState& Line();

// Starts a fresh line over `data`, with the 4 s block time of a reader just
// opened.
void StartLine(LineMode mode, const std::uint8_t* data, std::size_t size);

// Control bytes the target itself takes from the input.
std::optional<std::uint8_t> TakeByte();
std::size_t Remaining();

}  // namespace fuzzing
