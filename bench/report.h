// What one bench run found, its verdicts against the targets, and the two
// ways of printing it: a table for people and JSON for tools.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "workload.h"

namespace ttycard::bench {

// Targets at 9600 baud 8N2.
inline constexpr double kMaxLineRatio = 1.02;         // measured / line-rate time
inline constexpr double kMaxCpuShare = 0.01;          // driver CPU / line-rate time
inline constexpr double kMaxTimeoutOvershoot = 0.05;  // s after the block time
// The host road: its characters, its CPU and its system calls.
inline constexpr double kMinEfficiency = 0.95;       // minimal / sent characters
inline constexpr double kMaxHostCpuShare = 0.002;    // driver CPU / line-rate time
inline constexpr double kMaxHostCallsPerChar = 0.2;  // system calls / line characters

struct CodecRow {
  std::string name;
  double bytes_per_s = 0;  // binary frame bytes handled per second
};

struct ShapeRow {
  std::string name;
  std::string what;
  ShapeRun run;
  // Characters one APDU of the shape needs at least (efficiency.h), and
  // whether the shape is the host road's, judged on its efficiency, CPU and
  // system calls by the host targets (a version 1.0 shape's efficiency and
  // system calls are only shown).
  std::uint64_t minimal_chars = 0;
  bool host_road = false;

  double PerApdu(double total) const { return run.apdus ? total / run.apdus : 0; }
  double Chars() const { return PerApdu(static_cast<double>(run.chars_out + run.chars_in)); }
  double LineSeconds() const;  // of one APDU's characters
  double Measured() const { return PerApdu(run.wall_s); }
  double Ratio() const;  // mean measured / line-rate time
  // Time beyond the line-rate time, per reader command: the turnaround of
  // driver, terminals, relay and emulator between one frame and the next.
  double OverPerFrame() const;
  double Cpu() const { return PerApdu(run.user_s + run.sys_s); }  // mean
  double CpuMedian() const { return Median(run.cpu_s); }
  // Median CPU of one APDU over its line-rate time. The median, because the
  // thread's CPU clock also runs while other processes on the machine
  // evict its caches or keep the woken CPU busy: a few APDUs that pay for
  // that say nothing about the driver.
  double CpuShare() const;
  double Syscalls() const { return PerApdu(static_cast<double>(run.syscalls.Total())); }
  double CallsPerChar() const { return Chars() > 0 ? Syscalls() / Chars() : 0; }
  double ApdusPerSecond() const { return run.wall_s > 0 ? run.apdus / run.wall_s : 0; }
  bool Valid() const { return run.apdus > 0 && run.failures == 0; }
  bool RatioPasses() const { return Valid() && Ratio() <= kMaxLineRatio; }
  bool CpuPasses() const {
    return Valid() && (host_road ? CpuShare() <= kMaxHostCpuShare : CpuShare() < kMaxCpuShare);
  }
  bool CallsPass() const {
    return !host_road || (Valid() && CallsPerChar() <= kMaxHostCallsPerChar);
  }
  // Minimal characters over the characters on the line; 0 when unknown.
  double Efficiency() const;
  // Shapes whose efficiency is only shown pass whatever it is.
  bool EfficiencyPasses() const {
    return !host_road || (Valid() && Efficiency() >= kMinEfficiency);
  }
};

struct TimeoutResult {
  int tries = 0;
  int block_s = 1;
  std::vector<double> overshoot_s;  // each read's return after the block time
  bool all_failed_in_time = true;   // every read reported the timeout (0)

  double Max() const;
  bool Passes() const { return tries > 0 && all_failed_in_time && Max() <= kMaxTimeoutOvershoot; }
};

struct RelayResult {
  double late_max_s = 0;   // worst character delivery after its line arrival time
  double late_mean_s = 0;  // mean over the last character of each burst
  std::uint64_t chars = 0;
};

struct Report {
  std::vector<CodecRow> codec;
  std::vector<ShapeRow> unpaced;
  std::vector<ShapeRow> paced;
  RelayResult relay;
  TimeoutResult timeout;
  std::vector<std::string> violations;  // from the emulator: the run is invalid
  std::vector<std::string> errors;      // set-up failures
  std::vector<std::string> notes;       // facts about the run, printed with the tables

  bool AllPass() const;
};

void PrintTable(const Report& report, std::FILE* out);
void PrintJson(const Report& report, std::FILE* out);

}  // namespace ttycard::bench
