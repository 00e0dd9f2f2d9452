#include "line_noise.h"

#include <algorithm>
#include <cmath>

namespace ttycard::emu {

LineNoise::LineNoise(double probability, std::uint64_t seed)
    : threshold_(0), always_(probability >= 1.0), state_(seed) {
  const double p = std::clamp(std::isnan(probability) ? 0.0 : probability, 0.0, 1.0);
  if (!always_) threshold_ = static_cast<std::uint64_t>(std::ldexp(p, 64));
}

std::uint64_t LineNoise::Next() {
  std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

std::size_t LineNoise::Apply(std::string& chars) {
  if (threshold_ == 0 && !always_) return 0;
  std::size_t hit = 0;
  for (char& c : chars) {
    if (!always_ && Next() >= threshold_) continue;
    const unsigned bit = static_cast<unsigned>(Next() >> 61);  // 0..7
    c = static_cast<char>(static_cast<unsigned char>(c) ^ (1u << bit));
    ++hit;
  }
  corrupted_ += hit;
  return hit;
}

}  // namespace ttycard::emu
