// Fuzzes the T=1 exchange against a card whose every answer comes from the
// input.
//
// Input: up to three exchanges, each starting with two bytes that give the
// APDU length (big-endian, modulo 262) followed by the card's answers, one
// reader reply per block the driver sends (chunk format in reader_line.h).
// The blocks the driver sends and the exchange's result are replayed from
// the card's answers by the T=1 rules (t1_check.h).

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "blockproto.h"
#include "fuzz_check.h"
#include "linkcmds.h"
#include "reader_line.h"
#include "t1_check.h"

namespace {

using namespace fuzzing;

constexpr std::size_t kMaxApdu = 261;
constexpr int kMaxExchanges = 3;
constexpr unsigned int kUnwritten = 0xDEADBEEF;

long g_worst_wait = 0;  // longest simulated wait of one exchange, seconds

void ReportWorstWait() {
  std::fprintf(stderr, "fuzz_t1: longest simulated wait of one exchange: %ld s\n", g_worst_wait);
}

std::vector<std::uint8_t> Apdu(std::size_t length, std::uint8_t seed) {
  std::vector<std::uint8_t> apdu(length);
  for (std::size_t i = 0; i < length; ++i) apdu[i] = static_cast<std::uint8_t>(i * 13 + seed);
  return apdu;
}

void Exchange(const std::vector<std::uint8_t>& apdu) {
  const std::size_t first = Log().size();
  const long waited = Line().waited_seconds;

  // The command in an exact-size heap copy: any read past it is caught.
  std::unique_ptr<std::uint8_t[]> command(new std::uint8_t[apdu.size() + 1]);
  if (!apdu.empty()) std::memcpy(command.get(), apdu.data(), apdu.size());
  GuardedBuffer response(T1_MAX_RESPONSE);
  unsigned int length = kUnwritten;
  const int result = T1_ExchangeData(command.get(), static_cast<unsigned int>(apdu.size()),
                                     response.data(), &length);

  FUZZ_CHECK(result == ADM_OK || result == ADM_COMM_ERROR || result == T1_CHAIN_ERROR,
             "T1_ExchangeData returns 0, 4 or 32");
  FUZZ_CHECK(response.FencesIntact(), "nothing written around the 272-byte response buffer");
  FUZZ_CHECK(apdu.empty() || std::memcmp(command.get(), apdu.data(), apdu.size()) == 0,
             "the APDU is not modified");
  const T1Outcome want = CheckT1Exchange(apdu, first);
  FUZZ_CHECK(Log().size() > first, "every exchange sends at least one block");
  FUZZ_CHECK(result == want.result, "the exchange ends as the card's answers say");

  switch (result) {
    case ADM_OK:
      FUZZ_CHECK(length == want.response.size(), "the response length is what the card sent");
      FUZZ_CHECK(length == 0 || std::memcmp(response.data(), want.response.data(), length) == 0,
                 "the response is the card's blocks' INF, in order");
      FUZZ_CHECK(response.UntouchedFrom(length), "nothing written past the response length");
      break;
    case ADM_COMM_ERROR:
      FUZZ_CHECK(length == 0, "a failed exchange reports length 0");
      FUZZ_CHECK(response.UntouchedFrom(0), "a failed exchange writes no response");
      break;
    default:
      FUZZ_CHECK(length == kUnwritten && response.UntouchedFrom(0),
                 "a failed chained response leaves the caller's buffers alone");
      break;
  }
  g_worst_wait = std::max(g_worst_wait, Line().waited_seconds - waited);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  std::atexit(ReportWorstWait);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  StartLine(LineMode::kReader, data, size);
  for (int n = 0; n < kMaxExchanges; ++n) {
    const auto hi = TakeByte();
    const auto lo = TakeByte();
    if (!hi || !lo) break;
    const std::size_t length = (static_cast<std::size_t>(*hi) << 8 | *lo) % (kMaxApdu + 1);
    Exchange(Apdu(length, *hi));
  }
  return 0;
}
