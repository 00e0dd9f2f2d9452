#include "probes.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <functional>

#include "blockproto.h"
#include "line_model.h"
#include "linkcmds.h"
#include "serial.h"

namespace ttycard::bench {
namespace {

// Keeps the compiler from dropping a computation whose result is unused.
template <typename T>
void Keep(const T& value) {
  asm volatile("" : : "r"(&value) : "memory");
}

// Calls `fn` (which handles `bytes` frame bytes) until `seconds` have passed.
CodecRow Throughput(const char* name, std::size_t bytes, double seconds,
                    const std::function<void()>& fn) {
  constexpr int kBatch = 512;
  std::uint64_t calls = 0;
  const auto start = Clock::now();
  double elapsed = 0;
  do {
    for (int i = 0; i < kBatch; ++i) fn();
    calls += kBatch;
    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  } while (elapsed < seconds);
  return {name, static_cast<double>(calls * bytes) / elapsed};
}

}  // namespace

std::vector<CodecRow> MeasureCodec(double seconds) {
  // The longest frame a caller builds, and its text.
  std::array<unsigned char, ADM_MAX_REPLY> frame{};
  for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<unsigned char>(i * 37);
  std::array<char, 2 * ADM_MAX_REPLY> text{};
  std::array<unsigned char, ADM_MAX_REPLY> decoded{};
  int count = 0;
  Adm_Convert2Ascii(frame.data(), frame.size(), text.data(), &count);

  std::vector<CodecRow> rows;
  rows.push_back(Throughput("Adm_Convert2Ascii", frame.size(), seconds, [&] {
    Keep(frame);
    Adm_Convert2Ascii(frame.data(), frame.size(), text.data(), &count);
    Keep(text);
  }));
  rows.push_back(Throughput("Adm_Convert2Hex", frame.size(), seconds, [&] {
    Keep(text);
    Adm_Convert2Hex(text.data(), text.size(), decoded.data(), &count);
    Keep(decoded);
  }));
  rows.push_back(Throughput("Adm_CheckSum", frame.size(), seconds, [&] {
    Keep(frame);
    const unsigned char sum = Adm_CheckSum(frame.data(), frame.size());
    Keep(sum);
  }));
  // A chained block's prologue and INF: the most a caller hands it.
  constexpr std::size_t kBlock = 3 + CHUNK_SIZE;
  rows.push_back(Throughput("T1CalculateLRC", kBlock, seconds, [&] {
    Keep(frame);
    const unsigned char lrc = T1CalculateLRC(frame.data(), kBlock);
    Keep(lrc);
  }));
  return rows;
}

TimeoutResult MeasureReadTimeout(int tries, int block_s) {
  TimeoutResult result;
  result.block_s = block_s;
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  std::array<char, 128> name{};
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
      ptsname_r(master, name.data(), name.size()) != 0 ||
      IO_InitializePort(9600, 8, 'N', name.data()) != 1) {
    if (master >= 0) close(master);
    result.all_failed_in_time = false;
    return result;
  }
  IO_UpdateReturnBlock(block_s);
  for (int i = 0; i < tries; ++i) {
    std::array<unsigned char, 9> head{};
    const auto start = Clock::now();
    const int rc = IO_Read(static_cast<int>(head.size()), head.data());
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    if (rc != 0) result.all_failed_in_time = false;
    result.overshoot_s.push_back(took - block_s);
    ++result.tries;
  }
  IO_Close();
  close(master);
  return result;
}

}  // namespace ttycard::bench
