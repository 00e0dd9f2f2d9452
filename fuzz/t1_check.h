// What every T=1 exchange must look like on the wire, whoever calls it: the
// checks shared by the T=1 and the IFD fuzz targets.
//
// The exchange is replayed here from the card's answers in the log, by the
// rules the driver follows (protocols/t1_engine.cpp): every block the driver
// wrote must be the one the rules call for at that point, no block may be
// missing or added, and the result and response the exchange must end with
// come out of the replay.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "reader_line.h"

namespace fuzzing {

struct T1Outcome {
  int result = 0;                      // ADM_OK, ADM_COMM_ERROR or T1_CHAIN_ERROR
  std::vector<std::uint8_t> response;  // ADM_OK: the card's response
};

// Checks the frames written for one exchange of `apdu` (log entries from
// `first` on) and returns how the exchange must end. The sequence numbers
// and what is pending with the card live as long as the process, in the
// driver and in this shadow of it.
T1Outcome CheckT1Exchange(const std::vector<std::uint8_t>& apdu, std::size_t first);

// The card answered a reset: its numbering starts again, nothing is pending.
void T1CardWasReset();

}  // namespace fuzzing
