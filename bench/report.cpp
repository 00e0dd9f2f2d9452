#include "report.h"

#include <algorithm>
#include <numeric>

#include "line_model.h"

namespace ttycard::bench {
namespace {

const char* Verdict(bool pass) {
  return pass ? "pass" : "short";
}

// Names and descriptions are our own ASCII; only quotes and backslashes
// need escaping.
std::string Quoted(const std::string& s) {
  std::string q = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') q.push_back('\\');
    q.push_back(c);
  }
  return q + "\"";
}

void PrintShapeJson(const ShapeRow& r, bool paced, std::FILE* out, bool last) {
  std::fprintf(
      out,
      "    {\"shape\": %s, \"what\": %s, \"apdus\": %llu, \"failures\": %llu, "
      "\"frames_per_apdu\": %.2f, \"chars_out_per_apdu\": %.2f, "
      "\"chars_in_per_apdu\": %.2f, \"line_rate_s\": %.6f, \"measured_s\": %.6f, "
      "\"worst_s\": %.6f, \"ratio\": %.5f, \"over_per_frame_s\": %.6f, \"apdus_per_s\": %.2f, "
      "\"cpu_user_s\": %.7f, \"cpu_sys_s\": %.7f, \"cpu_median_s\": %.7f, "
      "\"cpu_share_of_line\": %.5f, "
      "\"syscalls_per_apdu\": %.2f, \"polls\": %llu, \"reads\": %llu, "
      "\"writes\": %llu, \"tcflushes\": %llu, \"sleeps\": %llu, \"syscalls_per_char\": %.4f, "
      "\"syscalls_pass\": %s, \"minimal_chars_per_apdu\": %llu, "
      "\"efficiency\": %.4f, \"efficiency_judged\": %s, \"efficiency_pass\": %s",
      Quoted(r.name).c_str(), Quoted(r.what).c_str(), static_cast<unsigned long long>(r.run.apdus),
      static_cast<unsigned long long>(r.run.failures), r.PerApdu(static_cast<double>(r.run.frames)),
      r.PerApdu(static_cast<double>(r.run.chars_out)),
      r.PerApdu(static_cast<double>(r.run.chars_in)), r.LineSeconds(), r.Measured(), r.run.worst_s,
      r.Ratio(), r.OverPerFrame(), r.ApdusPerSecond(), r.PerApdu(r.run.user_s),
      r.PerApdu(r.run.sys_s), r.CpuMedian(), r.CpuShare(), r.Syscalls(),
      static_cast<unsigned long long>(r.run.syscalls.poll),
      static_cast<unsigned long long>(r.run.syscalls.read),
      static_cast<unsigned long long>(r.run.syscalls.write),
      static_cast<unsigned long long>(r.run.syscalls.tcflush),
      static_cast<unsigned long long>(r.run.syscalls.sleep), r.CallsPerChar(),
      r.CallsPass() ? "true" : "false", static_cast<unsigned long long>(r.minimal_chars),
      r.Efficiency(), r.host_road ? "true" : "false", r.EfficiencyPasses() ? "true" : "false");
  if (paced) {
    std::fprintf(out, ", \"ratio_pass\": %s, \"cpu_pass\": %s", r.RatioPasses() ? "true" : "false",
                 r.CpuPasses() ? "true" : "false");
  }
  std::fprintf(out, "}%s\n", last ? "" : ",");
}

void PrintShapesJson(const char* key, const std::vector<ShapeRow>& rows, bool paced,
                     std::FILE* out) {
  std::fprintf(out, "  %s: [\n", Quoted(key).c_str());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    PrintShapeJson(rows[i], paced, out, i + 1 == rows.size());
  }
  std::fprintf(out, "  ],\n");
}

void PrintStrings(const char* key, const std::vector<std::string>& v, std::FILE* out) {
  std::fprintf(out, "  %s: [", Quoted(key).c_str());
  for (std::size_t i = 0; i < v.size(); ++i) {
    std::fprintf(out, "%s%s", i ? ", " : "", Quoted(v[i]).c_str());
  }
  std::fprintf(out, "],\n");
}

}  // namespace

double ShapeRow::LineSeconds() const {
  return PerApdu(bench::LineSeconds(run.chars_out + run.chars_in));
}

double ShapeRow::Ratio() const {
  const double line = LineSeconds();
  return line > 0 ? Measured() / line : 0;
}

double ShapeRow::OverPerFrame() const {
  return run.frames > 0 ? (run.wall_s - bench::LineSeconds(run.chars_out + run.chars_in)) /
                              static_cast<double>(run.frames)
                        : 0;
}

double ShapeRow::Efficiency() const {
  const double chars = Chars();
  return chars > 0 ? static_cast<double>(minimal_chars) / chars : 0;
}

double ShapeRow::CpuShare() const {
  const double line = LineSeconds();
  return line > 0 ? CpuMedian() / line : 0;
}

double TimeoutResult::Max() const {
  return overshoot_s.empty() ? 0 : *std::max_element(overshoot_s.begin(), overshoot_s.end());
}

bool Report::AllPass() const {
  if (!errors.empty() || !violations.empty() || paced.empty() || !timeout.Passes()) return false;
  const auto frugal = [](const ShapeRow& r) { return r.EfficiencyPasses() && r.CallsPass(); };
  return std::all_of(
             paced.begin(), paced.end(),
             [&](const ShapeRow& r) { return r.RatioPasses() && r.CpuPasses() && frugal(r); }) &&
         std::all_of(unpaced.begin(), unpaced.end(), frugal);
}

void PrintTable(const Report& report, std::FILE* out) {
  std::fprintf(out,
               "ttycard bench: driver cost against a %d-baud 8N2 line "
               "(%d bit times = %.4f ms per character, %.1f characters/s)\n",
               kBaud, kBitsPerChar, CharSeconds() * 1e3, 1.0 / CharSeconds());
  for (const std::string& e : report.errors) std::fprintf(out, "ERROR: %s\n", e.c_str());

  if (!report.codec.empty()) {
    const double need = 0.5 / CharSeconds();  // frame bytes per second at line rate
    std::fprintf(out, "\nCodec and checksums (frame bytes per second; the line needs %.1f)\n",
                 need);
    for (const CodecRow& c : report.codec) {
      std::fprintf(out, "  %-22s %10.1f MB/s   %9.3g x line rate\n", c.name.c_str(),
                   c.bytes_per_s / 1e6, c.bytes_per_s / need);
    }
  }

  if (!report.unpaced.empty()) {
    std::fprintf(out,
                 "\nUnpaced: emulator straight on the pseudo-terminal (host road: system calls "
                 "per character <= %.2f)\n"
                 "  %-13s %6s %6s %7s %6s %9s %10s %9s %9s %8s %6s\n",
                 kMaxHostCallsPerChar, "shape", "frames", "chars", "minimal", "effic", "APDU/s",
                 "us/APDU", "CPU us", "syscalls", "per char", "calls");
    for (const ShapeRow& r : report.unpaced) {
      std::fprintf(out, "  %-13s %6.1f %6.0f %7llu %6.3f %9.1f %10.1f %9.1f %9.1f %8.3f %6s%s\n",
                   r.name.c_str(), r.PerApdu(static_cast<double>(r.run.frames)), r.Chars(),
                   static_cast<unsigned long long>(r.minimal_chars), r.Efficiency(),
                   r.ApdusPerSecond(), r.Measured() * 1e6, r.Cpu() * 1e6, r.Syscalls(),
                   r.CallsPerChar(), r.host_road ? Verdict(r.CallsPass()) : "-",
                   r.Valid() ? "" : "  FAILED");
    }
  }

  if (!report.paced.empty()) {
    std::fprintf(out,
                 "\nPaced at %d baud 8N2 (targets: ratio <= %.2f, driver CPU < %.0f%% of "
                 "line-rate time; host road: CPU <= %.1f%%, system calls per character <= %.2f, "
                 "efficiency >= %.2f)\n"
                 "  %-13s %6s %6s %11s %11s %7s %9s %17s %7s %6s %6s %6s %6s %6s\n",
                 kBaud, kMaxLineRatio, kMaxCpuShare * 100, kMaxHostCpuShare * 100,
                 kMaxHostCallsPerChar, kMinEfficiency, "shape", "chars", "effic", "line-rate",
                 "measured", "ratio", "over/cmd", "CPU/APDU med/mean", "CPU %", "calls", "ratio",
                 "CPU", "calls", "effic");
    for (const ShapeRow& r : report.paced) {
      std::fprintf(out,
                   "  %-13s %6.0f %6.3f %8.2f ms %8.2f ms %7.4f %6.0f us %6.0f /%6.0f us %6.3f%% "
                   "%6.3f %6s %6s %6s %6s%s\n",
                   r.name.c_str(), r.Chars(), r.Efficiency(), r.LineSeconds() * 1e3,
                   r.Measured() * 1e3, r.Ratio(), r.OverPerFrame() * 1e6, r.CpuMedian() * 1e6,
                   r.Cpu() * 1e6, r.CpuShare() * 100, r.CallsPerChar(), Verdict(r.RatioPasses()),
                   Verdict(r.CpuPasses()), r.host_road ? Verdict(r.CallsPass()) : "-",
                   r.host_road ? Verdict(r.EfficiencyPasses()) : "-", r.Valid() ? "" : "  FAILED");
    }
    std::fprintf(out, "  relay: %llu characters, delivery late by %.0f us at worst, %.0f us mean\n",
                 static_cast<unsigned long long>(report.relay.chars), report.relay.late_max_s * 1e6,
                 report.relay.late_mean_s * 1e6);
  }
  for (const std::string& n : report.notes) std::fprintf(out, "%s\n", n.c_str());

  if (report.timeout.tries > 0) {
    const auto& t = report.timeout;
    const double mean = std::accumulate(t.overshoot_s.begin(), t.overshoot_s.end(), 0.0) / t.tries;
    std::fprintf(out,
                 "\nRead timeout: IO_Read on a silent line, block time %d s, %d tries: returns "
                 "%.2f ms late at worst (mean %.2f ms), target <= %.0f ms: %s\n",
                 t.block_s, t.tries, t.Max() * 1e3, mean * 1e3, kMaxTimeoutOvershoot * 1e3,
                 Verdict(t.Passes()));
  }
  for (const std::string& v : report.violations) {
    std::fprintf(out, "EMULATOR VIOLATION: %s\n", v.c_str());
  }
  std::fprintf(out, "\nTargets: %s\n", report.AllPass() ? "all pass" : "SHORT (see above)");
}

void PrintJson(const Report& report, std::FILE* out) {
  std::fprintf(out, "{\n  \"baud\": %d, \"bits_per_char\": %d, \"char_s\": %.9f,\n", kBaud,
               kBitsPerChar, CharSeconds());
  std::fprintf(out,
               "  \"targets\": {\"max_ratio\": %.3f, \"max_cpu_share\": %.3f, "
               "\"max_host_cpu_share\": %.3f, \"max_host_syscalls_per_char\": %.2f, ",
               kMaxLineRatio, kMaxCpuShare, kMaxHostCpuShare, kMaxHostCallsPerChar);
  std::fprintf(out, "\"max_timeout_overshoot_s\": %.3f},\n", kMaxTimeoutOvershoot);
  std::fprintf(out, "  \"codec\": [");
  for (std::size_t i = 0; i < report.codec.size(); ++i) {
    std::fprintf(out, "%s{\"name\": %s, \"bytes_per_s\": %.0f}", i ? ", " : "",
                 Quoted(report.codec[i].name).c_str(), report.codec[i].bytes_per_s);
  }
  std::fprintf(out, "],\n");
  PrintShapesJson("unpaced", report.unpaced, false, out);
  PrintShapesJson("paced", report.paced, true, out);
  std::fprintf(out,
               "  \"relay\": {\"chars\": %llu, \"late_max_s\": %.6f, \"late_mean_s\": %.6f},\n",
               static_cast<unsigned long long>(report.relay.chars), report.relay.late_max_s,
               report.relay.late_mean_s);
  const auto& t = report.timeout;
  std::fprintf(out, "  \"timeout\": {\"block_s\": %d, \"tries\": %d, \"overshoot_s\": [", t.block_s,
               t.tries);
  for (std::size_t i = 0; i < t.overshoot_s.size(); ++i) {
    std::fprintf(out, "%s%.6f", i ? ", " : "", t.overshoot_s[i]);
  }
  std::fprintf(out, "], \"max_s\": %.6f, \"pass\": %s},\n", t.Max(), t.Passes() ? "true" : "false");
  PrintStrings("violations", report.violations, out);
  PrintStrings("errors", report.errors, out);
  std::fprintf(out, "  \"all_pass\": %s\n}\n", report.AllPass() ? "true" : "false");
}

}  // namespace ttycard::bench
