// The scripted serial line (see scripted_line.h).

#include "scripted_line.h"

#include <cstdio>
#include <utility>

#include "link.h"
#include "serial.h"

extern "C" {
IO_Port ioport{};
}

namespace ttycard::test {
namespace {

// Constructed on first use: the unit tests install their fault handler
// from a static initialiser of another file.
ScriptedLine& TheLine() {
  static ScriptedLine line;
  return line;
}
ScriptedLine& g_line = TheLine();

constexpr char kStx = 0x02;
constexpr char kEtx = 0x03;

// Longest block time: three seconds for each unit of the largest multiplier
// a card can ask for in a waiting-time extension.
constexpr int kMaxBlockTime = 3 * 255;

void Fault(const char* what) {
  ++g_line.faults;
  if (g_line.on_fault) g_line.on_fault(what);
}

std::optional<std::uint8_t> Digit(char c) {
  if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
  return std::nullopt;
}

// The frame text just completed by an ETX: decoded, checked, answered.
void FrameWritten() {
  const std::string text = g_line.written.substr(g_line.frame_start);
  g_line.frame_start = g_line.written.size();
  if (text.size() < 2 || text.front() != kStx || text.size() % 2 != 0) {
    Fault("a frame is STX, whole hex pairs, ETX");
  }
  Bytes frame;
  const std::size_t begin = !text.empty() && text.front() == kStx ? 1 : 0;
  for (std::size_t i = begin; i + 2 < text.size(); i += 2) {
    const auto hi = Digit(text[i]);
    const auto lo = Digit(text[i + 1]);
    if (!hi || !lo) Fault("frame characters are upper-case hex digits");
    frame.push_back(static_cast<std::uint8_t>(hi.value_or(0) << 4 | lo.value_or(0)));
  }
  g_line.frames.push_back(frame);
  if (g_line.responder) g_line.pending += g_line.responder(frame);
}

}  // namespace

ScriptedLine& Line() {
  return TheLine();
}

void ResetLine() {
  auto on_fault = std::move(g_line.on_fault);  // whoever watches the line keeps watching
  g_line = ScriptedLine{};
  g_line.on_fault = std::move(on_fault);
  ioport = IO_Port{};
  ttycard::link::DefaultLink().Restart();
}

std::optional<std::uint8_t> TakeByte() {
  if (g_line.script_pos >= g_line.script_size) return std::nullopt;
  return g_line.script[g_line.script_pos++];
}

std::size_t Remaining() {
  return g_line.script_size - g_line.script_pos;
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

}  // namespace ttycard::test

using ttycard::test::g_line;

extern "C" {

int IO_InitializePort(int speed, int bits, int parity, const char* path) {
  g_line.opened.push_back(path ? path : "");
  if (g_line.open_fails || speed != 9600 || bits != 8 || parity != 'N') return 0;
  g_line.is_open = true;
  ioport.handle = 99;
  ioport.baud = static_cast<unsigned int>(speed);
  ioport.bits = static_cast<unsigned char>(bits);
  ioport.stopbits = 2;
  ioport.parity = static_cast<char>(parity);
  ioport.blocktime = 1;
  return 1;
}

int IO_Read(int count, unsigned char* buf) {
  if (g_line.timed_out)
    ttycard::test::Fault("no read after a timed-out read before the next write");
  if (count <= 0) return 1;
  if (buf == nullptr) ttycard::test::Fault("IO_Read gets a buffer");
  std::size_t taken = 0;
  for (int i = 0; i < count; ++i) {
    std::optional<std::uint8_t> c;
    if (g_line.stream) {
      c = ttycard::test::TakeByte();
    } else if (taken < g_line.pending.size()) {
      c = static_cast<std::uint8_t>(g_line.pending[taken++]);
    }
    if (!c) {
      g_line.pending.clear();  // a timed-out read discards the input queue
      g_line.timed_out = true;
      ++g_line.timeouts;
      g_line.waited_seconds += ioport.blocktime;
      return 0;
    }
    buf[i] = *c;
  }
  g_line.pending.erase(0, taken);
  return 1;
}

int IO_Write(int count, const unsigned char* data) {
  g_line.pending.clear();  // both queues are discarded before a command
  g_line.timed_out = false;
  if (g_line.fail_writes) return 0;
  if (count > 0 && data == nullptr) ttycard::test::Fault("IO_Write gets data");
  for (int i = 0; i < count && data != nullptr; ++i) {
    g_line.written.push_back(static_cast<char>(data[i]));
    if (data[i] == ttycard::test::kEtx) ttycard::test::FrameWritten();
  }
  return 1;
}

int IO_FlushBuffer(void) {
  g_line.pending.clear();
  return 1;
}

int IO_UpdateParity(char parity) {
  ioport.parity = parity;
  return parity;
}

int IO_UpdateStopBits(int stopbits) {
  ioport.stopbits = stopbits;
  return stopbits;
}

int IO_UpdateReturnBlock(int seconds) {
  if (seconds < 0 || seconds > ttycard::test::kMaxBlockTime) {
    ttycard::test::Fault("block time within 0..765 s");
  }
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
