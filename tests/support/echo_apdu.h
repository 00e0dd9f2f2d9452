// The emulated card's ECHO command (CLA 80, INS EC), for tests that must
// know the right answer: the command data comes back, padded with filler
// bytes (k & 0xFF at position k) to the length P1P2 asks for, then 90 00.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ttycard::test {

// `data` command bytes (a short case 3 APDU; with no data, P3 is Le), and
// `answer` bytes asked back.
inline std::vector<std::uint8_t> EchoApdu(std::size_t data, std::size_t answer) {
  std::vector<std::uint8_t> apdu{0x80, 0xEC, static_cast<std::uint8_t>(answer >> 8),
                                 static_cast<std::uint8_t>(answer),
                                 static_cast<std::uint8_t>(data == 0 ? answer : data)};
  for (std::size_t i = 0; i < data; ++i) apdu.push_back(static_cast<std::uint8_t>(i * 37 + data));
  return apdu;
}

// What the card answers to EchoApdu(data, answer).
inline std::vector<std::uint8_t> EchoAnswer(const std::vector<std::uint8_t>& apdu,
                                            std::size_t answer) {
  std::vector<std::uint8_t> out(apdu.begin() + 5, apdu.end());
  for (std::size_t k = out.size(); k < answer; ++k) out.push_back(static_cast<std::uint8_t>(k));
  out.push_back(0x90);
  out.push_back(0x00);
  return out;
}

}  // namespace ttycard::test
