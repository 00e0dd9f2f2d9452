// What the emulator saw and did, shared by the reader and the card: protocol
// violations (anything a correct host would never cause), the T=1 blocks in
// both directions, and the optional human-readable trace.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "hex_codec.h"

namespace ttycard::emu {

struct T1Record {
  bool from_card = false;  // false: sent by the host
  Bytes block;             // NAD PCB LEN INF LRC, as on the line
};

struct Journal {
  std::vector<std::string> violations;
  std::vector<T1Record> t1_blocks;
  std::function<void(std::string_view)> trace;  // one line, no newline; may be empty

  void Trace(const std::string& line) const {
    if (trace) trace(line);
  }
  void Violation(std::string what) {
    Trace("emu !! " + what);
    violations.push_back(std::move(what));
  }
};

}  // namespace ttycard::emu
