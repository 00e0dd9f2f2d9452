// Fuzzes the hex codec and the XOR sums with exact-size heap copies, so that
// AddressSanitizer catches any access past the lengths given.
//
// Input: any bytes. They are encoded and decoded back, and they are also
// decoded as if they were reply text (odd lengths included).

#include <cstdint>
#include <memory>

#include "blockproto.h"
#include "fuzz_check.h"
#include "linkcmds.h"

namespace {

using fuzzing::HexValue;

std::unique_ptr<std::uint8_t[]> Copy(const std::uint8_t* data, std::size_t n) {
  std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[n]);
  if (n > 0) std::memcpy(copy.get(), data, n);
  return copy;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 4096) return 0;
  const auto n = static_cast<unsigned int>(size);
  const auto bytes = Copy(data, size);

  const std::uint8_t x = fuzzing::Xor(data, size);
  FUZZ_CHECK(Adm_CheckSum(bytes.get(), n) == x, "Adm_CheckSum is the XOR of the bytes");
  FUZZ_CHECK(T1CalculateLRC(bytes.get(), n) == x, "T1CalculateLRC is the XOR of the bytes");

  // Bytes -> text: two upper-case digits per byte, high nibble first.
  std::unique_ptr<char[]> text(new char[2 * size + 1]);
  int count = -1;
  FUZZ_CHECK(Adm_Convert2Ascii(bytes.get(), n, text.get(), &count) == 1, "encoder returns 1");
  FUZZ_CHECK(count == static_cast<int>(2 * size), "encoder count is twice the length");
  for (std::size_t i = 0; i < 2 * size; ++i) {
    std::uint8_t v = 0;
    FUZZ_CHECK(HexValue(static_cast<std::uint8_t>(text[i]), v), "encoder writes hex digits");
    const std::uint8_t expected = i % 2 == 0 ? data[i / 2] >> 4 : data[i / 2] & 0x0F;
    FUZZ_CHECK(v == expected, "encoder writes the right nibble");
  }

  // Text -> bytes: the round trip gives the bytes back.
  std::unique_ptr<std::uint8_t[]> back(new std::uint8_t[size + 1]);
  count = -1;
  FUZZ_CHECK(Adm_Convert2Hex(text.get(), 2 * n, back.get(), &count) == 1, "decoder returns 1");
  FUZZ_CHECK(count == static_cast<int>(size), "decoder count is half the text");
  FUZZ_CHECK(size == 0 || std::memcmp(back.get(), data, size) == 0, "hex round trip");

  // Arbitrary text of any length, in an exact-size copy. Pairs of digits
  // decode to their value; a digit followed by a non-digit, or alone at the
  // end of an odd length, gives its high nibble only.
  const auto chars = Copy(data, size);
  const std::size_t out_size = (size + 1) / 2;
  std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[out_size + 1]);
  count = -1;
  Adm_Convert2Hex(reinterpret_cast<const char*>(chars.get()), n, out.get(), &count);
  FUZZ_CHECK(count == static_cast<int>(out_size), "decoder count is (length + 1) / 2");
  for (std::size_t i = 0; i < out_size; ++i) {
    std::uint8_t hi = 0;
    std::uint8_t lo = 0;
    if (!HexValue(data[2 * i], hi)) continue;
    const bool has_low = 2 * i + 1 < size;
    if (has_low && HexValue(data[2 * i + 1], lo)) {
      FUZZ_CHECK(out[i] == (hi << 4 | lo), "a digit pair decodes to its value");
    } else {
      FUZZ_CHECK(out[i] == hi << 4, "a lone or unpaired digit gives its high nibble");
    }
  }
  return 0;
}
