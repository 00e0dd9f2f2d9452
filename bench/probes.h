// Measurements that need no reader: the frame codec and checksums on their
// own, and how late a read on a silent line gives up.
#pragma once

#include <vector>

#include "report.h"

namespace ttycard::bench {

// Bytes per second of Adm_Convert2Ascii, Adm_Convert2Hex, Adm_CheckSum and
// T1CalculateLRC on frame-sized buffers, each run for about `seconds`.
std::vector<CodecRow> MeasureCodec(double seconds);

// Opens the serial module on a pseudo-terminal nobody writes to, sets a
// block time of `block_s` and times `tries` reads of a reply head.
TimeoutResult MeasureReadTimeout(int tries, int block_s = 1);

}  // namespace ttycard::bench
