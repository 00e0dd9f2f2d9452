// T=1 block layout (ISO/IEC 7816-3, 11.3), shared by the block primitives and
// the exchange.
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

}  // namespace ttycard::t1
