// Noise on the serial line: each character crossing it is corrupted with a
// given probability by flipping one of its 8 bits, so STX and ETX can appear
// or vanish as they do on a real noisy line. The generator is seeded, so a
// run is reproduced exactly from its seed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ttycard::emu {

class LineNoise {
 public:
  // probability is clamped to 0..1; 0 leaves every character alone.
  LineNoise(double probability, std::uint64_t seed);

  // Corrupts `chars` in place; returns how many characters were hit.
  std::size_t Apply(std::string& chars);
  std::size_t Corrupted() const { return corrupted_; }  // since construction

 private:
  std::uint64_t Next();  // splitmix64

  std::uint64_t threshold_;  // a draw below it corrupts (2^64 scale)
  bool always_;              // probability 1
  std::uint64_t state_;
  std::size_t corrupted_ = 0;
};

}  // namespace ttycard::emu
