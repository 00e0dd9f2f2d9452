#include "hex_codec.h"

#include <array>
#include <cstdio>

namespace ttycard::emu {
namespace {

constexpr std::array<char, 16> kUpper = {'0', '1', '2', '3', '4', '5', '6', '7',
                                         '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};
constexpr std::array<char, 16> kLower = {'0', '1', '2', '3', '4', '5', '6', '7',
                                         '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};

// Value of one reader digit, -1 for anything that is not 0-9 or A-F.
constexpr int StrictNibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

constexpr int AnyCaseNibble(char c) {
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return StrictNibble(c);
}

}  // namespace

std::string ToHex(std::span<const std::uint8_t> bytes, bool upper) {
  const auto& digits = upper ? kUpper : kLower;
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const std::uint8_t b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 0x0F]);
  }
  return out;
}

std::optional<Bytes> FromHex(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  Bytes out;
  out.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int hi = StrictNibble(text[i]);
    const int lo = StrictNibble(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
  }
  return out;
}

std::optional<Bytes> ParseHexArg(std::string_view text) {
  std::string digits;
  for (const char c : text) {
    if (c == ' ' || c == ':' || c == '-' || c == '\t') continue;
    if (AnyCaseNibble(c) < 0) return std::nullopt;
    digits.push_back(c);
  }
  if (digits.size() % 2 != 0) return std::nullopt;
  Bytes out;
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    out.push_back(
        static_cast<std::uint8_t>(AnyCaseNibble(digits[i]) << 4 | AnyCaseNibble(digits[i + 1])));
  }
  return out;
}

std::string Spaced(std::span<const std::uint8_t> bytes) {
  std::string out;
  for (const std::uint8_t b : bytes) {
    if (!out.empty()) out.push_back(' ');
    out.push_back(kUpper[b >> 4]);
    out.push_back(kUpper[b & 0x0F]);
  }
  return out;
}

std::string Printable(std::string_view chars) {
  std::string out;
  for (const char c : chars) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F) {
      out.push_back(c);
    } else {
      std::array<char, 8> buf{};
      std::snprintf(buf.data(), buf.size(), "<%02X>", u);
      out += buf.data();
    }
  }
  return out;
}

std::uint8_t XorSum(std::span<const std::uint8_t> bytes) {
  std::uint8_t sum = 0;
  for (const std::uint8_t b : bytes) sum ^= b;
  return sum;
}

}  // namespace ttycard::emu
