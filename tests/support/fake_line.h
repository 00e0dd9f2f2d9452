// Helpers for the unit tests on the scripted line (scripted_line.h): reader
// replies, T=1 blocks and a scripted T=1 card to answer the driver's frames.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "scripted_line.h"

namespace ttycard::test {

// Wire form of a reader reply carrying `data` (head 01 <cmd> 00 <len>).
std::string ReplyWire(const Bytes& data, std::uint8_t command = 0x00);
// Same, announcing the length in the extended form (head byte 3 = 0xFF).
std::string ExtendedReplyWire(const Bytes& data, std::uint16_t announced);

Bytes Unhex(const std::string& text);

// A T=1 card on the 0xA1 command: each transaction pops the next scripted
// answer block (nullopt: silence). The block's LRC is appended unless the
// script says otherwise. Records the blocks the driver sent.
struct ScriptedT1Card {
  std::deque<std::optional<Bytes>> answers;  // NAD PCB LEN INF (LRC added)
  bool add_lrc = true;
  std::vector<Bytes> received;  // T=1 blocks the driver sent, LRC included
  std::string operator()(const Bytes& frame);
};

// Builds a T=1 block without LRC.
Bytes Block(std::uint8_t pcb, const Bytes& inf = {});
// Same with its LRC.
Bytes BlockWithLrc(std::uint8_t pcb, const Bytes& inf = {});

}  // namespace ttycard::test
