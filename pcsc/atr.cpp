// ATR interface bytes: after TS and T0, each group i holds TAi, TBi, TCi and
// TDi as far as the high nibble of the byte before (T0 for group 1, TD(i-1)
// after that) announces them: bit 4 TA, bit 5 TB, bit 6 TC, bit 7 TD. The low
// nibble of TDi names a protocol.

#include "atr.h"

namespace ttycard::pcsc {

namespace {

constexpr unsigned char kTsDirect = 0x3B;
constexpr unsigned char kTsInverse = 0x3F;
constexpr unsigned int kGlobalBytes = 15;  // "T=15": global interface bytes

}  // namespace

std::uint32_t AtrProtocols(const unsigned char* atr, std::size_t length) noexcept {
  if (atr == nullptr || length < 2) return 0;
  if (atr[0] != kTsDirect && atr[0] != kTsInverse) return 0;

  std::uint32_t offered = 0;
  bool saw_td1 = false;
  unsigned char indicator = atr[1];  // T0: its high nibble announces group 1
  std::size_t pos = 2;
  while (true) {
    // TA, TB and TC of this group are skipped; TD, if announced, follows them.
    const unsigned int skipped =
        ((indicator >> 4) & 1u) + ((indicator >> 5) & 1u) + ((indicator >> 6) & 1u);
    pos += skipped;
    if ((indicator & 0x80) == 0) {
      // No TD in this group: the interface bytes end here. They must all be
      // in the ATR for it to be one.
      if (pos > length) return 0;
      break;
    }
    if (pos >= length) return 0;
    const unsigned char td = atr[pos++];
    const unsigned int protocol = td & 0x0F;
    if (protocol != kGlobalBytes) offered |= 1u << protocol;
    saw_td1 = true;
    indicator = td;
  }
  return saw_td1 ? offered : 1u;  // without TD1 the card speaks T=0
}

}  // namespace ttycard::pcsc
