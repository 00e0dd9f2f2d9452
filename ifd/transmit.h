// One APDU to the card, the same way on both roads: the version 1.0 entry
// point (the process's one reader, ifdhandler.cpp) and ifd::Reader (each
// reader of a PC/SC host). The roads differ only in what they pass: the
// channel to the reader, the T=0 block time, their T=1 exchange (numbering,
// block sizes) and the receive buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "ifdhandler.h"
#include "linkcmds.h"
#include "t0_engine.h"

namespace ttycard::ifd {

inline constexpr std::uint32_t kProtocolT0 = 0;  // protocol numbers of a transmission
inline constexpr std::uint32_t kProtocolT1 = 1;
// Every APDU has its four header bytes, and a case 1 command no more: T=0
// sends it with P3 = 0 (t0_engine.h), T=1 as its four bytes (a P3 of 0
// would ask the card for 256 bytes).
inline constexpr std::size_t kMinCommand = t0::kCase1;

// Sends `tx` with `protocol`: T=0 on `channel`, each reply awaited for
// `t0_block_time`; T=1 through `t1(tx, rx, &length)`, which returns a link
// result. The response goes into `rx` and its length into *rxlen (only on
// success). IFD result codes: 606 for a command a protocol cannot carry,
// refused before anything is sent; 607 for a protocol other than 0 and 1;
// 612 when the exchange failed or the answer does not fit `rx`.
template <typename T1Exchange>
std::uint32_t Send(proto::Channel& channel, int t0_block_time, T1Exchange&& t1,
                   std::uint32_t protocol, std::span<const unsigned char> tx,
                   std::span<unsigned char> rx, std::size_t* rxlen) {
  if (tx.size() < kMinCommand || tx.data() == nullptr || rx.data() == nullptr) {
    return IFD_ERROR_NOT_SUPPORTED;
  }
  std::size_t length = 0;
  int result = ADM_COMM_ERROR;
  if (protocol == kProtocolT0) {
    result = t0::Exchange(channel, tx, rx, &length, t0_block_time);
  } else if (protocol == kProtocolT1) {
    result = t1(tx, rx, &length);
  } else {
    return IFD_PROTOCOL_NOT_SUPPORTED;
  }
  if (result == ADM_FAILURE) return IFD_ERROR_NOT_SUPPORTED;
  if (result != ADM_OK) return IFD_COMMUNICATION_ERROR;
  *rxlen = length;
  return IFD_SUCCESS;
}

}  // namespace ttycard::ifd
