// The APDU shapes the bench measures, and the loop that runs one of them
// through the driver's real exchange functions against the emulated reader.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "syscall_count.h"

namespace ttycard::emu {
class Emulator;
}
namespace ttycard::ifd {
class Reader;
}

namespace ttycard::bench {

using Bytes = std::vector<std::uint8_t>;

// Which of the driver's entry points carries the APDU.
enum class Road {
  kVersion1,  // T0_ExchangeData / T1_ExchangeData: 20-byte command blocks, IFSD 32
  kHost,      // ifd::Reader::Transmit, as a PC/SC host: the card's sizes, IFSD 254
};

struct Shape {
  std::string name;
  std::string what;  // one line for the reader of the table
  int protocol = 1;  // 0: T=0 (reader command A0), 1: T=1 (A1, blocks built here)
  Bytes apdu;
  std::size_t answer = 0;  // bytes of the expected response, SW1 SW2 included
  Road road = Road::kVersion1;
  // True if `response` is what the emulated card must answer.
  std::function<bool(std::span<const std::uint8_t> response)> check;
};

// The version 1.0 road. T=1: 5-byte command / short answer, 255-byte chained
// command, 250-byte chained answer; T=0: 5-byte command / status only, 100
// bytes each way.
std::vector<Shape> StandardShapes();

// The host road, T=1 with a card of IFSC 254: a 255-byte command, a 256-byte
// answer, and an extended APDU with 1024 data bytes each way.
std::vector<Shape> HostShapes();

// The card's IFSC in the bench's emulator, and the IFSD the host road asks
// for: the sizes the minimal characters of every shape assume.
inline constexpr unsigned int kBenchIfsc = 254;
inline constexpr unsigned int kBenchIfsd = 254;

// The characters the shape needs at least, with those sizes (efficiency.h).
std::uint64_t MinimalChars(const Shape& shape);

// Totals over a run of one shape.
struct ShapeRun {
  std::uint64_t apdus = 0;
  std::uint64_t failures = 0;   // exchange error or a wrong response
  std::uint64_t frames = 0;     // reader commands the emulator answered
  std::uint64_t chars_out = 0;  // characters driver -> reader, as the reader received them
  std::uint64_t chars_in = 0;   // characters reader -> driver, as the reader sent them
  double wall_s = 0;            // time inside the exchange calls
  double worst_s = 0;           // slowest single APDU
  double user_s = 0;            // driver thread CPU
  double sys_s = 0;
  SyscallCounts syscalls;     // made by the driver thread
  std::vector<double> cpu_s;  // driver thread CPU (user + system) of each APDU
};

// The middle value (mean of the two middle ones); 0 for none.
double Median(std::vector<double> values);

struct RunLimits {
  int min_apdus = 3;
  double min_seconds = 1.0;  // keep going until both limits are reached
  int max_apdus = 100000;
};

// Sends one warm-up APDU, then the shape until `limits` are reached, on the
// calling thread; the emulator's records are cleared first and used to count
// the characters on the line. Host-road shapes go through `host` (opened,
// card powered); they fail without one.
ShapeRun RunShape(const Shape& shape, emu::Emulator& emulator, const RunLimits& limits,
                  ifd::Reader* host = nullptr);

// One exchange through T0_ExchangeData or T1_ExchangeData, or through
// `host`'s Transmit; false unless the driver reports success and the
// response passes the shape's check.
bool ExchangeOnce(const Shape& shape, ifd::Reader* host = nullptr);

}  // namespace ttycard::bench
