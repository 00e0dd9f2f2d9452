// T=1 exchange of one APDU (ISO/IEC 7816-3, clause 11) over a reader channel,
// with the sizes, timing and limits of the road it serves.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>

#include "channel.h"

namespace ttycard::t1 {

struct Config {
  // Command blocks: true cuts commands into chained blocks of CHUNK_SIZE
  // (20) bytes, an APDU of up to 15 bytes going in one block; false uses
  // blocks as large as the card's IFSC and the reader's frame allow.
  bool fixed_chunks = true;
  // Waiting time: false leaves a granted extension in force after the
  // block it was asked for; true grants it for that one block, every other
  // reply being awaited for base_block_time.
  bool per_block_waits = false;
  int base_block_time = ADM_COMMAND_BLOCK_TIME;  // seconds a reader's reply normally gets
  std::size_t max_response = 272;                // longest response collected
  int max_transactions = 1024;                   // reader transactions in one exchange
  unsigned int ifsd_wanted = 0;                  // IFSD asked for after each reset (0: never ask)
};

// 11.6.2 rule 3: the card asks for `multiplier` times its block waiting time.
// The reader gets three seconds for each unit before it gives up on the
// card's next block, never less than the road's usual wait for a reply.
constexpr int WtxBlockTime(const Config& config, unsigned char multiplier) {
  return std::max(3 * static_cast<int>(multiplier), config.base_block_time);
}

struct State {
  unsigned char* ns;            // bit 0: N(S) of our next I-block
  unsigned char* nr;            // bit 0: N(S) expected in the card's next I-block (the
                                // N(R) of an R-block asking for it)
  bool resync_pending = false;  // the card may hold part of an exchange
  bool ifs_pending = false;     // S(IFS request) still to be sent to this card
  unsigned int atr_ifsc = 32;   // the card's IFSC as its ATR gave it
  unsigned int ifsc = 32;       // the card's information field size
  unsigned int ifsd = 32;       // ours, as the card knows it
  int careful = 0;              // exchanges left in which long blocks are read twice
  bool ifs_refused = false;     // the card refused an IFS request since its reset
};

// Sends `apdu` and collects the response into `out`. Returns ADM_OK with
// *outlen set, ADM_COMM_ERROR, or T1_CHAIN_ERROR when collecting a chained
// response failed or it did not fit `out`. On failure *outlen is untouched
// and `out` may hold a part of a response. Whatever the result, the card
// never ran a command cut short or made of blocks of different commands.
int Exchange(proto::Channel& channel, const Config& config, State& state,
             std::span<const unsigned char> apdu, std::span<unsigned char> out,
             std::size_t* outlen);

// The card has just answered a reset with `ifsc` (32 unless its ATR says
// otherwise): receive numbering restarts, nothing is pending; the send
// numbering restarts too when `restart_send` (the first I-block after an ATR
// carries N(S) 0).
void CardReset(State& state, unsigned int ifsc, bool restart_send, const Config& config);

// One T=1 block through the reader's pass-through command 0xA1.
int Quelt(proto::Channel& channel, const unsigned char* block, int len, unsigned char* reply,
          unsigned int* replylen);

}  // namespace ttycard::t1
