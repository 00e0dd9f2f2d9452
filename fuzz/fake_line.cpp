// The stand-in serial line (see fake_line.h). It defines every IO_ function
// and the `ioport` record of the driver's serial module, so that the other
// modules link against it instead of a device.

#include "fake_line.h"

#include <cstdlib>

#include "fuzz_check.h"
#include "serial.h"

extern "C" {
IO_Port ioport{};
}

namespace fuzzing {
namespace {

LineState g_line;

// Longest block time: three seconds for each unit of the largest multiplier
// a card can ask for in a waiting-time extension.
constexpr int kMaxBlockTime = 3 * 255;

// Block time of a freshly opened reader; every input starts from it.
constexpr int kOpenedBlockTime = 4;

constexpr std::uint8_t kKnownCommands[] = {0x01, 0x02, 0x06, 0x80, 0x81, 0xA0, 0xA1};

// Decodes and checks a complete frame text; stops the run if it is not a
// well-formed reader frame.
std::vector<std::uint8_t> DecodeFrame(const std::vector<std::uint8_t>& text) {
  FUZZ_CHECK(text.size() >= 2 && text.front() == kStx && text.back() == kEtx,
             "a frame is written between STX and ETX");
  FUZZ_CHECK(text.size() % 2 == 0, "a frame is written as whole hex pairs");
  std::vector<std::uint8_t> frame;
  for (std::size_t i = 1; i + 1 < text.size(); i += 2) {
    std::uint8_t hi = 0;
    std::uint8_t lo = 0;
    FUZZ_CHECK(HexValue(text[i], hi) && HexValue(text[i + 1], lo),
               "frame characters are upper-case hex digits");
    frame.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
  }
  FUZZ_CHECK(frame.size() >= 4, "a frame has header, command, length and checksum");
  FUZZ_CHECK(frame[0] == 0x01, "frame header byte is 0x01");
  bool known = false;
  for (const std::uint8_t c : kKnownCommands) known = known || c == frame[1];
  FUZZ_CHECK(known, "frame carries one of the reader's command codes");
  FUZZ_CHECK(frame[2] == frame.size() - 4, "frame length byte counts the data bytes");
  FUZZ_CHECK(Xor(frame.data(), frame.size() - 1) == frame.back(), "frame XOR checksum");
  return frame;
}

// Queues the reader's reply to `t` from the next input chunk.
void Answer(Transaction& t) {
  auto h = TakeByte();
  if (!h) return;
  std::size_t length = *h;
  if (*h == 0xFF) {
    const auto x = TakeByte();
    if (!x || *x == 0) return;  // silence
    length = 255;
  }
  while (t.reply.size() < length) {
    const auto b = TakeByte();
    if (!b) break;
    t.reply.push_back(*b);
  }
  t.answered = true;

  // STX, head 00 | command | 00 | length (0xFF + two length bytes for the
  // extended form), data, checksum, ETX.
  std::vector<std::uint8_t> head{0x00, t.frame[1], 0x00};
  if (t.reply.size() >= 0xFF) {
    head.insert(head.end(), {0xFF, static_cast<std::uint8_t>(t.reply.size() >> 8),
                             static_cast<std::uint8_t>(t.reply.size() & 0xFF)});
  } else {
    head.push_back(static_cast<std::uint8_t>(t.reply.size()));
  }
  std::vector<std::uint8_t> body = head;
  body.insert(body.end(), t.reply.begin(), t.reply.end());
  body.push_back(Xor(body.data(), body.size()));
  g_line.pending = WireText(body);
  g_line.pending_pos = 0;
}

// With TTYCARD_FUZZ_TRACE set, every frame and its answer go to stderr: the
// way to read what a saved input does.
void Trace(const Transaction& t) {
  static const bool on = std::getenv("TTYCARD_FUZZ_TRACE") != nullptr;
  if (!on) return;
  std::fprintf(stderr, "wrote");
  for (const std::uint8_t b : t.frame) std::fprintf(stderr, " %02X", b);
  if (!t.answered) {
    std::fprintf(stderr, "\n  silence (block time %d s)\n", ioport.blocktime);
    return;
  }
  std::fprintf(stderr, "\n  reply");
  for (const std::uint8_t b : t.reply) std::fprintf(stderr, " %02X", b);
  std::fprintf(stderr, "\n");
}

void FrameWritten() {
  Transaction t;
  t.frame = DecodeFrame(g_line.text);
  t.blocktime = ioport.blocktime;
  g_line.text.clear();
  Answer(t);
  Trace(t);
  g_line.log.push_back(std::move(t));
}

}  // namespace

LineState& Line() {
  return g_line;
}

void StartLine(LineMode mode, const std::uint8_t* data, std::size_t size) {
  g_line = LineState{};
  g_line.mode = mode;
  g_line.input = data;
  g_line.size = size;
  ioport.blocktime = kOpenedBlockTime;
}

std::optional<std::uint8_t> TakeByte() {
  if (g_line.pos >= g_line.size) return std::nullopt;
  return g_line.input[g_line.pos++];
}

std::size_t Remaining() {
  return g_line.size - g_line.pos;
}

}  // namespace fuzzing

using fuzzing::g_line;
using fuzzing::LineMode;

extern "C" {

int IO_InitializePort(int speed, int bits, int parity, const char* /*path*/) {
  ioport.handle = 3;
  ioport.baud = static_cast<unsigned int>(speed);
  ioport.bits = static_cast<unsigned char>(bits);
  ioport.stopbits = 2;
  ioport.parity = static_cast<char>(parity & 0xFF);
  ioport.blocktime = 1;
  return 1;
}

int IO_Read(int count, unsigned char* buf) {
  // A read that timed out ends the reply: reading on would take characters
  // that belong to the answer of some later command.
  FUZZ_CHECK(!g_line.timed_out, "no read after a timed-out read before the next write");
  if (count <= 0) return 1;
  FUZZ_CHECK(buf != nullptr, "IO_Read gets a buffer");
  for (int i = 0; i < count; ++i) {
    std::optional<std::uint8_t> c;
    if (g_line.mode == LineMode::kStream) {
      c = fuzzing::TakeByte();
    } else if (g_line.pending_pos < g_line.pending.size()) {
      c = g_line.pending[g_line.pending_pos++];
    }
    if (!c) {
      g_line.pending.clear();
      g_line.pending_pos = 0;
      g_line.timed_out = true;
      ++g_line.timeouts;
      g_line.simulated_seconds += ioport.blocktime;
      return 0;
    }
    buf[i] = *c;
  }
  return 1;
}

int IO_Write(int count, const unsigned char* data) {
  g_line.pending.clear();  // both queues are discarded before a command
  g_line.pending_pos = 0;
  g_line.timed_out = false;
  if (g_line.fail_writes) return 0;
  if (count <= 0) return 1;
  FUZZ_CHECK(data != nullptr, "IO_Write gets data");
  for (int i = 0; i < count; ++i) {
    g_line.written.push_back(data[i]);
    if (g_line.mode != LineMode::kReader) continue;
    if (data[i] == fuzzing::kStx) g_line.text.clear();
    g_line.text.push_back(data[i]);
    if (data[i] == fuzzing::kEtx) fuzzing::FrameWritten();
  }
  return 1;
}

int IO_FlushBuffer(void) {
  g_line.pending.clear();
  g_line.pending_pos = 0;
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
  FUZZ_CHECK(seconds >= 0 && seconds <= fuzzing::kMaxBlockTime, "block time within 0..765 s");
  g_line.blocktimes.push_back(seconds);
  ioport.blocktime = seconds;
  return seconds;
}

int IO_ReturnHandle(void) {
  return ioport.handle;
}
int IO_ReturnBaudRate(void) {
  return static_cast<int>(ioport.baud);
}
int IO_ReturnParity(void) {
  return ioport.parity;
}
int IO_ReturnStopBits(void) {
  return ioport.stopbits;
}
int IO_Close(void) {
  return 1;
}

}  // extern "C"
