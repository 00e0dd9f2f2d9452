#include "fake_line.h"

#include <gtest/gtest.h>

namespace ttycard::test {
namespace {

// A driver that breaks the line's manners fails the test it happens in.
[[maybe_unused]] const bool kWatched = [] {
  Line().on_fault = [](const char* what) { ADD_FAILURE() << "serial line: " << what; };
  return true;
}();

}  // namespace

Bytes Unhex(const std::string& text) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::string ReplyWire(const Bytes& data, std::uint8_t command) {
  Bytes head{0x01, command, 0x00, static_cast<std::uint8_t>(data.size())};
  std::uint8_t sum = 0;
  for (auto b : head) sum ^= b;
  for (auto b : data) sum ^= b;
  std::string wire(1, '\x02');
  wire += Hex(head);
  wire += Hex(data);
  wire += Hex({sum});
  wire += '\x03';
  return wire;
}

std::string ExtendedReplyWire(const Bytes& data, std::uint16_t announced) {
  Bytes head{0x01, 0x00, 0x00, 0xFF};
  Bytes ext{static_cast<std::uint8_t>(announced >> 8), static_cast<std::uint8_t>(announced)};
  std::uint8_t sum = 0;
  for (auto b : head) sum ^= b;
  for (auto b : ext) sum ^= b;
  for (auto b : data) sum ^= b;
  std::string wire(1, '\x02');
  wire += Hex(head);
  wire += Hex(ext);
  wire += Hex(data);
  wire += Hex({sum});
  wire += '\x03';
  return wire;
}

Bytes Block(std::uint8_t pcb, const Bytes& inf) {
  Bytes b{0x00, pcb, static_cast<std::uint8_t>(inf.size())};
  for (auto x : inf) b.push_back(x);
  return b;
}

Bytes BlockWithLrc(std::uint8_t pcb, const Bytes& inf) {
  Bytes b = Block(pcb, inf);
  std::uint8_t lrc = 0;
  for (auto x : b) lrc ^= x;
  b.push_back(lrc);
  return b;
}

std::string ScriptedT1Card::operator()(const Bytes& frame) {
  if (frame.size() < 5 || frame[1] != 0xA1) return "";
  // 01 A1 n+1 <block n bytes> <trailer> <checksum>
  received.emplace_back(frame.begin() + 3, frame.end() - 2);
  if (answers.empty()) return "";
  auto answer = answers.front();
  answers.pop_front();
  if (!answer) return "";
  Bytes block = *answer;
  if (add_lrc) {
    std::uint8_t lrc = 0;
    for (auto x : block) lrc ^= x;
    block.push_back(lrc);
  }
  return ReplyWire(block, 0xA1);
}

}  // namespace ttycard::test
