// Hex digits of the reader line.
#pragma once

#include <optional>

namespace ttycard::link {

// Value of an upper-case hex digit, or nothing.
std::optional<unsigned char> Nibble(unsigned char c);
// Two characters into one byte; nothing if either is not a digit.
std::optional<unsigned char> DecodeByte(unsigned char high, unsigned char low);

}  // namespace ttycard::link
