// Byte/hex helpers of the reader emulator. The reader speaks upper-case
// hexadecimal text on the line; this codec is deliberately strict so that a
// driver sending anything else is noticed.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ttycard::emu {

using Bytes = std::vector<std::uint8_t>;

// Two characters per byte, high nibble first. Upper case unless asked.
std::string ToHex(std::span<const std::uint8_t> bytes, bool upper = true);

// Strict decoding of reader text: an even number of characters, each one of
// 0-9 or A-F. Anything else (lower case included) gives nullopt.
std::optional<Bytes> FromHex(std::string_view text);

// Lenient decoding for people: either case, and blanks, ':' or '-' between
// bytes are skipped. Used for command-line arguments and test literals.
std::optional<Bytes> ParseHexArg(std::string_view text);

// "3B 02 14 50": bytes separated by one blank, for traces and messages.
std::string Spaced(std::span<const std::uint8_t> bytes);

// Control characters shown as <02>, <03>, ...: for messages about raw wire text.
std::string Printable(std::string_view chars);

// XOR of all bytes, 0 for none: the checksum of reader frames and the LRC of
// T=1 blocks.
std::uint8_t XorSum(std::span<const std::uint8_t> bytes);

}  // namespace ttycard::emu
