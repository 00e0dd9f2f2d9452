// Fuzzes the reader frame transport and the reader commands against any
// characters the reader may send.
//
// Input: byte 0 picks the call (low 3 bits), with bit 0x40 makes every write
// fail, and with bits 0x38 picks what the link already knows of the reader's
// checksum rule (kStarts below; 0: a new reader); byte 1 is the call's
// argument (card type, notification mode, or for Adm_Transmit the frame
// length, plus 5 when bit 0x80 of byte 0 is set, followed by that many frame
// bytes). Everything after that is the stream of characters the reader
// sends; once it runs out, reads time out.
//
// The stream is also read here, independently, the way the reply format and
// the checksum rule say the link must read it (Model below): the result, the
// data, the frames written, the characters consumed and what the link learnt
// must all agree with it.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "fuzz_check.h"
#include "link.h"
#include "linkcmds.h"
#include "reader_line.h"

namespace {

using namespace fuzzing;
using ttycard::link::ReplyChecksum;

constexpr unsigned int kUnwritten = 0xDEADBEEF;
constexpr std::size_t kMaxReply = 255;
// Past this a refused reply could outlast the link's patience for a reader
// that keeps talking; inputs stay far below it.
constexpr std::size_t kMaxInput = 64 * 1024;

// The learning as the model keeps it: counts of clean and damaged replies, of
// retries, and of extended replies that fitted only one of the two sums.
using Rule = ReplyChecksum::State;
struct Counts {
  Rule rule = Rule::kLearning;
  int matches = 0, mismatches = 0, retries = 0;
  int ext_with = 0, ext_without = 0;
};

// What the link may know of a reader before the call: each a state a real
// line reaches.
const Counts kStarts[8] = {
    {},
    {Rule::kLearning, 1, 0, 0, 0, 0},
    {Rule::kLearning, 0, 3, 3, 0, 0},
    {Rule::kLearning, 1, 2, 1, 0, 0},
    {Rule::kChecked, 2, 0, 0, 0, 0},
    {Rule::kChecked, 2, 1, 1, 2, 0},
    {Rule::kChecked, 2, 0, 0, 0, 2},
    {Rule::kUnchecked, 0, 4, 0, 0, 0},
};

// The learner's state for those counts.
ReplyChecksum Learner(const Counts& c) {
  using Sum = ReplyChecksum::LengthSum;
  ReplyChecksum r;
  r.state = c.rule;
  r.length_sum = c.ext_with > 0 && c.ext_without > 0 ? Sum::kEither
                 : c.ext_with >= 2                   ? Sum::kWith
                 : c.ext_without >= 2                ? Sum::kWithout
                 : c.ext_with == 1                   ? Sum::kWithOnce
                 : c.ext_without == 1                ? Sum::kWithoutOnce
                                                     : Sum::kUnknown;
  r.clean = static_cast<std::uint8_t>(c.matches);
  r.damaged = static_cast<std::uint8_t>(c.mismatches);
  r.repeats = static_cast<std::uint8_t>(c.retries);
  return r;
}

bool Upper(const std::uint8_t* s, std::size_t n) {
  std::uint8_t v = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (!HexValue(s[i], v)) return false;
  }
  return true;
}

std::optional<std::uint8_t> Byte(const std::uint8_t* s, bool lenient) {
  const auto up = [lenient](std::uint8_t c) {
    return static_cast<std::uint8_t>(lenient && c >= 'a' && c <= 'f' ? c - 'a' + 'A' : c);
  };
  std::uint8_t hi = 0;
  std::uint8_t lo = 0;
  if (!HexValue(up(s[0]), hi) || !HexValue(up(s[1]), lo)) return std::nullopt;
  return static_cast<std::uint8_t>(hi << 4 | lo);
}

// One reply read off the stream.
struct Reply {
  enum Kind { kTimeout, kRefused, kOk } kind = kTimeout;
  std::size_t begin = 0;
  std::size_t end = 0;  // stream position after the link is done with it
  std::vector<std::uint8_t> data;
  bool extended = false;
  bool with = false;     // checksum and framing follow the XOR rule
  bool without = false;  // ... extended, with the length bytes left out
};

// STX + 4 head bytes (9 characters), 4 more when head byte 3 is 0xFF, then
// 2 x length data characters and 3 trailer characters. Too few characters is
// a timeout that empties the line. A length the link cannot read (not even
// as lower-case digits) is refused and the line read until quiet; a reply
// with lower-case digits in the head, or longer than 255 bytes, is refused
// and its announced rest read off; one with data that is not upper-case hex
// is refused after it was read whole.
Reply ReadReply(std::size_t pos) {
  const std::size_t total = Line().script_size;
  Reply r{Reply::kTimeout, pos, total, {}, false, false, false};
  const std::uint8_t* s = Line().script + pos;
  const std::size_t n = total - pos;
  if (n < 9) return r;
  const auto len8 = Byte(s + 7, true);
  if (!len8) return {Reply::kRefused, pos, total, {}, false, false, false};
  bool digits = Upper(s + 1, 8);
  std::size_t length = *len8;
  std::size_t at = 9;
  if (*len8 == 0xFF) {
    r.extended = true;
    if (n < 13) return r;
    const auto hi = Byte(s + 9, true);
    const auto lo = Byte(s + 11, true);
    if (!hi || !lo) return {Reply::kRefused, pos, total, {}, false, false, false};
    digits = digits && Upper(s + 9, 4);
    length = static_cast<std::size_t>(*hi) << 8 | *lo;
    at = 13;
  }
  const std::size_t whole = at + 2 * length + 3;
  if (!digits || length > kMaxReply) {
    return {Reply::kRefused, pos, std::min(total, pos + whole), {}, false, false, false};
  }
  if (n < whole) return r;
  r.end = pos + whole;
  if (!Upper(s + at, 2 * length)) {
    r.kind = Reply::kRefused;
    return r;
  }
  std::uint8_t sum = 0;
  for (int i = 0; i < 4; ++i) sum ^= *Byte(s + 1 + 2 * i, false);
  for (std::size_t i = 0; i < length; ++i) {
    r.data.push_back(*Byte(s + at + 2 * i, false));
    sum ^= r.data.back();
  }
  const std::uint8_t ext = r.extended ? *Byte(s + 9, false) ^ *Byte(s + 11, false) : 0;
  const std::uint8_t* trailer = s + at + 2 * length;
  const auto sent = Byte(trailer, false);
  const bool framed = s[0] == kStx && trailer[2] == kEtx;
  r.with = framed && sent && *sent == (sum ^ ext);
  r.without = framed && sent && r.extended && *sent == sum;
  r.kind = Reply::kOk;
  return r;
}

bool Same(const Reply& a, const Reply& b) {
  return a.end - a.begin == b.end - b.begin &&
         std::memcmp(Line().script + a.begin, Line().script + b.begin, a.end - a.begin) == 0;
}

// The link, as the checksum rule says it must behave.
struct Model {
  Counts cs;
  std::size_t pos = 0;
  int writes = 0;
  int notices = 0;  // the log told of an unchecked reader

  bool Follows(const Reply& r) const {
    if (!r.extended) return r.with;
    const bool with_ok = !(cs.ext_without >= 2 && cs.ext_with == 0);
    const bool without_ok = !(cs.ext_with >= 2 && cs.ext_without == 0);
    return (with_ok && r.with) || (without_ok && r.without);
  }
  void Match() {
    if (++cs.matches >= 2) cs.rule = Rule::kChecked;
  }
  void GiveUp() {
    cs.rule = Rule::kUnchecked;
    ++notices;
  }
  void Mismatch() {
    if (++cs.mismatches >= 4) GiveUp();
  }

  // One Transmit of a frame with command `code` (nullopt: shorter than 2
  // bytes); the data given, or nothing for ADM_COMM_ERROR.
  std::optional<std::vector<std::uint8_t>> Transmit(std::optional<std::uint8_t> code) {
    if (Line().fail_writes) return std::nullopt;
    ++writes;
    const Reply first = ReadReply(pos);
    pos = first.end;
    if (first.kind != Reply::kOk) return std::nullopt;
    switch (cs.rule) {
      case Rule::kChecked:
        if (!Follows(first)) return std::nullopt;
        if (first.extended && first.with != first.without)
          ++(first.with ? cs.ext_with : cs.ext_without);
        return first.data;
      case Rule::kUnchecked:
        return first.data;
      case Rule::kLearning:
        break;
    }
    if (Follows(first)) {
      Match();
      return first.data;
    }
    Mismatch();
    const bool repeatable =
        code && (*code == 0x01 || *code == 0x02 || *code == 0x06 || *code == 0x80 || *code == 0x81);
    if (cs.rule != Rule::kLearning || !repeatable || cs.retries >= 3) return first.data;
    ++cs.retries;
    ++writes;  // the same frame once more
    const Reply second = ReadReply(pos);
    pos = second.end;
    if (second.kind != Reply::kOk) return first.data;  // the first, as it came
    if (Follows(second)) {
      Match();
    } else if (Same(first, second)) {
      GiveUp();
    } else {
      Mismatch();
    }
    return second.data;
  }
};

bool SameState(const ReplyChecksum& a, const ReplyChecksum& b) {
  return a.state == b.state && a.length_sum == b.length_sum && a.clean == b.clean &&
         a.damaged == b.damaged && a.repeats == b.repeats;
}

int g_notices = 0;
void Noticed(void*) {
  ++g_notices;
}

// The result and the caller's reply buffer against the modelled reply.
void CheckReplyInto(int result, const std::optional<std::vector<std::uint8_t>>& want,
                    const GuardedBuffer& buf, std::optional<unsigned int> length) {
  FUZZ_CHECK(buf.FencesIntact(), "nothing written around the 255-byte reply buffer");
  FUZZ_CHECK(result == (want ? ADM_OK : ADM_COMM_ERROR), "result as the reply and the rule say");
  if (!want) {
    FUZZ_CHECK(buf.UntouchedFrom(0), "a failed command writes no reply data");
    return;
  }
  FUZZ_CHECK(want->empty() || std::memcmp(buf.data(), want->data(), want->size()) == 0,
             "reply data as the reader sent it");
  FUZZ_CHECK(buf.UntouchedFrom(want->size()), "nothing written past the reply data");
  if (length) FUZZ_CHECK(*length == want->size(), "reply length as the reader sent it");
}

std::vector<std::uint8_t> Repeat(const std::vector<std::uint8_t>& text, int times) {
  std::vector<std::uint8_t> all;
  for (int i = 0; i < times; ++i) all.insert(all.end(), text.begin(), text.end());
  return all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2 || size > kMaxInput) return 0;
  const std::uint8_t op = data[0] & 0x07;
  const std::uint8_t arg = data[1];
  StartLine(LineMode::kStream, data, size);
  TakeByte();
  TakeByte();
  Line().fail_writes = (data[0] & 0x40) != 0;
  const Counts& known = kStarts[(data[0] >> 3) & 0x07];
  ttycard::link::Link& link = ttycard::link::DefaultLink();
  link.checksum = Learner(known);
  link.unchecked_notice = Noticed;
  g_notices = 0;

  std::vector<std::uint8_t> frame;
  if (op == 0) {
    const std::size_t n = arg + ((data[0] & 0x80) ? 5u : 0u);
    for (std::size_t i = 0; i < n; ++i) frame.push_back(TakeByte().value_or(0));
  }
  const std::size_t start = Line().script_pos;
  Model model{known, start, 0, 0};
  std::vector<std::uint8_t> wire;  // every frame as written
  const auto expect = [&](const std::vector<std::uint8_t>& f) {
    const int before = model.writes;
    const auto got = model.Transmit(f.size() >= 2 ? std::optional(f[1]) : std::nullopt);
    const auto text = Repeat(WireText(f), model.writes - before);
    wire.insert(wire.end(), text.begin(), text.end());
    return got;
  };
  GuardedBuffer buf(kMaxReply);
  unsigned int length = kUnwritten;
  int result = 0;

  switch (op) {
    case 0: {
      // The frame in an exact-size heap copy: a read past it is caught.
      std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[frame.size() + 1]);
      if (!frame.empty()) std::memcpy(copy.get(), frame.data(), frame.size());
      const auto want = expect(frame);
      result = Adm_Transmit(copy.get(), static_cast<int>(frame.size()), buf.data(), &length);
      FUZZ_CHECK(frame.empty() || std::memcmp(copy.get(), frame.data(), frame.size()) == 0,
                 "the frame is not modified");
      CheckReplyInto(result, want, buf, length);
      if (!want) FUZZ_CHECK(length == kUnwritten, "failure leaves the length alone");
      break;
    }
    case 1:
    case 2: {
      const auto want = expect({0x01, 0x80, 0x00, 0x81});
      expect({0x01, 0x06, 0x01, 0x02, 0x04});  // set again whatever became of the reset
      result = (op == 1 ? Adm_ResetICC : Adm_PowerICC)(buf.data(), &length);
      CheckReplyInto(result, want, buf, length);
      if (!want) FUZZ_CHECK(length == 0, "a failed reset leaves ATR length 0");
      break;
    }
    case 3:
    case 4: {
      const auto want = expect({0x01, 0x01, 0x00, 0x00});
      if (op == 3) {
        result = Adm_GetTolmStats(buf.data());
        CheckReplyInto(result, want, buf, std::nullopt);
        break;
      }
      result = Adm_IsICCPresent();
      // A record too short to hold the card status byte (15) says nothing.
      int presence = ADM_COMM_ERROR;
      if (want && want->size() > 15) {
        presence = (*want)[15] == 1 || (*want)[15] == 3 ? ADM_OK : ADM_FAILURE;
      }
      FUZZ_CHECK(result == presence, "presence from status byte 15 of a whole record");
      break;
    }
    default: {
      const std::uint8_t code = op == 5 ? 0x02 : op == 6 ? 0x06 : 0x81;
      const auto want =
          expect(Frame(code, op == 7 ? std::vector<std::uint8_t>{} : std::vector{arg}));
      if (op == 5) result = Adm_SelectCard(arg);
      if (op == 6) result = Adm_SetNotification(arg);
      if (op == 7) result = Adm_UnPowerICC();
      FUZZ_CHECK(result == (want ? ADM_OK : ADM_COMM_ERROR), "a reply the link takes gives 0");
      break;
    }
  }

  FUZZ_CHECK(SameState(link.checksum, Learner(model.cs)),
             "the link learns the checksum rule as its replies show it");
  FUZZ_CHECK(g_notices == model.notices, "the log is told once of an unchecked reader");
  if (Line().fail_writes) {
    FUZZ_CHECK(result == ADM_COMM_ERROR, "a failed write gives 4");
    FUZZ_CHECK(Line().script_pos == start, "nothing is read after a failed write");
    FUZZ_CHECK(Line().written.empty(), "nothing reaches the line");
    return 0;
  }
  FUZZ_CHECK(Line().written == std::string(wire.begin(), wire.end()),
             "the wire carries exactly STX, the frame in hex, ETX, once per attempt");
  FUZZ_CHECK(Line().timeouts <= model.writes, "one timeout ends an attempt");
  FUZZ_CHECK(Line().script_pos == model.pos, "a command reads its replies and nothing more");
  return 0;
}
