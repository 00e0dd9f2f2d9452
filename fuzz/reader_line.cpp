// The fuzz targets' reader on the scripted line (see reader_line.h).

#include "reader_line.h"

#include <cstdlib>

#include "fuzz_check.h"
#include "serial.h"

namespace fuzzing {
namespace {

std::vector<Transaction> g_log;

// Block time of a freshly opened reader; every input starts from it.
constexpr int kOpenedBlockTime = 4;

constexpr std::uint8_t kKnownCommands[] = {0x01, 0x02, 0x06, 0x80, 0x81, 0xA0, 0xA1};

void CheckFrame(const std::vector<std::uint8_t>& frame) {
  FUZZ_CHECK(frame.size() >= 4, "a frame has header, command, length and checksum");
  FUZZ_CHECK(frame[0] == 0x01, "frame header byte is 0x01");
  bool known = false;
  for (const std::uint8_t c : kKnownCommands) known = known || c == frame[1];
  FUZZ_CHECK(known, "frame carries one of the reader's command codes");
  FUZZ_CHECK(frame[2] == frame.size() - 4, "frame length byte counts the data bytes");
  FUZZ_CHECK(Xor(frame.data(), frame.size() - 1) == frame.back(), "frame XOR checksum");
}

// The reader's reply to `t` from the next input chunk, as characters.
std::string Answer(Transaction& t) {
  auto h = TakeByte();
  if (!h) return {};
  std::size_t length = *h;
  if (*h == 0xFF) {
    const auto x = TakeByte();
    if (!x || *x == 0) return {};  // silence
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
  const auto text = WireText(body);
  return {text.begin(), text.end()};
}

// With TTYCARD_FUZZ_TRACE set, every frame and its answer go to stderr: the
// way to read what a saved input does.
void Trace(const Transaction& t) {
  static const bool on = std::getenv("TTYCARD_FUZZ_TRACE") != nullptr;
  if (!on) return;
  std::fprintf(stderr, "wrote");
  for (const std::uint8_t b : t.frame) std::fprintf(stderr, " %02X", b);
  if (!t.answered) {
    std::fprintf(stderr, "\n  silence (block time %d s)\n", t.blocktime);
    return;
  }
  std::fprintf(stderr, "\n  reply");
  for (const std::uint8_t b : t.reply) std::fprintf(stderr, " %02X", b);
  std::fprintf(stderr, "\n");
}

std::string Reader(const std::vector<std::uint8_t>& frame) {
  CheckFrame(frame);
  Transaction t;
  t.frame = frame;
  t.blocktime = ioport.blocktime;
  std::string wire = Answer(t);
  Trace(t);
  g_log.push_back(std::move(t));
  return wire;
}

void Stop(const char* what) {
  std::fprintf(stderr, "INVARIANT FAILED on the line: %s\n", what);
  __builtin_trap();
}

}  // namespace

const std::vector<Transaction>& Log() {
  return g_log;
}

void StartLine(LineMode mode, const std::uint8_t* data, std::size_t size) {
  ttycard::test::ResetLine();
  g_log.clear();
  auto& line = Line();
  line.script = data;
  line.script_size = size;
  line.on_fault = Stop;
  line.stream = mode == LineMode::kStream;
  if (mode == LineMode::kReader) line.responder = Reader;
  ioport.blocktime = kOpenedBlockTime;
}

}  // namespace fuzzing
