// ttycard-bench: what the driver costs beside the serial line it drives.
//
//   ttycard-bench [--json] [--quick]   codec, read timeout, unpaced and paced
//                                      round trips; table (or JSON) on stdout
//   ttycard-bench --syscall-probe N    N APDUs of every shape, each shape on a
//                                      thread of its own, for counting system
//                                      calls from outside (strace -f)
//
// Exit status: 0 every target met, 2 a target fell short, 1 the run itself
// failed (no terminal, reader not answering, a wrong response).

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "blockproto.h"
#include "emulator.h"
#include "linkcmds.h"
#include "pacing_relay.h"
#include "probes.h"
#include "reader_context.h"
#include "report.h"
#include "workload.h"

namespace {

using namespace ttycard::bench;
namespace emu = ttycard::emu;
namespace ifd = ttycard::ifd;

class Quiet final : public ifd::ReaderEvents {};

// The card of every run: IFSC 254, so that the host road's blocks can be
// as large as the reader's frame allows.
emu::Options BenchCard() {
  emu::Options options;
  options.t1.ifsc = static_cast<std::uint8_t>(kBenchIfsc);
  return options;
}

struct Settings {
  bool json = false;
  bool quick = false;
  int probe_apdus = 0;
};

// The driver announces every block-time change on standard output; the
// report gets the real standard output, the driver /dev/null.
std::FILE* TakeStdout() {
  std::fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (saved < 0 || null < 0) return stdout;
  dup2(null, STDOUT_FILENO);
  close(null);
  return fdopen(saved, "w");
}

// Opens the reader on `path` and powers the card; false with a reason.
bool OpenReader(const std::string& path, Report& report) {
  if (Adm_Initialize(path.c_str()) != ADM_OK) {
    report.errors.push_back("Adm_Initialize failed on " + path);
    return false;
  }
  std::array<unsigned char, ADM_MAX_REPLY> atr{};
  unsigned int atrlen = 0;
  if (Adm_PowerICC(atr.data(), &atrlen) != ADM_OK || atrlen == 0) {
    report.errors.push_back("power-up failed on " + path);
    Adm_UnInitialize();
    return false;
  }
  // A fresh card numbers its blocks from 0, whatever an earlier reader of
  // this process exchanged: forget its T=1 numbers, as the handler's
  // power-up does.
  T1_CardReset();
  return true;
}

// Opens `host` on `path` and powers the card; the first exchange then
// announces the IFSD. False with a reason.
bool OpenHost(ifd::Reader& host, const std::string& path, Report& report) {
  int err = 0;
  if (host.Open(path.c_str(), &err) != ttycard::serial::OpenError::kNone) {
    report.errors.push_back("host reader cannot open " + path + ": " + std::strerror(err));
    return false;
  }
  if (host.PowerUp(false) != IFD_SUCCESS) {
    report.errors.push_back("host reader: power-up failed on " + path);
    host.Close();
    return false;
  }
  return true;
}

void RunShapes(const std::vector<Shape>& shapes, emu::Emulator& emulator, const RunLimits& limits,
               ifd::Reader* host, std::vector<ShapeRow>& rows) {
  for (const Shape& shape : shapes) {
    rows.push_back({shape.name, shape.what, RunShape(shape, emulator, limits, host),
                    MinimalChars(shape), shape.road == Road::kHost});
  }
}

// The version 1.0 shapes through the process's reader, then the host shapes
// through a reader object, both on `path`.
void RunRoads(const std::string& path, emu::Emulator& emulator, const RunLimits& limits,
              const char* mode, Report& report, std::vector<ShapeRow>& rows) {
  if (OpenReader(path, report)) {
    RunShapes(StandardShapes(), emulator, limits, nullptr, rows);
    Adm_UnInitialize();
  }
  Quiet quiet;
  ifd::Reader host(quiet);
  if (!OpenHost(host, path, report)) return;
  RunShapes(HostShapes(), emulator, limits, &host, rows);
  report.notes.push_back(std::string("  host road, ") + mode + ": card IFSC " +
                         std::to_string(host.T1().ifsc) + ", IFSD " +
                         std::to_string(host.T1().ifsd) + " as the card took it");
  host.Close();
}

void CollectViolations(const emu::Emulator& emulator, const char* mode, Report& report) {
  for (const std::string& v : emulator.Violations()) {
    report.violations.push_back(std::string(mode) + ": " + v);
  }
}

void Unpaced(const Settings& s, Report& report) {
  emu::Emulator emulator(BenchCard());
  if (!emulator.Start()) {
    report.errors.push_back("cannot start the emulator");
    return;
  }
  RunRoads(emulator.SlavePath(), emulator, {20, s.quick ? 0.2 : 0.7, 100000}, "unpaced", report,
           report.unpaced);
  CollectViolations(emulator, "unpaced", report);
}

void Paced(const Settings& s, Report& report) {
  emu::Emulator emulator(BenchCard());
  PacingRelay relay;
  if (!emulator.Start() || !relay.Start(emulator.SlavePath())) {
    report.errors.push_back("cannot start the emulator behind the pacing relay");
    return;
  }
  relay.ResetStats();
  RunRoads(relay.NearPath(), emulator, {3, s.quick ? 1.0 : 3.0, 100000}, "paced", report,
           report.paced);
  CollectViolations(emulator, "paced", report);
  const DirectionStats out = relay.ToFar();
  const DirectionStats in = relay.ToNear();
  report.relay.chars = out.chars + in.chars;
  report.relay.late_max_s =
      std::chrono::duration<double>(std::max(out.late_max, in.late_max)).count();
  const std::uint64_t bursts = out.bursts + in.bursts;
  if (bursts > 0) {
    report.relay.late_mean_s =
        std::chrono::duration<double>(out.late_sum + in.late_sum).count() / bursts;
  }
}

// Each shape's APDUs on a fresh thread, so that an outside tracer can
// attribute every system call of that thread to the driver.
int SyscallProbe(const Settings& s, std::FILE* out) {
  emu::Emulator emulator(BenchCard());
  Report report;
  if (!emulator.Start() || !OpenReader(emulator.SlavePath(), report)) {
    std::fprintf(out, "probe failed to open the reader\n");
    return 1;
  }
  int failures = 0;
  const auto probe = [&](const Shape& shape, ifd::Reader* host) {
    ExchangeOnce(shape, host);  // warm-up, outside the traced thread
    pid_t tid = 0;
    SyscallCounts counted;
    std::thread driver([&] {
      tid = gettid();
      const SyscallCounts before = ThisThreadSyscalls();
      for (int i = 0; i < s.probe_apdus; ++i) failures += ExchangeOnce(shape, host) ? 0 : 1;
      counted = ThisThreadSyscalls() - before;
    });
    driver.join();
    std::fprintf(out,
                 "probe %s tid %d apdus %d counted %llu poll %llu read %llu write %llu "
                 "tcflush %llu sleep %llu\n",
                 shape.name.c_str(), static_cast<int>(tid), s.probe_apdus,
                 static_cast<unsigned long long>(counted.Total()),
                 static_cast<unsigned long long>(counted.poll),
                 static_cast<unsigned long long>(counted.read),
                 static_cast<unsigned long long>(counted.write),
                 static_cast<unsigned long long>(counted.tcflush),
                 static_cast<unsigned long long>(counted.sleep));
  };
  for (const Shape& shape : StandardShapes()) probe(shape, nullptr);
  Adm_UnInitialize();
  Quiet quiet;
  ifd::Reader host(quiet);
  if (!OpenHost(host, emulator.SlavePath(), report)) {
    std::fprintf(out, "probe failed to open the host reader\n");
    return 1;
  }
  for (const Shape& shape : HostShapes()) probe(shape, &host);
  host.Close();
  return failures == 0 && emulator.Violations().empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Settings s;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--json") {
      s.json = true;
    } else if (arg == "--quick") {
      s.quick = true;
    } else if (arg == "--syscall-probe" && i + 1 < argc) {
      s.probe_apdus = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: %s [--json] [--quick] | --syscall-probe N\n", argv[0]);
      return 1;
    }
  }
  std::FILE* out = TakeStdout();
  if (s.probe_apdus > 0) return SyscallProbe(s, out);

  Report report;
  report.codec = MeasureCodec(s.quick ? 0.05 : 0.2);
  report.timeout = MeasureReadTimeout(s.quick ? 2 : 4);
  Unpaced(s, report);
  Paced(s, report);

  if (s.json) {
    PrintJson(report, out);
  } else {
    PrintTable(report, out);
  }
  std::fflush(out);
  bool failed = !report.errors.empty() || !report.violations.empty();
  for (const auto* rows : {&report.unpaced, &report.paced}) {
    for (const ShapeRow& r : *rows) failed = failed || !r.Valid();
  }
  if (failed) return 1;
  return report.AllPass() ? 0 : 2;
}
