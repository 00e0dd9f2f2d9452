// One APDU to the card through the version 1.0 entry point. That interface
// caps the receive length a caller may state at 257, one short of a full
// short-APDU answer (256 data bytes and SW1 SW2); a PC/SC host goes through
// ifd::Reader instead (reader_context.h).
#pragma once

#include <cstdint>

namespace ttycard::ifd {

// Sends `tx` (txlen bytes; a 4-byte APDU gets P3 = 0 in a copy) with
// protocol 0 (T=0) or 1 (T=1) and puts the response into `rx`, which holds
// `capacity` bytes. Returns an IFD result code; *rxlen is the response
// length, 0 on every error. A response longer than `capacity` is an error.
std::uint32_t Transmit(std::uint32_t protocol, const unsigned char* tx, std::uint32_t txlen,
                       unsigned char* rx, std::uint32_t capacity, std::uint32_t* rxlen);

}  // namespace ttycard::ifd
