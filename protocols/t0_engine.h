// T=0 exchange of one APDU over a reader channel.
#pragma once

#include <cstddef>
#include <span>

#include "channel.h"

namespace ttycard::t0 {

// The reader answers a T=0 command only when the card has; that may take a
// while (key generation, EEPROM writes).
inline constexpr int kBlockTime = 60;

// Sends `apdu` (5 to 254 bytes) in command 0xA0 and puts the card's answer
// (data, SW1 SW2) into `out`. ADM_OK with *outlen; ADM_FAILURE for an APDU
// of the wrong length (*outlen = 0, nothing sent); ADM_COMM_ERROR when the
// exchange failed or the answer cannot be the card's whole answer (shorter
// than SW1 SW2, or for a 5-byte command neither SW1 SW2 alone nor P3 data
// bytes and SW1 SW2), or does not fit `out` (`out` untouched).
int Exchange(proto::Channel& channel, std::span<const unsigned char> apdu,
             std::span<unsigned char> out, std::size_t* outlen, int block_time = kBlockTime);

}  // namespace ttycard::t0
