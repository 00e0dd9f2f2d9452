// What every T=1 exchange must look like on the wire, whoever calls it: the
// checks shared by the T=1 and the IFD fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fake_line.h"

namespace fuzzing {

// A misbehaving card may cost retries and waiting-time extensions, but an
// exchange must end: the longest command is 14 blocks, each worth a few
// retransmissions and a run of card requests, and the longest response is
// 272 bytes; far fewer than this many reader transactions are ever needed.
constexpr std::size_t kMaxT1Transactions = 1100;

// Checks the frames written for one exchange of `apdu` (log entries from
// `first` on): command 0xA1 around one sound T=1 block; I-blocks carrying the
// APDU's chunks in order, with N(S) toggling from one chunk to the next and
// across exchanges; R-blocks and S-responses of the right form, every
// S-response answering the card's request just before it, and the block time
// set to three seconds per unit before a waiting-time extension is answered.
void CheckT1Frames(const std::vector<std::uint8_t>& apdu, std::size_t first);

// True when `response` is what the card sent: the information fields of some
// of the blocks it answered with since log entry `first`, in order.
bool ResponseFromCard(std::size_t first, const std::uint8_t* response, std::size_t length);

}  // namespace fuzzing
