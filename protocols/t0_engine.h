// T=0 exchange of one APDU over a reader channel.
#pragma once

#include <cstddef>
#include <span>

#include "channel.h"

namespace ttycard::t0 {

// The reader answers a T=0 command only when the card has; that may take a
// while (key generation, EEPROM writes).
inline constexpr int kBlockTime = 60;

// The reader's T=0 frame counts the APDU and one more byte in a single
// length byte: at most 254 APDU bytes, which leave 249 bytes of command data
// after CLA INS P1 P2 Lc.
inline constexpr std::size_t kMaxCommand = ADM_MAX_CARD_PAYLOAD;
inline constexpr std::size_t kMaxData = kMaxCommand - 5;
// A case 1 command is its four header bytes; T=0 sends it with P3 = 0.
inline constexpr std::size_t kCase1 = 4;

// Sends `apdu` (4 to kMaxCommand bytes) in command 0xA0 and puts the card's
// answer (data, SW1 SW2) into `out`. ADM_OK with *outlen; ADM_FAILURE for an
// APDU of the wrong length (*outlen = 0, nothing sent); ADM_COMM_ERROR when
// the exchange failed or the answer cannot be the card's whole answer
// (shorter than SW1 SW2, or for a 5-byte command neither SW1 SW2 alone nor
// P3 data bytes and SW1 SW2), or does not fit `out` (`out` untouched).
int Exchange(proto::Channel& channel, std::span<const unsigned char> apdu,
             std::span<unsigned char> out, std::size_t* outlen, int block_time = kBlockTime);

}  // namespace ttycard::t0
