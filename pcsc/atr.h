// What an answer-to-reset (ISO/IEC 7816-3) says about the card's protocols.
#ifndef TTYCARD_PCSC_ATR_H
#define TTYCARD_PCSC_ATR_H

#include <cstddef>
#include <cstdint>

namespace ttycard::pcsc {

// The transmission protocols the ATR offers, as a mask with bit T set for
// every protocol T=0..14 that some TDi names (bit 0 = T=0, bit 1 = T=1: the
// same values as SCARD_PROTOCOL_T0 and SCARD_PROTOCOL_T1). An ATR without TD1
// offers T=0 only. T=15 is not a protocol (it introduces global bytes) and is
// left out. Something that is not an ATR (no TS of 3B or 3F, or cut short
// before the interface bytes it announces) offers nothing: 0.
std::uint32_t AtrProtocols(const unsigned char* atr, std::size_t length) noexcept;

}  // namespace ttycard::pcsc

#endif  // TTYCARD_PCSC_ATR_H
