// T=1 block layout (ISO/IEC 7816-3, 11.3), and what a PCB says: one reading
// shared by the block primitives and the exchange.
//
//   +-----+-----+-----+------------+-----+
//   | NAD | PCB | LEN | INF[LEN]   | LRC |   LRC = XOR of every byte before it
//   +-----+-----+-----+------------+-----+
//
//   PCB of an I-block  0 N(S) M 00000        N(S) 0x40, more data M 0x20
//   PCB of an R-block  1 0 0 N(R) 00 ee      N(R) 0x10, ee: 01 EDC/parity
//                                                       error, 10 other error
//   PCB of an S-block  1 1 r 000 tt          r 0x20 response; tt: 00 RESYNCH,
//                                            01 IFS, 10 ABORT, 11 WTX
#pragma once

#include <cstddef>

namespace ttycard::t1 {

constexpr std::size_t kPrologue = 3;  // NAD, PCB, LEN
constexpr std::size_t kEpilogue = 1;  // LRC
constexpr std::size_t kOverhead = kPrologue + kEpilogue;

constexpr unsigned char kNad = 0x00;

constexpr unsigned char kBlockKindMask = 0xC0;
constexpr unsigned char kRBlock = 0x80;
constexpr unsigned char kSBlock = 0xC0;
constexpr unsigned char kIBlockNs = 0x40;
constexpr unsigned char kIBlockMore = 0x20;
constexpr unsigned char kRBlockNr = 0x10;
constexpr unsigned char kRBlockEdcError = 0x01;
constexpr unsigned char kRBlockOtherError = 0x02;
constexpr unsigned char kRBlockErrorMask = 0x03;
constexpr unsigned char kSResponse = 0x20;

constexpr unsigned char kSResynchRequest = 0xC0;
constexpr unsigned char kSIfsRequest = 0xC1;
constexpr unsigned char kSAbortRequest = 0xC2;
constexpr unsigned char kSWtxRequest = 0xC3;

// The extra byte command 0xA1 carries after the block, counted in the frame
// length; the reader does not use it.
constexpr unsigned char kPassThroughTrailer = 0x00;

enum class BlockType : unsigned char { kI, kR, kS };

// The fields of a PCB, read by its block type (11.3.2).
struct PcbFields {
  BlockType type;
  bool number;           // N(S) of an I-block, N(R) of an R-block
  bool more;             // I-block: M, more blocks of the chain follow
  unsigned char error;   // R-block: kRBlockEdcError and kRBlockOtherError bits
  unsigned char s_type;  // S-block: its two low bits (00 RESYNCH, 01 IFS, 10 ABORT, 11 WTX)
  bool s_response;       // S-block: a response, not a request
  bool s_plain;          // S-block: the bits between r and tt clear
};

constexpr PcbFields ReadPcb(unsigned char pcb) {
  PcbFields f{};
  if ((pcb & kRBlock) == 0) {
    f.type = BlockType::kI;
    f.number = (pcb & kIBlockNs) != 0;
    f.more = (pcb & kIBlockMore) != 0;
  } else if ((pcb & kBlockKindMask) == kRBlock) {
    f.type = BlockType::kR;
    f.number = (pcb & kRBlockNr) != 0;
    f.error = static_cast<unsigned char>(pcb & kRBlockErrorMask);
  } else {
    f.type = BlockType::kS;
    f.s_type = static_cast<unsigned char>(pcb & 0x03);
    f.s_response = (pcb & kSResponse) != 0;
    f.s_plain = (pcb & 0x1C) == 0;
  }
  return f;
}

constexpr unsigned char kSTypeResynch = kSResynchRequest & 0x03;
constexpr unsigned char kSTypeIfs = kSIfsRequest & 0x03;
constexpr unsigned char kSTypeAbort = kSAbortRequest & 0x03;
constexpr unsigned char kSTypeWtx = kSWtxRequest & 0x03;

}  // namespace ttycard::t1
