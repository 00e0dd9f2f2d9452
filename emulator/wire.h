// Line format of the reader.
//
// Command (host -> reader): STX 0x02, the binary frame as upper-case hex text,
// ETX 0x03. Binary frame: 0x01, command code, data length N, N data bytes,
// XOR of all bytes before it.
//
// Reply (reader -> host): STX, 8 hex characters for a 4-byte head
// (01, command code, status, data length; status 00, or 01 when the reader
// rejects a frame it could not decode), then - only when the length byte is
// 0xFF - 4 hex characters of a 16-bit big-endian extended length, the data as
// hex, 2 hex characters of the checksum (XOR of the head bytes, the extended
// length bytes if any, and the data; some readers send its complement or
// 00, see ReplyChecksum) and ETX. A host reads exactly 9 head
// characters, 4 more for an extended length, then 2 x length + 3.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "hex_codec.h"

namespace ttycard::emu {

inline constexpr char kStx = 0x02;
inline constexpr char kEtx = 0x03;

// Command codes the reader understands.
inline constexpr std::uint8_t kCmdStatus = 0x01;
inline constexpr std::uint8_t kCmdCardType = 0x02;
inline constexpr std::uint8_t kCmdNotification = 0x06;
inline constexpr std::uint8_t kCmdReset = 0x80;
inline constexpr std::uint8_t kCmdPowerDown = 0x81;
inline constexpr std::uint8_t kCmdT0 = 0xA0;
inline constexpr std::uint8_t kCmdT1 = 0xA1;

// One command frame as the reader received it, and what it sent back.
struct Frame {
  std::string wire;          // raw characters, STX and ETX included
  Bytes bytes;               // decoded binary frame; empty if the hex was bad
  std::uint8_t command = 0;  // bytes[1] when decoded
  Bytes data;                // the N data bytes when well-formed
  std::string error;         // why the frame is malformed; empty if well-formed
  std::string reply;         // characters written back (after faults); empty = silence
  std::chrono::steady_clock::time_point received{};

  bool ok() const { return error.empty(); }
};

// Decodes one piece of wire text cut out by FrameSplitter. Fills bytes,
// command and data, or error: missing STX/ETX, odd or non-hex text (lower
// case counts as non-hex), wrong header byte, wrong checksum, or a length
// byte that disagrees with the data. A length byte of N with 256 + N data
// bytes is accepted: an APDU of 255 bytes wraps the T=0 length byte to 0.
Frame DecodeWireFrame(std::string wire);

// Cuts a character stream into frames. Returns complete "STX ... ETX" pieces;
// characters outside frames come back as their own piece (starting without
// STX) once the next STX arrives or Flush() is called, and an STX inside a
// frame ends the unfinished frame as a piece without ETX.
class FrameSplitter {
 public:
  std::vector<std::string> Feed(std::string_view chars);
  // Stray characters seen since the last frame, if any; with `unfinished`
  // also a frame still waiting for its ETX (the line has gone quiet).
  std::optional<std::string> Flush(bool unfinished = false);

 private:
  static constexpr std::size_t kMaxPiece = 4096;
  std::string current_;
  bool in_frame_ = false;
};

// How the reader computes the checksum of its replies.
enum class ReplyChecksum : std::uint8_t {
  kXor,       // XOR of head, extended length and data bytes
  kInverted,  // bitwise NOT of that XOR
  kZero,      // always 00
};

inline constexpr std::uint8_t kReplyOk = 0x00;
inline constexpr std::uint8_t kReplyRejected = 0x01;  // head byte 2: frame rejected

// Reader-wide properties of every reply: head byte 2 and the checksum rule.
struct ReplyStyle {
  std::uint8_t status = kReplyOk;
  ReplyChecksum checksum = ReplyChecksum::kXor;
};

// The parts of one reply as written on the line.
struct ReplyParts {
  std::string head;     // STX + 8 hex characters
  std::string ext;      // 4 hex characters, or empty
  std::string data;     // 2 x length hex characters
  std::string trailer;  // 2 checksum characters + ETX
  std::uint8_t checksum = 0;

  std::string All() const { return head + ext + data + trailer; }
};

// Builds the reply to `command` carrying `data`. The extended form is used
// when asked or when there are more than 255 bytes; `announced` replaces the
// extended length value (the data sent stays as given).
ReplyParts BuildReply(std::uint8_t command, std::span<const std::uint8_t> data,
                      bool extended = false, std::optional<std::uint16_t> announced = {},
                      ReplyStyle style = {});

// The wire text of a command frame: what a correct host sends.
std::string EncodeCommand(std::uint8_t command, std::span<const std::uint8_t> data);

}  // namespace ttycard::emu
