// Faults the emulated reader can put into its replies, so that tests can
// drive the host through every way a serial reader misbehaves.
//
// A FaultSpec is queued on the Emulator (InjectFault) and consumed by the
// next matching replies. PlanReply turns a reply plus a fault into exactly
// the characters and pacing that go onto the line; it is pure, so the fault
// rendering itself is testable without a terminal.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "wire.h"

namespace ttycard::emu {

enum class Fault : std::uint8_t {
  kNone,                 // the correct reply
  kSilence,              // no reply at all
  kCutInHead,            // only `cut` (default 5) of the 9 head characters
  kCutInExtLength,       // extended form; head, then `cut` (default 2) of 4 length chars
  kCutInBody,            // head, then `cut` (default half) of data + checksum + ETX chars
  kSlow,                 // the whole reply, one character every `gap`
  kDelay,                // the whole reply after waiting `gap`
  kLowerCase,            // hex digits a-f in lower case
  kNonHex,               // data characters replaced by non-hex ones ('G', 'Z', '?', ...);
                         // the checksum characters if there is no data
  kWrongChecksum,        // checksum byte inverted
  kExtendedLength,       // a reply of <= 255 bytes sent in the 0xFF extended form
  kExtendedLengthValue,  // announces `ext_length`, sends `ext_send` data bytes (default
                         // all announced; the real data, then bytes 00 01 02 ...);
                         // if fewer than announced, stops after them (no trailer)
  kHangUp,               // sends `cut` (default 0) characters, then closes the master side
  kRawReply,             // sends `raw` exactly instead of the reply
};

inline constexpr std::array kAllFaults = {
    Fault::kNone,      Fault::kSilence,       Fault::kCutInHead,      Fault::kCutInExtLength,
    Fault::kCutInBody, Fault::kSlow,          Fault::kDelay,          Fault::kLowerCase,
    Fault::kNonHex,    Fault::kWrongChecksum, Fault::kExtendedLength, Fault::kExtendedLengthValue,
    Fault::kHangUp,    Fault::kRawReply,
};

std::string_view FaultName(Fault fault);

inline constexpr int kForever = -1;

struct FaultSpec {
  Fault fault = Fault::kNone;
  int count = 1;                        // replies affected; kForever for all
  std::optional<std::uint8_t> command;  // only replies to this command code
  std::chrono::milliseconds gap{50};    // kSlow: between characters; kDelay: before
  std::optional<std::size_t> cut;       // characters kept of the affected section
  std::uint16_t ext_length = 0x0100;    // kExtendedLengthValue: announced length
  std::optional<std::size_t> ext_send;  // kExtendedLengthValue: data bytes really sent
  std::string raw;                      // kRawReply: characters sent

  // Convenience: FaultSpec::Of(Fault::kSilence).ForCommand(0x80).Times(2)
  static FaultSpec Of(Fault f) {
    FaultSpec s;
    s.fault = f;
    return s;
  }
  FaultSpec& ForCommand(std::uint8_t code) {
    command = code;
    return *this;
  }
  FaultSpec& Times(int n) {
    count = n;
    return *this;
  }
};

// What to put on the line for one reply.
struct ReplyPlan {
  std::string chars;                      // written in order
  std::chrono::milliseconds delay{0};     // wait before the first character
  std::chrono::milliseconds char_gap{0};  // wait between characters (0: one write)
  bool hang_up = false;                   // close the master side afterwards
};

// `style` (head status byte, checksum rule) applies to every form of the
// reply; kWrongChecksum inverts whatever checksum the style gives.
ReplyPlan PlanReply(std::uint8_t command, std::span<const std::uint8_t> data,
                    const FaultSpec& fault, bool extended = false, ReplyStyle style = {});

}  // namespace ttycard::emu
