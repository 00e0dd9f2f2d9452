#include "t1_block.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace ttycard::emu {

Bytes MakeBlock(std::uint8_t pcb, std::span<const std::uint8_t> inf, std::uint8_t nad) {
  Bytes b;
  b.reserve(inf.size() + 4);
  b.push_back(nad);
  b.push_back(pcb);
  b.push_back(static_cast<std::uint8_t>(inf.size()));
  for (const std::uint8_t x : inf) b.push_back(x);  // (insert() trips g++ 12's -Warray-bounds)
  b.push_back(XorSum(b));
  return b;
}

Bytes MakeI(int ns, bool more, std::span<const std::uint8_t> inf) {
  const auto pcb = static_cast<std::uint8_t>((ns ? kPcbNs : 0) | (more ? kPcbMore : 0));
  return MakeBlock(pcb, inf);
}

Bytes MakeR(int nr, std::uint8_t error) {
  return MakeBlock(static_cast<std::uint8_t>(kPcbR | (nr ? kPcbNr : 0) | error));
}

std::string BlockError(std::span<const std::uint8_t> block) {
  if (block.size() < 4) return "T=1 block of " + std::to_string(block.size()) + " bytes";
  if (block[2] != block.size() - 4) {
    return "T=1 LEN " + std::to_string(block[2]) + " but " + std::to_string(block.size() - 4) +
           " INF bytes";
  }
  if (XorSum(block.first(block.size() - 1)) != block.back()) return "T=1 block with a wrong LRC";
  return {};
}

std::string DescribeBlock(std::span<const std::uint8_t> block) {
  if (block.size() < 3) return "short block " + Spaced(block);
  const std::uint8_t pcb = block[1];
  const auto inf = block.subspan(3, std::min<std::size_t>(block[2], block.size() - 3));
  std::string out;
  switch (KindOf(pcb)) {
    case BlockKind::kI:
      out = "I(" + std::to_string((pcb >> 6) & 1) + "," + std::to_string((pcb >> 5) & 1) + ")";
      break;
    case BlockKind::kR:
      out = "R(" + std::to_string((pcb >> 4) & 1) + ")";
      if (pcb & kREdcError) out += " EDC";
      if (pcb & kROtherError) out += " OTHER";
      break;
    case BlockKind::kS: {
      static constexpr std::array<std::string_view, 4> kTypes = {"RESYNCH", "IFS", "ABORT", "WTX"};
      out = "S(" + std::string(kTypes[pcb & 0x03]) +
            ((pcb & kSResponse) ? " response)" : " request)");
      break;
    }
  }
  if (!inf.empty()) {
    out += ' ';
    out += Spaced(inf);
  }
  if (const std::string error = BlockError(block); !error.empty()) {
    out += " [";
    out += error;
    out += ']';
  }
  return out;
}

}  // namespace ttycard::emu
