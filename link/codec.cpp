// Hexadecimal text of reader frames, and the frames' XOR checksum.
//
// Every byte of a frame travels as two upper-case hex characters, high
// nibble first: 0x01 0xA0 0x0F is "01A00F". Lower-case letters are not
// digits on this line.

#include "codec.h"

#include <array>

#include "linkcmds.h"

namespace ttycard::link {

std::optional<unsigned char> Nibble(unsigned char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned char>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<unsigned char>(c - 'A' + 10);
  return std::nullopt;
}

std::optional<unsigned char> DecodeByte(unsigned char high, unsigned char low) {
  const auto h = Nibble(high);
  const auto l = Nibble(low);
  if (!h || !l) return std::nullopt;
  return static_cast<unsigned char>(*h << 4 | *l);
}

}  // namespace ttycard::link

namespace {

constexpr std::array<char, 16> kDigits{'0', '1', '2', '3', '4', '5', '6', '7',
                                       '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};

}  // namespace

extern "C" {

unsigned char Adm_CheckSum(const unsigned char* data, unsigned int len) {
  unsigned char sum = 0;
  for (unsigned int i = 0; data != nullptr && i < len; ++i) sum ^= data[i];
  return sum;
}

int Adm_Convert2Ascii(const unsigned char* data, unsigned int len, char* out, int* count) {
  if (data == nullptr || out == nullptr) len = 0;
  for (unsigned int i = 0; i < len; ++i) {
    out[2 * i] = kDigits[data[i] >> 4];
    out[2 * i + 1] = kDigits[data[i] & 0x0F];
  }
  if (count != nullptr) *count = static_cast<int>(2 * len);
  return 1;
}

int Adm_Convert2Hex(const char* text, unsigned int len, unsigned char* out, int* count) {
  using ttycard::link::Nibble;
  if (text == nullptr || out == nullptr) len = 0;
  // A character that is not a digit contributes nothing to its nibble. An odd
  // count decodes the last character alone as a high nibble: nothing past
  // `len` is ever read.
  for (unsigned int i = 0; i < len; i += 2) {
    unsigned char value = Nibble(static_cast<unsigned char>(text[i])).value_or(0) << 4;
    if (i + 1 < len) value |= Nibble(static_cast<unsigned char>(text[i + 1])).value_or(0);
    out[i / 2] = value;
  }
  if (count != nullptr) *count = static_cast<int>((len + 1) / 2);
  return 1;
}

}  // extern "C"
