// T=1 block primitives: checksum, classification, and one block through the
// reader's pass-through command 0xA1:
//
//   +------+------+-------------+------------------+------+-----------+
//   | 0x01 | 0xA1 | (n + 1) % 256 | T=1 block, n bytes | 0x00 | XOR of all |
//   +------+------+-------------+------------------+------+-----------+
//
// The reader hands the block to the card and returns the card's answering
// block as its reply data.

#include "blockproto.h"

#include <array>
#include <cstring>

#include "linkcmds.h"
#include "t1_blocks.h"
#include "t1_engine.h"

namespace {

using namespace ttycard::t1;

constexpr unsigned char kCmdT1PassThrough = 0xA1;
// The frame length byte counts the block and the trailer byte; it must not
// wrap, or the reader would read a different frame than the one we send.
constexpr int kMaxBlock = 254;

ttycard::proto::AdmChannel g_channel;

}  // namespace

namespace ttycard::t1 {

int Quelt(proto::Channel& channel, const unsigned char* block, int len, unsigned char* reply,
          unsigned int* replylen) {
  if (len < 0 || len > kMaxBlock || (len > 0 && block == nullptr)) return ADM_COMM_ERROR;
  std::array<unsigned char, ADM_MAX_FRAME> frame{};
  frame[0] = ADM_FRAME_HEADER;
  frame[1] = kCmdT1PassThrough;
  frame[2] = static_cast<unsigned char>((len + 1) % 256);
  if (len > 0) std::memcpy(&frame[3], block, static_cast<std::size_t>(len));
  const auto n = static_cast<std::size_t>(len);
  frame[3 + n] = kPassThroughTrailer;
  frame[4 + n] = Adm_CheckSum(frame.data(), static_cast<unsigned int>(n + 4));
  return channel.Transmit(frame.data(), len + 5, reply, replylen);
}

}  // namespace ttycard::t1

extern "C" {

// The block's LRC is the same XOR as the reader frame's checksum.
unsigned char T1CalculateLRC(const unsigned char* data, unsigned int len) {
  return Adm_CheckSum(data, len);
}

int T1_GetResponseType(const unsigned char* block, unsigned int /*len*/) {
  if (block == nullptr) return 0;
  const unsigned char pcb = block[1];
  if ((pcb & kRBlock) == 0) return T1_I_BLOCK;
  if ((pcb & kBlockKindMask) == kSBlock) {
    return (pcb & 0x03) != 0 ? T1_S_BLOCK_REQUEST : T1_S_BLOCK;
  }
  if ((pcb & kRBlockNr) != 0) {
    if ((pcb & kRBlockEdcError) != 0) return T1_R_BLOCK_EDC_ERROR;
    if ((pcb & kRBlockOtherError) != 0) return T1_R_BLOCK_OTHER_ERROR;
  }
  return T1_R_BLOCK;
}

void T1_WTXResponse(unsigned char multiplier, unsigned char* reply) {
  std::array<unsigned char, 5> block{kNad, kSWtxRequest | kSResponse, 1, multiplier, 0};
  block[4] = T1CalculateLRC(block.data(), 4);
  // The card asked for `multiplier` times its waiting time: give the reader
  // three seconds for each before giving up on the answer, but never less
  // than the usual wait for a reader's reply.
  if (3 * static_cast<int>(multiplier) > ADM_COMMAND_BLOCK_TIME)
    Adm_SetWWT(3 * static_cast<int>(multiplier));
  unsigned int replylen = 0;
  if (reply != nullptr) T1_QueltTransaction(block.data(), 5, reply, &replylen);
}

int T1_QueltTransaction(const unsigned char* block, int len, unsigned char* reply,
                        unsigned int* replylen) {
  return ttycard::t1::Quelt(g_channel, block, len, reply, replylen);
}

}  // extern "C"
