// What an answer-to-reset (ISO/IEC 7816-3, clause 8) says about the card.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ttycard::atr {

struct Info {
  bool valid = false;            // TS 3B or 3F, and every announced byte present
  std::uint32_t protocols = 0;   // bit T set for every protocol T=0..14 some TDi names
  unsigned int ifsc = 32;        // the card's IFSC: first TAi (i > 2) after a TD naming T=1
  unsigned int fi = 372;         // clock rate conversion factor, from TA1
  unsigned int di = 1;           // baud rate adjustment factor, from TA1
  unsigned int fmax_khz = 5000;  // the card's maximum clock, from TA1
  bool specific_mode = false;    // TA2 present: the card runs at Fi/Di at once
};

Info Parse(const unsigned char* atr, std::size_t length) noexcept;

// The transmission protocols the ATR offers, as a mask with bit T set for
// every protocol T=0..14 that some TDi names (bit 0 = T=0, bit 1 = T=1: the
// same values as SCARD_PROTOCOL_T0 and SCARD_PROTOCOL_T1). An ATR without TD1
// offers T=0 only. T=15 is not a protocol (it introduces global bytes) and is
// left out. Something that is not an ATR (no TS of 3B or 3F, or cut short
// before the interface bytes it announces) offers nothing: 0.
std::uint32_t Protocols(const unsigned char* atr, std::size_t length) noexcept;

}  // namespace ttycard::atr
