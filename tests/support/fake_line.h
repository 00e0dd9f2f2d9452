// A scripted stand-in for the serial module: the link, protocol and IFD
// layers run on top of it exactly as on a port, but every command frame the
// driver writes is decoded and handed to a responder that decides the
// reader's answer (or silence). Reads never wait: what is not queued has
// "timed out".
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ttycard::test {

using Bytes = std::vector<std::uint8_t>;

struct FakeLine {
  // Given each command frame (decoded, checksum included), returns the wire
  // characters the reader sends back; an empty string is silence.
  std::function<std::string(const Bytes& frame)> responder;

  std::vector<Bytes> frames;        // every command frame written, decoded
  std::string written;              // every character written
  std::string pending;              // characters waiting to be read
  std::vector<int> blocktimes;      // every block time set
  std::vector<std::string> opened;  // paths given to IO_InitializePort
  bool open_fails = false;
  bool close_fails = false;
  bool is_open = false;
};

// The one line of the process; Reset() gives a clean one.
FakeLine& Line();
void ResetLine();

// Wire form of a reader reply carrying `data` (head 01 <cmd> 00 <len>).
std::string ReplyWire(const Bytes& data, std::uint8_t command = 0x00);
// Same, announcing the length in the extended form (head byte 3 = 0xFF).
std::string ExtendedReplyWire(const Bytes& data, std::uint16_t announced);

// Upper-case hex of bytes, e.g. "0180" for {0x01, 0x80}.
std::string Hex(const Bytes& data);
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
