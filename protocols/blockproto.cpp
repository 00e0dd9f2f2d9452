// The T=1 functions of the version 1.0 interface: checksum, classification,
// the waiting-time answer, one block through the reader's pass-through
// command 0xA1, and the exchange of one APDU (t1_engine.h, on the process's
// one reader with the road's fixed sizes):
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
constexpr int kMaxBlock = ADM_MAX_CARD_PAYLOAD;

// The version 1.0 road: 20-byte chunks, a 272-byte response, a granted
// waiting time that stays in force.
constexpr Config kVersion1Road{};
ttycard::proto::AdmChannel g_channel;

// The sequence numbers of the process's one card, carried from one exchange
// to the next; only bit 0 counts.
// ucSChainNum: N(S) of our next I-block.
unsigned char ucSChainNum = 0;
// ucRChainNum: the N(S) expected in the card's next I-block, 0 after a reset
// or a resynchronisation. It is also the N(R) of the R-block that asks for
// that block (so the first such R-block after start-up, following the card's
// I-block 0, names 1).
unsigned char ucRChainNum = 0;
ttycard::t1::State g_state{&ucSChainNum, &ucRChainNum};

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
  const PcbFields pcb = ReadPcb(block[1]);
  switch (pcb.type) {
    case BlockType::kI:
      return T1_I_BLOCK;
    case BlockType::kS:
      return pcb.s_type == kSTypeResynch ? T1_S_BLOCK : T1_S_BLOCK_REQUEST;
    case BlockType::kR:
      break;
  }
  // Only N(R) 1 with an error bit gets a code of its own.
  if (pcb.number && (pcb.error & kRBlockEdcError) != 0) return T1_R_BLOCK_EDC_ERROR;
  if (pcb.number && (pcb.error & kRBlockOtherError) != 0) return T1_R_BLOCK_OTHER_ERROR;
  return T1_R_BLOCK;
}

void T1_WTXResponse(unsigned char multiplier, unsigned char* reply) {
  std::array<unsigned char, 5> block{kNad, kSWtxRequest | kSResponse, 1, multiplier, 0};
  block[4] = T1CalculateLRC(block.data(), 4);
  // The card's waiting time is granted before the answer goes out.
  g_channel.SetBlockTime(WtxBlockTime(kVersion1Road, multiplier));
  unsigned int replylen = 0;
  if (reply != nullptr) T1_QueltTransaction(block.data(), 5, reply, &replylen);
}

int T1_QueltTransaction(const unsigned char* block, int len, unsigned char* reply,
                        unsigned int* replylen) {
  return ttycard::t1::Quelt(g_channel, block, len, reply, replylen);
}

void T1_CardReset(void) {
  // A fresh card numbers its first I-block 0 and holds no half-done exchange.
  CardReset(g_state, 32, false, kVersion1Road);
}

int T1_ExchangeData(const unsigned char* apdu, unsigned int len, unsigned char* response,
                    unsigned int* resplen) {
  if (response == nullptr || resplen == nullptr || (apdu == nullptr && len > 0)) {
    return ADM_COMM_ERROR;
  }
  std::array<unsigned char, T1_MAX_RESPONSE> collected{};
  std::size_t length = 0;
  const int result = Exchange(g_channel, kVersion1Road, g_state, {apdu, len}, collected, &length);
  if (result != ADM_OK) {
    if (result != T1_CHAIN_ERROR) *resplen = 0;  // a broken chain leaves the caller's untouched
    return result;
  }
  std::memcpy(response, collected.data(), length);
  *resplen = static_cast<unsigned int>(length);
  return ADM_OK;
}

}  // extern "C"
