#include "fake_line.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "serial.h"

namespace ttycard::test {
namespace {

FakeLine g_line;

// Decodes the frame between the last STX and ETX written, if complete.
void TakeFrame() {
  const auto etx = g_line.written.rfind('\x03');
  const auto stx = g_line.written.rfind('\x02', etx);
  if (etx == std::string::npos || stx == std::string::npos) return;
  Bytes frame = Unhex(g_line.written.substr(stx + 1, etx - stx - 1));
  g_line.frames.push_back(frame);
  g_line.written.erase(0, etx + 1);
  if (g_line.responder) g_line.pending += g_line.responder(frame);
}

}  // namespace

FakeLine& Line() {
  return g_line;
}

void ResetLine() {
  g_line = FakeLine{};
  ioport = IO_Port{};
}

std::string Hex(const Bytes& data) {
  std::string out;
  char two[3];
  for (auto b : data) {
    std::snprintf(two, sizeof two, "%02X", b);
    out += two;
  }
  return out;
}

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
  std::string wire(1, '\x02');
  wire += Hex(head);
  wire += Hex(ext);
  wire += Hex(data);
  wire += "00\x03";
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

using ttycard::test::g_line;

extern "C" {

IO_Port ioport{};

int IO_InitializePort(int speed, int bits, int parity, const char* path) {
  g_line.opened.push_back(path ? path : "");
  if (g_line.open_fails || speed != 9600 || bits != 8 || parity != 'N') return 0;
  g_line.is_open = true;
  ioport.handle = 99;
  ioport.blocktime = 1;
  return 1;
}

int IO_Read(int count, unsigned char* buf) {
  if (count <= 0) return 1;
  const auto n = std::min<std::size_t>(static_cast<std::size_t>(count), g_line.pending.size());
  std::memcpy(buf, g_line.pending.data(), n);
  g_line.pending.erase(0, n);
  if (n < static_cast<std::size_t>(count)) {
    g_line.pending.clear();  // a timed-out read discards the input queue
    return 0;
  }
  return 1;
}

int IO_Write(int count, const unsigned char* data) {
  g_line.pending.clear();
  for (int i = 0; i < count; ++i) {
    g_line.written.push_back(static_cast<char>(data[i]));
    if (data[i] == 0x03) ttycard::test::TakeFrame();
  }
  return 1;
}

int IO_FlushBuffer(void) {
  g_line.pending.clear();
  return 1;
}

int IO_UpdateParity(char parity) {
  return parity;
}
int IO_UpdateStopBits(int stopbits) {
  return stopbits;
}

int IO_UpdateReturnBlock(int seconds) {
  g_line.blocktimes.push_back(seconds);
  ioport.blocktime = seconds;
  return seconds;
}

int IO_ReturnHandle(void) {
  return ioport.handle;
}
int IO_ReturnBaudRate(void) {
  return 9600;
}
int IO_ReturnParity(void) {
  return 'N';
}
int IO_ReturnStopBits(void) {
  return 2;
}

int IO_Close(void) {
  if (g_line.close_fails) return 0;
  g_line.is_open = false;
  return 1;
}

}  // extern "C"
