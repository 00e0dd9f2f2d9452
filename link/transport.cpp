// Reader frame transport: binary frames as hexadecimal text on the line.
//
// Command, as built by the callers:
//
//   +------+---------+---+-----------+----------------------------+
//   | 0x01 | command | N | data[N]   | XOR of the N + 3 bytes     |
//   +------+---------+---+-----------+----------------------------+
//
// On the wire every byte becomes two upper-case hex characters, high nibble
// first, between STX and ETX:
//
//   STX | "01" "80" "00" "81" | ETX        (reset: 10 characters)
//
// Reply, as read from the line:
//
//   +-----+------------------+---------------+--------------+------+-----+
//   | STX | head: 4 bytes as | ext. length:  | data: 2 x L  | sum  | ETX |
//   |     | 8 hex characters | 4 characters, | characters   | 2    |     |
//   |     | (byte 3 = L)     | when L = 0xFF |              | chars|     |
//   +-----+------------------+---------------+--------------+------+-----+
//
// Head byte 3 is the data length; bytes 0..2 are the reader's own. The
// characters that give the length and the data must be upper-case hex digits,
// and a reply carries at most what the road's buffers hold: a reply that
// breaks this is not data, the exchange fails, and the rest of the reply is
// read off the line before the call returns, so that it cannot pass for the
// next answer.
//
// Whether the reply's checksum is judged, and how, is the reply checksum
// learner's business (reply_checksum.h): the transport reads a reply, tells
// the learner what it shows, and accepts it, refuses it, or asks the reader
// once more, as the learner says.

#include <time.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#include "codec.h"
#include "link.h"
#include "serial.h"

namespace ttycard::link {
namespace {

long MicrosecondsNow() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000000L + ts.tv_nsec / 1000;
}

constexpr unsigned char kStx = 0x02;
constexpr unsigned char kEtx = 0x03;
constexpr int kHeadChars = 9;       // STX and four head bytes
constexpr int kExtLengthChars = 4;  // two bytes, high byte first
constexpr int kTrailerChars = 3;    // two checksum characters and ETX
constexpr unsigned char kExtendedLength = 0xFF;
constexpr int kRawChars = kHeadChars + kExtLengthChars + 2 * ADM_MAX_WIDE_REPLY + kTrailerChars;

// A refused reply whose length cannot be read is read off until the line has
// been quiet for a block time, in chunks.
constexpr int kSkipChunk = 512;
constexpr int kMaxSkipChunks = (2 * 0xFFFF + kTrailerChars) / kSkipChunk + 1;

// One reply as it came off the line.
struct Reply {
  std::array<unsigned char, kRawChars> raw{};  // every character read
  int raw_length = 0;
  std::array<unsigned char, ADM_MAX_WIDE_REPLY> data{};
  unsigned int length = 0;
  ReplySum sum;  // what its checksum and framing show
};

// Digit value for the purpose of skipping a refused reply: lower case too.
std::optional<unsigned int> LenientByte(unsigned char high, unsigned char low) {
  const auto lower = [](unsigned char c) {
    return static_cast<unsigned char>(c >= 'a' && c <= 'f' ? c - 'a' + 'A' : c);
  };
  const auto byte = DecodeByte(lower(high), lower(low));
  if (!byte) return std::nullopt;
  return *byte;
}

bool AllDigits(const unsigned char* text, int count) {
  return std::all_of(text, text + count, [](unsigned char c) { return Nibble(c).has_value(); });
}

// Reads and drops the `count` characters still to come of a reply, a chunk
// per read (each read has its own block time). False if the reader stopped
// short.
bool Skip(Line& line, unsigned int count) {
  std::array<unsigned char, kSkipChunk> sink{};
  while (count > 0) {
    const unsigned int n = std::min<unsigned int>(count, sink.size());
    if (!line.ReadRest(static_cast<int>(n), sink.data())) return false;
    count -= n;
  }
  return true;
}

// Reads and drops whatever arrives until a chunk does not complete within a
// block time. False if the reader is still talking after the longest reply
// it could have announced.
bool SkipUntilQuiet(Line& line) {
  std::array<unsigned char, kSkipChunk> sink{};
  for (int i = 0; i < kMaxSkipChunks; ++i) {
    if (!line.Read(kSkipChunk, sink.data())) return true;
  }
  return false;
}

int Refuse(Link& link, std::optional<unsigned int> rest) {
  if (rest) {
    Skip(link.line, *rest);  // a reader that stops short has ended the reply itself
  } else if (!SkipUntilQuiet(link.line)) {
    link.out_of_step = true;
  }
  link.line.Flush();
  return ADM_COMM_ERROR;
}

// Reads `count` more characters of the reply: its first ones (the head)
// when the reader has them ready, the rest as the line delivers them.
bool ReadInto(Line& line, Reply& r, int count) {
  unsigned char* at = &r.raw[static_cast<std::size_t>(r.raw_length)];
  if (!(r.raw_length == 0 ? line.Read(count, at) : line.ReadRest(count, at))) return false;
  r.raw_length += count;
  return true;
}

// Reads one reply. ADM_OK with `r` filled (whatever its checksum), or
// ADM_COMM_ERROR after the line has been cleaned of a refused reply.
int ReadReply(Link& link, Reply& r) {
  Line& line = link.line;
  if (!ReadInto(line, r, kHeadChars)) return ADM_COMM_ERROR;
  const unsigned char* head = r.raw.data();
  const auto short_length = LenientByte(head[7], head[8]);
  if (!short_length) return Refuse(link, std::nullopt);
  bool digits_ok = AllDigits(head + 1, 8);

  unsigned int length = *short_length;
  const bool extended = length == kExtendedLength;
  if (extended) {
    if (!ReadInto(line, r, kExtLengthChars)) return ADM_COMM_ERROR;
    const unsigned char* ext = &r.raw[kHeadChars];
    const auto high = LenientByte(ext[0], ext[1]);
    const auto low = LenientByte(ext[2], ext[3]);
    if (!high || !low) return Refuse(link, std::nullopt);
    digits_ok = digits_ok && AllDigits(ext, kExtLengthChars);
    length = *high << 8 | *low;
  }
  // One reply delivers at most what the road's buffers hold; a longer one is
  // refused whole rather than cut to a misleading fragment.
  if (!digits_ok || length > link.max_reply) return Refuse(link, 2 * length + kTrailerChars);

  const int body_start = r.raw_length;
  if (!ReadInto(line, r, static_cast<int>(2 * length) + kTrailerChars)) return ADM_COMM_ERROR;
  const unsigned char* body = &r.raw[static_cast<std::size_t>(body_start)];
  if (!AllDigits(body, static_cast<int>(2 * length))) {
    line.Flush();
    return ADM_COMM_ERROR;
  }
  for (unsigned int i = 0; i < length; ++i) {
    r.data[i] = *DecodeByte(body[2 * i], body[2 * i + 1]);
  }
  r.length = length;

  // The XOR of the head (and extended length) bytes and the data, against
  // the checksum the reader sent, and the framing characters.
  unsigned char sum = 0;
  for (int i = 1; i < kHeadChars; i += 2) sum ^= *DecodeByte(head[i], head[i + 1]);
  unsigned char ext_sum = 0;
  if (extended) {
    const unsigned char* ext = &r.raw[kHeadChars];
    ext_sum = static_cast<unsigned char>(*DecodeByte(ext[0], ext[1]) ^ *DecodeByte(ext[2], ext[3]));
  }
  for (unsigned int i = 0; i < length; ++i) sum ^= r.data[i];
  const unsigned char* trailer = body + 2 * length;
  const auto sent = DecodeByte(trailer[0], trailer[1]);
  const bool framed = head[0] == kStx && trailer[2] == kEtx;
  r.sum.extended = extended;
  r.sum.with_length = framed && sent && *sent == (sum ^ ext_sum);
  r.sum.without_length = framed && sent && extended && *sent == sum;
  return ADM_OK;
}

// Reader commands that can safely be sent twice.
bool Repeatable(const unsigned char* frame, int len) {
  if (len < 2) return false;
  switch (frame[1]) {
    case 0x01:  // status
    case 0x02:  // card type
    case 0x06:  // notification mode
    case 0x80:  // reset
    case 0x81:  // power down
      return true;
    default:
      return false;
  }
}

bool SameCharacters(const Reply& a, const Reply& b) {
  return a.raw_length == b.raw_length &&
         std::equal(a.raw.begin(), a.raw.begin() + a.raw_length, b.raw.begin());
}

// Writes the frame and reads its reply, telling the watcher.
int Exchange(Link& link, std::span<const char> wire, Reply& r) {
  link.line.Flush();  // a late answer to an earlier command is not ours
  if (!link.line.Write(static_cast<int>(wire.size()),
                       reinterpret_cast<const unsigned char*>(wire.data()))) {
    return ADM_COMM_ERROR;
  }
  if (link.watcher == nullptr) return ReadReply(link, r);
  const long written = MicrosecondsNow();
  link.watcher->Sent(wire);
  const int result = ReadReply(link, r);
  link.watcher->Received(
      std::span<const unsigned char>(r.raw.data(), static_cast<std::size_t>(r.raw_length)),
      result == ADM_OK, MicrosecondsNow() - written);
  return result;
}

}  // namespace

int Transmit(Link& link, const unsigned char* frame, int len, unsigned char* reply,
             unsigned int* replylen) {
  if (len < 0 || len > ADM_MAX_FRAME || (len > 0 && frame == nullptr) || reply == nullptr ||
      replylen == nullptr || link.max_reply > ADM_MAX_WIDE_REPLY) {
    return ADM_COMM_ERROR;
  }

  std::array<char, 2 * ADM_MAX_FRAME + 2> wire{};
  int chars = 0;
  wire[0] = static_cast<char>(kStx);
  Adm_Convert2Ascii(frame, static_cast<unsigned int>(len), &wire[1], &chars);
  wire[static_cast<std::size_t>(1 + chars)] = static_cast<char>(kEtx);
  const std::span<const char> text(wire.data(), static_cast<std::size_t>(chars + 2));

  // A reader that was still talking when its last reply was refused must
  // have finished before a command goes out.
  if (link.out_of_step) {
    if (!SkipUntilQuiet(link.line)) return ADM_COMM_ERROR;
    link.out_of_step = false;
  }

  Reply first;
  if (Exchange(link, text, first) != ADM_OK) return ADM_COMM_ERROR;
  const Reply* taken = &first;
  Verdict verdict = link.checksum.Reply(first.sum, Repeatable(frame, len));

  Reply second;  // the same command asked again
  if (verdict == Verdict::kAskAgain) {
    verdict = Verdict::kAccept;  // unless the second answer comes: the first, as it came
    if (Exchange(link, text, second) == ADM_OK) {
      taken = &second;
      verdict = link.checksum.Repeated(second.sum, SameCharacters(first, second));
    }
  }

  switch (verdict) {
    case Verdict::kRefuse:
    case Verdict::kAskAgain:  // (not after Repeated)
      link.line.Flush();
      return ADM_COMM_ERROR;
    case Verdict::kConcludeUnchecked:
      if (link.unchecked_notice != nullptr) link.unchecked_notice(link.notice_context);
      break;
    case Verdict::kAccept:
      break;
  }
  std::memcpy(reply, taken->data.data(), taken->length);
  *replylen = taken->length;
  return ADM_OK;
}

}  // namespace ttycard::link

namespace {

// The link of the process's one port: the IO_ functions.
class PortLine final : public ttycard::link::Line {
 public:
  bool Read(int count, unsigned char* buf) override { return IO_Read(count, buf) == 1; }
  bool Write(int count, const unsigned char* data) override { return IO_Write(count, data) == 1; }
  bool Flush() override { return IO_FlushBuffer() == 1; }
};

PortLine g_line;
ttycard::link::Link g_link(g_line);

}  // namespace

namespace ttycard::link {

Link& DefaultLink() {
  return g_link;
}

}  // namespace ttycard::link

extern "C" {

int Adm_Transmit(const unsigned char* frame, int len, unsigned char* reply,
                 unsigned int* replylen) {
  return ttycard::link::Transmit(ttycard::link::DefaultLink(), frame, len, reply, replylen);
}

int Adm_SetWWT(int seconds) {
  IO_UpdateReturnBlock(seconds);
  return ADM_OK;
}

}  // extern "C"
