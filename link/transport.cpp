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
// Only head byte 3 (the data length) and the data are used; the framing
// characters, head bytes 0..2 and the reply checksum are read but not
// judged. The characters that are used must be upper-case hex digits, and a
// reply carries at most 255 data bytes: a reply that breaks this is not data,
// the exchange fails, and the rest of the reply is read off the line before
// the call returns, so that it cannot pass for the next answer.

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#include "linkcmds.h"
#include "serial.h"

namespace {

constexpr unsigned char kStx = 0x02;
constexpr unsigned char kEtx = 0x03;
constexpr int kHeadChars = 9;       // STX and four head bytes
constexpr int kExtLengthChars = 4;  // two bytes, high byte first
constexpr int kTrailerChars = 3;    // two checksum characters and ETX
constexpr unsigned char kExtendedLength = 0xFF;

constexpr std::array<char, 16> kDigits{'0', '1', '2', '3', '4', '5', '6', '7',
                                       '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};

// Value of an upper-case hex digit, or nothing.
constexpr std::optional<unsigned char> Nibble(unsigned char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned char>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<unsigned char>(c - 'A' + 10);
  return std::nullopt;
}

// Decodes two characters into one byte; nothing if either is not a digit.
std::optional<unsigned char> DecodeByte(unsigned char high, unsigned char low) {
  const auto h = Nibble(high);
  const auto l = Nibble(low);
  if (!h || !l) return std::nullopt;
  return static_cast<unsigned char>(*h << 4 | *l);
}

bool AllDigits(const unsigned char* text, int count) {
  return std::all_of(text, text + count, [](unsigned char c) { return Nibble(c).has_value(); });
}

// A reply is refused when a character that counts is not an upper-case hex
// digit, or when it announces more data than one reply may carry. What is
// left of it must come off the line, or its tail would pass for the answer to
// the next command. When the length can still be read (lower case is taken
// for this purpose only), exactly the announced rest is read and dropped;
// otherwise the line is read until it has been quiet for a block time.
constexpr int kSkipChunk = 512;
// Enough chunks for the longest reply a length can announce.
constexpr int kMaxSkipChunks = (2 * 0xFFFF + kTrailerChars) / kSkipChunk + 1;

// Set when a refused reply could not be read off the line to its end.
bool g_out_of_step = false;

// Digit value for the purpose of skipping a refused reply: lower case too.
std::optional<unsigned int> LenientByte(unsigned char high, unsigned char low) {
  const auto lower = [](unsigned char c) {
    return static_cast<unsigned char>(c >= 'a' && c <= 'f' ? c - 'a' + 'A' : c);
  };
  const auto byte = DecodeByte(lower(high), lower(low));
  if (!byte) return std::nullopt;
  return *byte;
}

// Reads and drops `count` characters, a chunk per read (each read has its
// own block time). False if the reader stopped short.
bool Skip(unsigned int count) {
  std::array<unsigned char, kSkipChunk> sink{};
  while (count > 0) {
    const unsigned int n = count < sink.size() ? count : static_cast<unsigned int>(sink.size());
    if (IO_Read(static_cast<int>(n), sink.data()) != 1) return false;
    count -= n;
  }
  return true;
}

// Reads and drops whatever arrives until a chunk does not complete within a
// block time (that read then discards both queues). False if the reader is
// still talking after the longest reply it could have announced.
bool SkipUntilQuiet() {
  std::array<unsigned char, kSkipChunk> sink{};
  for (int i = 0; i < kMaxSkipChunks; ++i) {
    if (IO_Read(kSkipChunk, sink.data()) != 1) return true;
  }
  return false;
}

// Refuses a reply whose rest is `rest` characters long, or of unknown length.
int Refuse(std::optional<unsigned int> rest) {
  if (rest) {
    Skip(*rest);  // a reader that stops short has ended the reply itself
  } else if (!SkipUntilQuiet()) {
    g_out_of_step = true;
  }
  IO_FlushBuffer();
  return ADM_COMM_ERROR;
}

}  // namespace

extern "C" {

unsigned char Adm_CheckSum(const unsigned char* data, unsigned int len) {
  unsigned char sum = 0;
  for (unsigned int i = 0; data != nullptr && i < len; ++i) sum ^= data[i];
  return sum;
}

int Adm_Convert2Ascii(const unsigned char* data, unsigned int len, char* out, int* count) {
  if (data == nullptr || out == nullptr) len = 0;
  for (unsigned int i = 0; i < len; ++i) {
    out[2 * i] = kDigits[data[i] >> 4];
    out[2 * i + 1] = kDigits[data[i] & 0x0F];
  }
  if (count != nullptr) *count = static_cast<int>(2 * len);
  return 1;
}

int Adm_Convert2Hex(const char* text, unsigned int len, unsigned char* out, int* count) {
  if (text == nullptr || out == nullptr) len = 0;
  // A character that is not a digit contributes nothing to its nibble. An odd
  // count decodes the last character alone as a high nibble: nothing past
  // `len` is ever read.
  for (unsigned int i = 0; i < len; i += 2) {
    unsigned char value = Nibble(static_cast<unsigned char>(text[i])).value_or(0) << 4;
    if (i + 1 < len) value |= Nibble(static_cast<unsigned char>(text[i + 1])).value_or(0);
    out[i / 2] = value;
  }
  if (count != nullptr) *count = static_cast<int>((len + 1) / 2);
  return 1;
}

int Adm_Transmit(const unsigned char* frame, int len, unsigned char* reply,
                 unsigned int* replylen) {
  if (len < 0 || len > ADM_MAX_FRAME || (len > 0 && frame == nullptr) || reply == nullptr ||
      replylen == nullptr) {
    return ADM_COMM_ERROR;
  }

  std::array<char, 2 * ADM_MAX_FRAME + 2> wire{};
  int chars = 0;
  wire[0] = static_cast<char>(kStx);
  Adm_Convert2Ascii(frame, static_cast<unsigned int>(len), &wire[1], &chars);
  wire[1 + chars] = static_cast<char>(kEtx);

  // A reader that was still talking when its last reply was refused must
  // have finished before a command goes out.
  if (g_out_of_step) {
    if (!SkipUntilQuiet()) return ADM_COMM_ERROR;
    g_out_of_step = false;
  }
  IO_FlushBuffer();  // a late answer to an earlier command is not ours
  if (IO_Write(chars + 2, reinterpret_cast<const unsigned char*>(wire.data())) != 1) {
    return ADM_COMM_ERROR;
  }

  // Head: the reply's STX and four bytes, of which byte 3 is the length.
  std::array<unsigned char, kHeadChars> head{};
  if (IO_Read(kHeadChars, head.data()) != 1) return ADM_COMM_ERROR;
  const auto short_length = LenientByte(head[7], head[8]);
  if (!short_length) return Refuse(std::nullopt);
  bool digits_ok = DecodeByte(head[7], head[8]).has_value();

  unsigned int length = *short_length;
  if (length == kExtendedLength) {
    std::array<unsigned char, kExtLengthChars> ext{};
    if (IO_Read(kExtLengthChars, ext.data()) != 1) return ADM_COMM_ERROR;
    const auto high = LenientByte(ext[0], ext[1]);
    const auto low = LenientByte(ext[2], ext[3]);
    if (!high || !low) return Refuse(std::nullopt);
    digits_ok = digits_ok && DecodeByte(ext[0], ext[1]) && DecodeByte(ext[2], ext[3]);
    length = *high << 8 | *low;
  }
  // One reply delivers at most what the callers' buffers hold; a longer one
  // is refused whole rather than cut to a misleading fragment.
  if (!digits_ok || length > ADM_MAX_REPLY) return Refuse(2 * length + kTrailerChars);

  // Data, then the reply checksum and ETX.
  std::array<unsigned char, 2 * ADM_MAX_REPLY + kTrailerChars> body{};
  const int body_chars = static_cast<int>(2 * length) + kTrailerChars;
  if (IO_Read(body_chars, body.data()) != 1) return ADM_COMM_ERROR;
  if (!AllDigits(body.data(), static_cast<int>(2 * length))) return Refuse(0);

  std::array<unsigned char, ADM_MAX_REPLY> data{};
  int decoded = 0;
  Adm_Convert2Hex(reinterpret_cast<const char*>(body.data()), 2 * length, data.data(), &decoded);
  std::memcpy(reply, data.data(), length);
  *replylen = length;
  return ADM_OK;
}

int Adm_SetWWT(int seconds) {
  IO_UpdateReturnBlock(seconds);
  return ADM_OK;
}

}  // extern "C"
