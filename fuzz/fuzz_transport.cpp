// Fuzzes the reader frame transport and the reader commands against any
// characters the reader may send.
//
// Input: byte 0 picks the call (low 3 bits) and, with bit 0x40, makes every
// write fail; byte 1 is the call's argument (card type, notification mode, or
// for Adm_Transmit the frame length, plus 5 when bit 0x80 of byte 0 is set,
// followed by that many frame bytes). Everything after that is the stream of
// characters the reader sends; once it runs out, reads time out.
//
// The stream is also parsed here, independently, as the reader's reply
// format says it must be read; where that parse is unambiguous the driver's
// result, data and the number of characters it consumed must agree with it.

#include <cstdint>
#include <optional>
#include <vector>

#include "fake_line.h"
#include "fuzz_check.h"
#include "linkcmds.h"

namespace {

using namespace fuzzing;

constexpr unsigned int kUnwritten = 0xDEADBEEF;
constexpr std::size_t kMaxReply = 255;

// How one reply in the stream must be taken.
struct Expected {
  enum Kind { kOk, kShort, kUndecided } kind = kUndecided;
  std::size_t consumed = 0;        // kOk: characters of the whole reply
  std::vector<std::uint8_t> data;  // kOk: the reply data
};

bool Decode(const std::uint8_t* s, std::uint8_t& byte) {
  std::uint8_t hi = 0;
  std::uint8_t lo = 0;
  if (!HexValue(s[0], hi) || !HexValue(s[1], lo)) return false;
  byte = static_cast<std::uint8_t>(hi << 4 | lo);
  return true;
}

// STX + 4 head bytes (9 characters), 4 more when head byte 3 is 0xFF, then
// 2 x length data characters and 3 trailer characters. Too few characters is
// a timeout; characters that are not hex digits where the driver uses them,
// or an extended length above 255, are left to the driver's judgement.
Expected Parse(const std::uint8_t* s, std::size_t n) {
  Expected e;
  if (n < 9) return {Expected::kShort, 0, {}};
  std::uint8_t len8 = 0;
  if (!Decode(s + 7, len8)) return e;
  std::size_t length = len8;
  std::size_t at = 9;
  if (len8 == 0xFF) {
    if (n < 13) return {Expected::kShort, 0, {}};
    std::uint8_t hi = 0;
    std::uint8_t lo = 0;
    if (!Decode(s + 9, hi) || !Decode(s + 11, lo) || hi != 0) return e;
    length = lo;
    at = 13;
  }
  if (n < at + 2 * length + 3) return {Expected::kShort, 0, {}};
  for (std::size_t i = 0; i < length; ++i) {
    std::uint8_t b = 0;
    if (!Decode(s + at + 2 * i, b)) return e;
    e.data.push_back(b);
  }
  e.kind = Expected::kOk;
  e.consumed = at + 2 * length + 3;
  return e;
}

// Parses `count` replies in a row from the current stream position; returns
// where the stream must stand after them, if that is certain.
std::optional<std::size_t> ExpectedEnd(std::size_t count) {
  const LineState& line = Line();
  std::size_t pos = line.pos;
  for (std::size_t i = 0; i < count; ++i) {
    const Expected e = Parse(line.input + pos, line.size - pos);
    if (e.kind == Expected::kUndecided) return std::nullopt;
    pos = e.kind == Expected::kOk ? pos + e.consumed : line.size;
  }
  return pos;
}

Expected Next() {
  return Parse(Line().input + Line().pos, Line().size - Line().pos);
}

void CheckReplyInto(int result, const Expected& e, const GuardedBuffer& buf,
                    std::optional<unsigned int> length) {
  FUZZ_CHECK(result == ADM_OK || result == ADM_COMM_ERROR, "result is 0 or 4");
  FUZZ_CHECK(buf.FencesIntact(), "nothing written around the 255-byte reply buffer");
  if (e.kind == Expected::kShort) FUZZ_CHECK(result == ADM_COMM_ERROR, "timeout gives 4");
  if (e.kind == Expected::kOk) FUZZ_CHECK(result == ADM_OK, "a well-formed reply gives 0");
  if (result != ADM_OK) {
    FUZZ_CHECK(buf.UntouchedFrom(0), "a failed command writes no reply data");
    return;
  }
  if (e.kind == Expected::kOk) {
    FUZZ_CHECK(e.data.empty() || std::memcmp(buf.data(), e.data.data(), e.data.size()) == 0,
               "reply data as the reader sent it");
    FUZZ_CHECK(buf.UntouchedFrom(e.data.size()), "nothing written past the reply data");
    if (length) FUZZ_CHECK(*length == e.data.size(), "reply length as the reader sent it");
  }
  if (length) {
    FUZZ_CHECK(*length <= kMaxReply, "reply length at most 255");
    FUZZ_CHECK(buf.UntouchedFrom(*length), "nothing written past the reply length");
  }
}

std::vector<std::uint8_t> Wire(std::initializer_list<std::vector<std::uint8_t>> frames) {
  std::vector<std::uint8_t> all;
  for (const auto& f : frames) {
    const auto text = WireText(f);
    all.insert(all.end(), text.begin(), text.end());
  }
  return all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint8_t op = data[0] & 0x07;
  const std::uint8_t arg = data[1];
  StartLine(LineMode::kStream, data, size);
  TakeByte();
  TakeByte();
  Line().fail_writes = (data[0] & 0x40) != 0;

  std::vector<std::uint8_t> frame;
  if (op == 0) {
    const std::size_t n = arg + ((data[0] & 0x80) ? 5u : 0u);
    for (std::size_t i = 0; i < n; ++i) frame.push_back(TakeByte().value_or(0));
  }
  const std::size_t start = Line().pos;
  // With writes failing nothing reaches the reader: every command must fail
  // as if it had timed out, and read nothing.
  const Expected first = Line().fail_writes ? Expected{Expected::kShort, 0, {}} : Next();
  const std::size_t transactions = op == 1 || op == 2 ? 2 : 1;
  const auto end = ExpectedEnd(transactions);
  std::vector<std::uint8_t> wire;
  GuardedBuffer buf(kMaxReply);
  unsigned int length = kUnwritten;
  int result = 0;

  switch (op) {
    case 0: {
      // The frame in an exact-size heap copy: a read past it is caught.
      std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[frame.size() + 1]);
      if (!frame.empty()) std::memcpy(copy.get(), frame.data(), frame.size());
      result = Adm_Transmit(copy.get(), static_cast<int>(frame.size()), buf.data(), &length);
      FUZZ_CHECK(frame.empty() || std::memcmp(copy.get(), frame.data(), frame.size()) == 0,
                 "the frame is not modified");
      wire = Wire({frame});
      CheckReplyInto(result, first, buf, length);
      if (result != ADM_OK) FUZZ_CHECK(length == kUnwritten, "failure leaves the length alone");
      break;
    }
    case 1:
    case 2:
      result = (op == 1 ? Adm_ResetICC : Adm_PowerICC)(buf.data(), &length);
      wire = Wire({{0x01, 0x80, 0x00, 0x81}, {0x01, 0x06, 0x01, 0x02, 0x04}});
      CheckReplyInto(result, first, buf, length);
      if (result != ADM_OK) FUZZ_CHECK(length == 0, "a failed reset leaves ATR length 0");
      break;
    case 3:
      result = Adm_GetTolmStats(buf.data());
      wire = Wire({{0x01, 0x01, 0x00, 0x00}});
      CheckReplyInto(result, first, buf, std::nullopt);
      break;
    case 4:
      result = Adm_IsICCPresent();
      wire = Wire({{0x01, 0x01, 0x00, 0x00}});
      FUZZ_CHECK(result == ADM_OK || result == ADM_FAILURE || result == ADM_COMM_ERROR,
                 "presence is 0, 1 or 4");
      if (first.kind == Expected::kShort) FUZZ_CHECK(result == ADM_COMM_ERROR, "timeout gives 4");
      if (first.kind == Expected::kOk && first.data.size() > 15) {
        const bool card = first.data[15] == 1 || first.data[15] == 3;
        FUZZ_CHECK(result == (card ? ADM_OK : ADM_FAILURE), "presence from status byte 15");
      }
      break;
    default: {
      if (op == 5) result = Adm_SelectCard(arg);
      if (op == 6) result = Adm_SetNotification(arg);
      if (op == 7) result = Adm_UnPowerICC();
      const std::uint8_t code = op == 5 ? 0x02 : op == 6 ? 0x06 : 0x81;
      wire = Wire({Frame(code, op == 7 ? std::vector<std::uint8_t>{} : std::vector{arg})});
      FUZZ_CHECK(result == ADM_OK || result == ADM_COMM_ERROR, "result is 0 or 4");
      if (first.kind == Expected::kShort) FUZZ_CHECK(result == ADM_COMM_ERROR, "timeout gives 4");
      if (first.kind == Expected::kOk) FUZZ_CHECK(result == ADM_OK, "a reply gives 0");
      break;
    }
  }

  if (Line().fail_writes) {
    FUZZ_CHECK(result == ADM_COMM_ERROR, "a failed write gives 4");
    FUZZ_CHECK(Line().pos == start, "nothing is read after a failed write");
    return 0;
  }
  FUZZ_CHECK(Line().written == wire, "the wire carries exactly STX, the frame in hex, ETX");
  FUZZ_CHECK(Line().timeouts <= static_cast<int>(transactions), "one timeout ends a command");
  if (end) FUZZ_CHECK(Line().pos == *end, "a command reads its reply and nothing more");
  return 0;
}
