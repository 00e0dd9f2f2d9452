// ATR interface bytes: after TS and T0, each group i holds TAi, TBi, TCi and
// TDi as far as the high nibble of the byte before (T0 for group 1, TD(i-1)
// after that) announces them: bit 4 TA, bit 5 TB, bit 6 TC, bit 7 TD. The low
// nibble of TDi names a protocol.
//
//   TA1   high nibble Fi (and the card's fmax), low nibble Di
//   TA2   present: specific mode, the card works at Fi/Di from the start in
//         the protocol of TA2's low nibble
//   TD1   low nibble: the first protocol offered, the one the card runs
//         after the ATR unless TA2 names another
//   TAi   i > 2, in a group introduced by a TD naming T=1: the card's IFSC

#include "atr.h"

#include <algorithm>
#include <array>

namespace ttycard::atr {
namespace {

constexpr unsigned char kTsDirect = 0x3B;
constexpr unsigned char kTsInverse = 0x3F;
constexpr unsigned int kGlobalBytes = 15;  // "T=15": global interface bytes
constexpr unsigned int kT1 = 1;

struct Rate {
  unsigned int f;
  unsigned int fmax_khz;
};
// Fi and f(max) by the high nibble of TA1 (0 for reserved values).
constexpr std::array<Rate, 16> kFi{{{372, 4000},
                                    {372, 5000},
                                    {558, 6000},
                                    {744, 8000},
                                    {1116, 12000},
                                    {1488, 16000},
                                    {1860, 20000},
                                    {0, 0},
                                    {0, 0},
                                    {512, 5000},
                                    {768, 7500},
                                    {1024, 10000},
                                    {1536, 15000},
                                    {2048, 20000},
                                    {0, 0},
                                    {0, 0}}};
// Di by the low nibble of TA1 (0 for reserved values).
constexpr std::array<unsigned int, 16> kDi{0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};

// An ATR cut short before the bytes it announces offers nothing.
Info CutShort(Info info) {
  info.protocols = 0;
  return info;
}

}  // namespace

Info Parse(const unsigned char* atr, std::size_t length) noexcept {
  Info info;
  if (atr == nullptr || length < 2) return info;
  if (atr[0] != kTsDirect && atr[0] != kTsInverse) return info;

  bool saw_td1 = false;
  bool ifsc_seen = false;
  unsigned int first = 0;     // the protocol TD1 names; T=0 without TD1
  unsigned int specific = 0;  // the protocol TA2 names
  unsigned int group = 1;
  unsigned int protocol_of_group = 0;  // the protocol the TD before this group named
  unsigned char indicator = atr[1];    // T0: its high nibble announces group 1
  std::size_t pos = 2;
  for (;; ++group) {
    for (unsigned int bit = 4; bit < 7; ++bit) {
      if ((indicator >> bit & 1u) == 0) continue;
      if (pos >= length) return CutShort(info);
      const unsigned char byte = atr[pos++];
      if (bit == 4 && group == 1) {
        const Rate rate = kFi[byte >> 4];
        const unsigned int d = kDi[byte & 0x0F];
        if (rate.f != 0 && d != 0) {
          info.fi = rate.f;
          info.fmax_khz = rate.fmax_khz;
          info.di = d;
        }
      }
      if (bit == 4 && group == 2) {
        info.specific_mode = true;
        specific = byte & 0x0F;
      }
      if (bit == 4 && group > 2 && protocol_of_group == kT1 && !ifsc_seen) {
        ifsc_seen = true;
        if (byte != 0x00 && byte != 0xFF) info.ifsc = byte;  // 00 and FF are not sizes
      }
    }
    if ((indicator & 0x80) == 0) break;  // no TD: the interface bytes end here
    if (pos >= length) return CutShort(info);
    const unsigned char td = atr[pos++];
    protocol_of_group = td & 0x0F;
    if (protocol_of_group != kGlobalBytes) info.protocols |= 1u << protocol_of_group;
    if (!saw_td1) first = protocol_of_group;
    saw_td1 = true;
    indicator = td;
  }
  if (!saw_td1) info.protocols = 1u;  // without TD1 the card speaks T=0
  const unsigned int runs = info.specific_mode ? specific : first;
  if (runs != kGlobalBytes) info.runs = 1u << runs;
  info.valid = true;
  return info;
}

bool Store(std::span<const unsigned char> answer, bool empty_allowed,
           std::span<unsigned char, kMaxLength> record, std::size_t* length) noexcept {
  if (answer.size() > record.size() || (answer.empty() && !empty_allowed)) return false;
  std::fill(std::copy(answer.begin(), answer.end(), record.begin()), record.end(), 0);
  *length = answer.size();
  return true;
}

}  // namespace ttycard::atr
