// The minimal-characters model behind the efficiency column. Where the
// driver's version 1.0 road uses 20-byte command blocks and a 32-byte IFSD,
// the model with those sizes must give the characters that road was
// measured to send; with the card's sizes, what the largest blocks cost.
#include "efficiency.h"

#include <gtest/gtest.h>

namespace ttycard::bench {
namespace {

TEST(Efficiency, MinimalCharactersOfShapes) {
  const struct {
    const char* name;
    int protocol;
    std::uint64_t apdu, answer;
    unsigned int ifsc, ifsd;
    std::uint64_t chars;
  } cases[] = {
      // One block each way: 30 out, 40 in.
      {"5-byte command, 10-byte answer", 1, 5, 10, 254, 254, 70},
      {"case 1 command, status only", 1, 4, 2, 254, 254, 28 + 24},
      // As measured on the version 1.0 road (20-byte blocks, IFSD 32).
      {"255 bytes in 13 blocks of 20", 1, 255, 2, 20, 32, 1034},
      {"252 bytes back in 8 blocks of 32", 1, 5, 252, 254, 32, 834},
      // The card's sizes: 250 + 5 in, one R-block back.
      {"255 bytes in 2 blocks", 1, 255, 2, 254, 254, 594},
      {"252 bytes back in 1 block", 1, 5, 252, 254, 254, 554 + 4},
      // A reply of 255 bytes or more spends 4 characters on its long length.
      {"258 bytes back in 254 + 4", 1, 5, 258, 254, 254, 606 + 4},
      {"258 bytes back in 250 + 8", 1, 5, 258, 254, 250, 606},
      {"answer of 250: block of 254 bytes", 1, 5, 250, 254, 254, 30 + 520},
      {"answer of 251: block of 255 bytes", 1, 5, 251, 254, 254, 30 + 522 + 4},
      // 1033-byte extended command in 4 x 250 + 33, 1026 back in 4 x 254 + 10.
      {"extended 1024 each way", 1, 1033, 1026, 254, 254, 4478 + 4 * 4},
      // The exact edges of a block, and an IFSC the frame cannot carry.
      {"command of exactly 250", 1, 250, 2, 254, 254, 520 + 24},
      {"command of 251", 1, 251, 2, 254, 254, 542 + 20 + 24},
      {"answer of exactly 254", 1, 5, 254, 254, 254, 30 + 528 + 4},
      {"answer of 255", 1, 5, 255, 254, 254, 50 + 532 + 22},
      {"IFSC 32", 1, 255, 2, 32, 254, 2 * 255 + 8 * 20 + 7 * 20 + 24},
      // Sizes out of range are clamped, never a division by zero.
      {"IFSC 0 taken as 1", 1, 2, 2, 0, 254, 2 * 2 + 2 * 20 + 20 + 24},
      {"IFSD 255 taken as 254", 1, 5, 254, 254, 255, 30 + 532},
      // T=0: one frame, APDU + 1 byte; the reply carries the answer.
      {"T=0 status only", 0, 5, 2, 254, 254, 38},
      {"T=0 100 each way", 0, 105, 102, 254, 254, 438},
      {"T=0 253 back in one long reply", 0, 5, 255, 254, 254, 22 + 522 + 4},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MinimalChars(c.protocol, c.apdu, c.answer, c.ifsc, c.ifsd), c.chars) << c.name;
  }
}

}  // namespace
}  // namespace ttycard::bench
