// What an answer-to-reset (ISO/IEC 7816-3, clause 8) says about the card,
// and the rule that makes a reader's answer to a reset the card's ATR.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace ttycard::atr {

struct Info {
  bool valid = false;            // TS 3B or 3F, and every announced byte present
  std::uint32_t protocols = 0;   // bit T set for every protocol T=0..14 some TDi names
  std::uint32_t runs = 0;        // bit T of the protocol the card runs after the ATR, or 0
  unsigned int ifsc = 32;        // the card's IFSC: first TAi (i > 2) after a TD naming T=1
  unsigned int fi = 372;         // clock rate conversion factor, from TA1
  unsigned int di = 1;           // baud rate adjustment factor, from TA1
  unsigned int fmax_khz = 5000;  // the card's maximum clock, from TA1
  bool specific_mode = false;    // TA2 present: the card runs at Fi/Di at once
};

// `protocols` uses the values of SCARD_PROTOCOL_T0 and SCARD_PROTOCOL_T1
// (bit 0 = T=0, bit 1 = T=1); an ATR without TD1 offers T=0 only, and T=15
// is not a protocol (it introduces global bytes). Without a PPS, which this
// reader cannot send, the card runs one protocol from its ATR on: TA2's in
// specific mode, else the first one offered, the one TD1 names (T=0 when
// there is no TD1). `runs` has that protocol's bit; it is 0 when TD1 or TA2
// names T=15. Something that is not an ATR (no TS of 3B or 3F, or cut short
// before the interface bytes it announces) is not `valid` and offers and
// runs nothing.
Info Parse(const unsigned char* atr, std::size_t length) noexcept;

// No ATR is longer than 33 bytes.
inline constexpr std::size_t kMaxLength = 33;

// The reader's answer to a reset becomes the card's ATR: copied into
// `record`, which is zero-filled after it, with its length in *length. An
// answer longer than kMaxLength is no ATR, nor an empty one unless
// `empty_allowed` (the reader answers so for an empty slot): false, and
// nothing is changed.
bool Store(std::span<const unsigned char> answer, bool empty_allowed,
           std::span<unsigned char, kMaxLength> record, std::size_t* length) noexcept;

// Store, and a new card session starts: `new_session` gets what the new ATR
// says (the T=1 state starts afresh with the card's IFSC, the protocol the
// card runs is taken from it).
template <typename NewSession>
bool Take(std::span<const unsigned char> answer, bool empty_allowed,
          std::span<unsigned char, kMaxLength> record, std::size_t* length,
          NewSession&& new_session) noexcept {
  if (!Store(answer, empty_allowed, record, length)) return false;
  new_session(Parse(record.data(), *length));
  return true;
}

}  // namespace ttycard::atr
