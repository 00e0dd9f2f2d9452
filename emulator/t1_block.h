// ISO/IEC 7816-3 T=1 blocks: NAD, PCB, LEN, INF (LEN bytes), LRC (XOR of all
// bytes before it).
//
// PCB: I-block 0 N(S) M 00000 (N(S) bit 0x40, more-data bit 0x20);
//      R-block 1 0 0 N(R) 00 ee (N(R) bit 0x10; ee 01 EDC error, 10 other error);
//      S-block 1 1 r 000 tt (r 0x20 marks a response; tt 00 RESYNCH, 01 IFS,
//      10 ABORT, 11 WTX).
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "hex_codec.h"

namespace ttycard::emu {

inline constexpr std::uint8_t kPcbNs = 0x40;
inline constexpr std::uint8_t kPcbMore = 0x20;
inline constexpr std::uint8_t kPcbR = 0x80;
inline constexpr std::uint8_t kPcbNr = 0x10;
inline constexpr std::uint8_t kREdcError = 0x01;
inline constexpr std::uint8_t kROtherError = 0x02;
inline constexpr std::uint8_t kSResynchReq = 0xC0;
inline constexpr std::uint8_t kSIfsReq = 0xC1;
inline constexpr std::uint8_t kSAbortReq = 0xC2;
inline constexpr std::uint8_t kSWtxReq = 0xC3;
inline constexpr std::uint8_t kSResponse = 0x20;

enum class BlockKind : std::uint8_t { kI, kR, kS };

constexpr BlockKind KindOf(std::uint8_t pcb) {
  if ((pcb & 0x80) == 0) return BlockKind::kI;
  return (pcb & 0x40) ? BlockKind::kS : BlockKind::kR;
}

// NAD PCB LEN INF LRC.
Bytes MakeBlock(std::uint8_t pcb, std::span<const std::uint8_t> inf = {}, std::uint8_t nad = 0);
Bytes MakeI(int ns, bool more, std::span<const std::uint8_t> inf);
Bytes MakeR(int nr, std::uint8_t error = 0);

// Why a block is not well-formed (too short, LEN disagrees with the size,
// wrong LRC); empty if it is.
std::string BlockError(std::span<const std::uint8_t> block);

// "I(0,1) 00 84 ...", "R(1) EDC", "S(WTX request) 05": for traces.
std::string DescribeBlock(std::span<const std::uint8_t> block);

}  // namespace ttycard::emu
