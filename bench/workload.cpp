#include "workload.h"

#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <chrono>

#include "blockproto.h"
#include "charproto.h"
#include "efficiency.h"
#include "emulator.h"
#include "line_model.h"
#include "linkcmds.h"
#include "reader_context.h"

namespace ttycard::bench {
namespace {

constexpr std::uint8_t kSw1Ok = 0x90;

bool EndsWith(std::span<const std::uint8_t> r, std::uint8_t sw1, std::uint8_t sw2) {
  return r.size() >= 2 && r[r.size() - 2] == sw1 && r[r.size() - 1] == sw2;
}

// The card's ECHO command answers P1P2 bytes, byte k being k & FF after the
// command data.
bool IsEcho(std::span<const std::uint8_t> r, std::span<const std::uint8_t> data, std::size_t n) {
  if (r.size() != n + 2 || !EndsWith(r, kSw1Ok, 0x00)) return false;
  for (std::size_t k = 0; k < n; ++k) {
    const std::uint8_t want = k < data.size() ? data[k] : static_cast<std::uint8_t>(k & 0xFF);
    if (r[k] != want) return false;
  }
  return true;
}

Bytes CaseThree(std::uint8_t ins, std::size_t lc) {
  Bytes apdu{0x00, ins, 0x00, 0x00, static_cast<std::uint8_t>(lc)};
  for (std::size_t i = 0; i < lc; ++i) apdu.push_back(static_cast<std::uint8_t>(0xA5 ^ i));
  return apdu;
}

double Seconds(const timeval& tv) {
  return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6;
}

}  // namespace

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  const std::size_t mid = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + mid, values.end());
  if (values.size() % 2 == 1) return values[mid];
  const double upper = values[mid];
  return (upper + *std::max_element(values.begin(), values.begin() + mid)) / 2;
}

std::vector<Shape> StandardShapes() {
  std::vector<Shape> shapes;
  shapes.push_back({.name = "t1-short",
                    .what = "T=1 GET CHALLENGE 8: 5-byte command, 10-byte answer",
                    .apdu = Bytes{0x00, 0x84, 0x00, 0x00, 0x08},
                    .answer = 10,
                    .check = [](auto r) { return r.size() == 10 && EndsWith(r, kSw1Ok, 0x00); }});
  // A 250-byte write the card has no command for: the whole chain goes in,
  // the card answers 6D 00.
  shapes.push_back({.name = "t1-cmd-255",
                    .what = "T=1 255-byte command in 13 chained blocks, 2-byte answer",
                    .apdu = CaseThree(0xD6, 250),
                    .answer = 2,
                    .check = [](auto r) { return r.size() == 2 && EndsWith(r, 0x6D, 0x00); }});
  shapes.push_back({.name = "t1-resp-250",
                    .what = "T=1 ECHO 250: 5-byte command, 252-byte chained answer",
                    .apdu = Bytes{0x00, 0xEC, 0x00, 0xFA, 0x00},
                    .answer = 252,
                    .check = [](auto r) { return IsEcho(r, {}, 250); }});
  shapes.push_back({.name = "t0-short",
                    .what = "T=0 ECHO 0: 5-byte command, status-only answer",
                    .protocol = 0,
                    .apdu = Bytes{0x00, 0xEC, 0x00, 0x00, 0x00},
                    .answer = 2,
                    .check = [](auto r) { return r.size() == 2 && EndsWith(r, kSw1Ok, 0x00); }});
  const Bytes t0_data = CaseThree(0xEC, 100);
  shapes.push_back(
      {.name = "t0-data-100",
       .what = "T=0 ECHO: 100 data bytes in, the same 100 back",
       .protocol = 0,
       .apdu = t0_data,
       .answer = 102,
       .check = [t0_data](auto r) { return IsEcho(r, std::span(t0_data).subspan(5), 100); }});
  return shapes;
}

std::vector<Shape> HostShapes() {
  std::vector<Shape> shapes;
  shapes.push_back({.name = "host-cmd-255",
                    .what = "host T=1 255-byte command in blocks of the card's IFSC, 2-byte answer",
                    .apdu = CaseThree(0xD6, 250),
                    .answer = 2,
                    .road = Road::kHost,
                    .check = [](auto r) { return r.size() == 2 && EndsWith(r, 0x6D, 0x00); }});
  // ECHO 256: P1P2 0100, Le 00.
  shapes.push_back({.name = "host-resp-256",
                    .what = "host T=1 ECHO 256: 5-byte command, 258-byte answer in IFSD blocks",
                    .apdu = Bytes{0x80, 0xEC, 0x01, 0x00, 0x00},
                    .answer = 258,
                    .road = Road::kHost,
                    .check = [](auto r) { return IsEcho(r, {}, 256); }});
  // Extended case 4: 80 EC 04 00, Lc 00 04 00, 1024 bytes, Le 04 00.
  Bytes ext{0x80, 0xEC, 0x04, 0x00, 0x00, 0x04, 0x00};
  for (std::size_t i = 0; i < 1024; ++i) ext.push_back(static_cast<std::uint8_t>(0x3C ^ i));
  const Bytes data(ext.begin() + 7, ext.end());
  ext.insert(ext.end(), {0x04, 0x00});
  shapes.push_back({.name = "host-ext-1024",
                    .what = "host T=1 extended ECHO: 1024 data bytes in, the same 1024 back",
                    .apdu = ext,
                    .answer = 1026,
                    .road = Road::kHost,
                    .check = [data](auto r) { return IsEcho(r, data, 1024); }});
  return shapes;
}

std::uint64_t MinimalChars(const Shape& shape) {
  return bench::MinimalChars(shape.protocol, shape.apdu.size(), shape.answer, kBenchIfsc,
                             kBenchIfsd);
}

bool ExchangeOnce(const Shape& shape, ifd::Reader* host) {
  if (shape.road == Road::kHost) {
    if (host == nullptr) return false;
    thread_local std::vector<unsigned char> rx(ifd::kMaxResponse);
    std::size_t rxlen = 0;
    const std::uint32_t rc = host->Transmit(static_cast<std::uint32_t>(shape.protocol), shape.apdu,
                                            rx.data(), rx.size(), &rxlen);
    return rc == IFD_SUCCESS && rxlen <= rx.size() && shape.check(std::span(rx.data(), rxlen));
  }
  std::array<std::uint8_t, T1_MAX_RESPONSE> rx{};
  unsigned int rxlen = 0;
  const auto len = static_cast<unsigned int>(shape.apdu.size());
  const int rc = shape.protocol == 0 ? T0_ExchangeData(shape.apdu.data(), len, rx.data(), &rxlen)
                                     : T1_ExchangeData(shape.apdu.data(), len, rx.data(), &rxlen);
  return rc == ADM_OK && rxlen <= rx.size() && shape.check(std::span(rx.data(), rxlen));
}

ShapeRun RunShape(const Shape& shape, emu::Emulator& emulator, const RunLimits& limits,
                  ifd::Reader* host) {
  ShapeRun run;
  if (!ExchangeOnce(shape, host)) ++run.failures;  // warm-up: caches, the card's first block
  emulator.ClearRecords();

  rusage before{};
  getrusage(RUSAGE_THREAD, &before);
  rusage last = before;
  const SyscallCounts calls_before = ThisThreadSyscalls();
  const auto started = Clock::now();
  while (run.apdus < static_cast<std::uint64_t>(limits.max_apdus) &&
         (run.apdus < static_cast<std::uint64_t>(limits.min_apdus) ||
          std::chrono::duration<double>(Clock::now() - started).count() < limits.min_seconds)) {
    const auto t0 = Clock::now();
    const bool ok = ExchangeOnce(shape, host);
    const double took = std::chrono::duration<double>(Clock::now() - t0).count();
    run.wall_s += took;
    run.worst_s = std::max(run.worst_s, took);
    rusage now{};
    getrusage(RUSAGE_THREAD, &now);
    run.cpu_s.push_back(Seconds(now.ru_utime) + Seconds(now.ru_stime) - Seconds(last.ru_utime) -
                        Seconds(last.ru_stime));
    last = now;
    ++run.apdus;
    if (!ok) ++run.failures;
  }
  run.syscalls = ThisThreadSyscalls() - calls_before;
  const rusage& after = last;
  run.user_s = Seconds(after.ru_utime) - Seconds(before.ru_utime);
  run.sys_s = Seconds(after.ru_stime) - Seconds(before.ru_stime);

  for (const emu::Frame& f : emulator.Frames()) {
    ++run.frames;
    run.chars_out += f.wire.size();
    run.chars_in += f.reply.size();
  }
  return run;
}

}  // namespace ttycard::bench
