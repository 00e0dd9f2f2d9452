// The scripted serial line (tests/support/scripted_line.h) set up for the
// fuzz targets: the reader is played from the fuzz input, and every fault the
// line sees in the driver's manners stops the run.
//
// Two ways to play the reader:
//
//   kStream  the input is the stream of characters the reader sends; every
//            IO_Read takes the next characters, and once they run out reads
//            time out.
//   kReader  every frame the driver writes is checked (header 0x01, a known
//            command, its length byte and XOR; the run stops if one is
//            malformed) and answered with a well-formed reader reply whose
//            data is the next chunk of the input:
//
//              h            h < 0xFF: h data bytes follow
//              0xFF 0x00    the reader stays silent for this command
//              0xFF x       x != 0: 255 data bytes follow (extended length)
//
//            A chunk cut short by the end of the input carries what is left;
//            with no input left at all the reader stays silent.
//
// Every input starts on a new reader (the link learns its checksum rule
// afresh) with the 4 s block time of a reader just opened.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "scripted_line.h"

namespace fuzzing {

using ttycard::test::Line;
using ttycard::test::Remaining;
using ttycard::test::TakeByte;

enum class LineMode { kStream, kReader };

// One command frame written in reader mode and what the reader did with it.
struct Transaction {
  std::vector<std::uint8_t> frame;  // decoded reader frame
  bool answered = false;            // false: the reader stayed silent
  std::vector<std::uint8_t> reply;  // reply data served
  int blocktime = 0;                // block time in force when it was written
};

// Reader mode: one entry per frame written since StartLine.
const std::vector<Transaction>& Log();

void StartLine(LineMode mode, const std::uint8_t* data, std::size_t size);

}  // namespace fuzzing
