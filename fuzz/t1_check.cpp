#include "t1_check.h"

#include <algorithm>
#include <bitset>
#include <cstring>
#include <optional>

#include "fuzz_check.h"

namespace fuzzing {
namespace {

constexpr std::size_t kChunk = 20;
constexpr std::size_t kMaxResponse = 272;

// N(S) of the last I-block sent. The driver's send counter lives as long as
// the process, and so does this shadow of it.
std::optional<bool> g_last_ns;

// Block inside a 0xA1 frame: 01 A1 (n + 1) | block[n] | trailer | XOR.
std::vector<std::uint8_t> BlockOf(const std::vector<std::uint8_t>& frame) {
  FUZZ_CHECK(frame[1] == 0xA1, "a T=1 block travels in reader command 0xA1");
  FUZZ_CHECK(frame.size() >= 5 + 4, "command 0xA1 carries a whole T=1 block and one more byte");
  return {frame.begin() + 3, frame.end() - 2};
}

void CheckIBlock(const std::vector<std::uint8_t>& apdu, const std::vector<std::uint8_t>& block,
                 std::optional<std::size_t>& chunk) {
  const std::uint8_t pcb = block[1];
  FUZZ_CHECK((pcb & 0x9F) == 0, "I-block PCB holds only N(S) and M");
  const bool more = (pcb & 0x20) != 0;
  const bool ns = (pcb & 0x40) != 0;
  const std::size_t chunks = apdu.size() / kChunk;
  // Chunk `index` of the command goes out, either for the first time or once
  // more for a card that asked for it again. The fuzz targets' APDUs have no
  // two equal chunks, so the content tells which.
  std::size_t index = chunks;
  bool again = false;
  if (more) {
    FUZZ_CHECK(block[2] == kChunk, "a chained block carries a full chunk");
    again = chunk && *chunk < chunks &&
            std::memcmp(&block[3], apdu.data() + *chunk * kChunk, kChunk) == 0;
    index = again ? *chunk : (chunk ? *chunk + 1 : 0);
    FUZZ_CHECK(index < chunks, "chained blocks carry the full chunks in order");
  } else {
    again = chunk && *chunk == chunks;
    FUZZ_CHECK(again || (chunks == 0 ? !chunk : chunk && *chunk + 1 == chunks),
               "the last block follows every full chunk");
    FUZZ_CHECK(block[2] == apdu.size() - chunks * kChunk, "the last block carries the rest");
  }
  FUZZ_CHECK(block[2] == 0 || std::memcmp(&block[3], apdu.data() + index * kChunk, block[2]) == 0,
             "an I-block carries the APDU's bytes");
  if (!again && g_last_ns) FUZZ_CHECK(ns != *g_last_ns, "N(S) toggles from block to block");
  g_last_ns = ns;
  chunk = index;
}

void CheckSBlock(const std::vector<std::uint8_t>& block, const Transaction* previous,
                 int blocktime) {
  const std::uint8_t pcb = block[1];
  FUZZ_CHECK((pcb & 0x20) != 0 && (pcb & 0x1C) == 0, "the driver sends S-responses only");
  FUZZ_CHECK(previous != nullptr && previous->answered && previous->reply.size() >= 2,
             "an S-response answers a block the card sent");
  const std::uint8_t request = previous->reply[1];
  FUZZ_CHECK((request & 0xE0) == 0xC0 && (request & 0x03) != 0,
             "an S-response answers an S-request other than RESYNCH");
  if ((request & 0x03) == 0x01 || (request & 0x03) == 0x03) {
    FUZZ_CHECK(block[2] == 1, "IFS and WTX responses carry one byte");
    if (previous->reply.size() > 3) {
      FUZZ_CHECK(block[3] == previous->reply[3], "the response echoes the request's byte");
    }
  }
  if (pcb == 0xE3) {
    // 3 s per unit, but never shorter than the usual 4 s wait.
    if (3 * block[3] > 4) {
      FUZZ_CHECK(blocktime == 3 * block[3], "block time is 3 s per unit before WTX is answered");
    } else {
      FUZZ_CHECK(blocktime >= 4, "a short WTX never shortens the wait");
    }
  }
}

}  // namespace

void CheckT1Frames(const std::vector<std::uint8_t>& apdu, std::size_t first) {
  const auto& log = Line().log;
  FUZZ_CHECK(log.size() - first <= kMaxT1Transactions, "an exchange ends in bounded time");
  std::optional<std::size_t> chunk;
  for (std::size_t i = first; i < log.size(); ++i) {
    const std::vector<std::uint8_t> block = BlockOf(log[i].frame);
    FUZZ_CHECK(block[0] == 0x00, "NAD is 0");
    FUZZ_CHECK(block[2] + 4u == block.size(), "LEN counts the INF bytes");
    FUZZ_CHECK(Xor(block.data(), block.size() - 1) == block.back(), "LRC of the block");
    const std::uint8_t pcb = block[1];
    if ((pcb & 0x80) == 0) {
      CheckIBlock(apdu, block, chunk);
    } else if ((pcb & 0xC0) == 0x80) {
      FUZZ_CHECK((pcb & 0x6C) == 0 && (pcb & 0x03) != 0x03, "R-block PCB is 100N00ee");
      FUZZ_CHECK(block[2] == 0, "R-blocks carry no INF");
    } else if (pcb == 0xC0) {
      // S(RESYNCH request): before the first I-block of an exchange that
      // follows one given up half-way, and only there.
      FUZZ_CHECK(!chunk, "RESYNCH goes out before the exchange's I-blocks");
      FUZZ_CHECK(block[2] == 0, "RESYNCH carries no INF");
      const auto& r = log[i].reply;
      if (log[i].answered && r.size() == 4 && r[1] == 0xE0 && r[2] == 0 &&
          Xor(r.data(), 3) == r[3]) {
        g_last_ns = true;  // confirmed: the next I-block carries N(S) 0
      }
    } else {
      CheckSBlock(block, i > first ? &log[i - 1] : nullptr, log[i].blocktime);
    }
  }
}

bool ResponseFromCard(std::size_t first, const std::uint8_t* response, std::size_t length) {
  if (length > kMaxResponse) return false;
  // reach[p]: the first p response bytes are the INF of some of the blocks
  // seen so far, in order.
  std::bitset<kMaxResponse + 1> reach;
  reach[0] = true;
  const auto& log = Line().log;
  for (std::size_t i = first; i < log.size(); ++i) {
    const auto& r = log[i].reply;
    if (!log[i].answered || r.size() < 3 || r[2] == 0) continue;
    const std::size_t n = std::min<std::size_t>(r[2], r.size() - 3);
    for (std::size_t p = length + 1; p-- > 0;) {
      if (reach[p] && p + n <= length && (n == 0 || std::memcmp(response + p, &r[3], n) == 0)) {
        reach[p + n] = true;
      }
    }
  }
  return reach[length];
}

}  // namespace fuzzing
