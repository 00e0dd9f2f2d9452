// The fewest characters an APDU and its answer can cost on the reader's
// line, for the payload-efficiency column: minimal characters over the
// characters the driver actually put on the line (both directions).
//
// Every reader command is a frame of STX, the hex text of its bytes and
// ETX: head (01, command, length), data, checksum, so 2 x (data + 4) + 2
// characters out; every reply is 9 + 3 + 2 x data characters in, 4 more
// when it carries 255 bytes or more (the length byte FF, then a 16-bit
// length): the reply to a block with more than 250 INF bytes.
//
// T=1 (reader command A1 carries one block and one more byte): the APDU goes
// in I-blocks of min(IFSC, 250) INF (the frame carries a block of at most 254
// bytes: INF and 4); every block but the last is acknowledged by the card's
// R-block. The answer comes in I-blocks of min(IFSD, 254) INF, the first in
// reply to the last command block, each further one asked for with our
// R-block. The S(IFS) exchange that announces the IFSD happens once per
// power-up and is not part of any one APDU.
//
// T=0 (reader command A0): the APDU and one more byte in one frame, the
// whole answer in its reply.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace ttycard::bench {

inline constexpr unsigned int kMaxCommandInf = 250;  // a 254-byte block in one A1 frame
inline constexpr unsigned int kMaxAnswerInf = 254;   // the largest IFS there is
inline constexpr unsigned int kT1Overhead = 4;       // NAD PCB LEN ... LRC

// Characters of one reader command carrying `data` bytes, and of a reply
// carrying `data` bytes.
constexpr std::uint64_t FrameOutChars(std::uint64_t data) {
  return 2 * (data + 4) + 2;
}
inline constexpr std::uint64_t kExtendedReply = 255;  // data bytes that need the long length
constexpr std::uint64_t FrameInChars(std::uint64_t data) {
  return 9 + 3 + 2 * data + (data >= kExtendedReply ? 4 : 0);
}

// Pieces of `length` bytes in fields of `size` (at least one: an empty INF
// is still a block).
constexpr std::uint64_t Pieces(std::uint64_t length, std::uint64_t size) {
  return length == 0 ? 1 : (length + size - 1) / size;
}

// `apdu` command bytes and `answer` response bytes (data and SW1 SW2) with a
// card of `ifsc` and an IFSD of `ifsd`; sizes out of 1..254 are clamped.
constexpr std::uint64_t MinimalChars(int protocol, std::uint64_t apdu, std::uint64_t answer,
                                     unsigned int ifsc, unsigned int ifsd) {
  if (protocol == 0) return FrameOutChars(apdu + 1) + FrameInChars(answer);
  const std::uint64_t in_block = std::clamp(ifsc, 1u, kMaxCommandInf);
  const std::uint64_t out_block = std::clamp(ifsd, 1u, kMaxAnswerInf);
  const std::uint64_t commands = Pieces(apdu, in_block);
  const std::uint64_t answers = Pieces(answer, out_block);
  const std::uint64_t r_block = kT1Overhead + 1;  // in a frame, with the extra byte
  // Every block in a frame of its own: block + 1 data bytes, R-blocks
  // included; the data of all I-blocks adds up to the APDU and the answer.
  const std::uint64_t out = (commands * FrameOutChars(kT1Overhead + 1) + 2 * apdu) +
                            (answers - 1) * FrameOutChars(r_block);
  // Full answer blocks may need the long length; the last one is the rest.
  const std::uint64_t rest = answer - (answers - 1) * out_block;
  const std::uint64_t in = (answers - 1) * FrameInChars(kT1Overhead + out_block) +
                           FrameInChars(kT1Overhead + rest) +
                           (commands - 1) * FrameInChars(kT1Overhead);
  return out + in;
}

}  // namespace ttycard::bench
