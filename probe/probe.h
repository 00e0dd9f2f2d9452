// Asks every candidate port, all at once, whether a reader answers on it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ports.h"

namespace ttycard::probe {

enum class Answer : std::uint8_t {
  kReader,       // a valid status record came back
  kSilence,      // nothing within the block time
  kGarbage,      // bytes came back, but not a status reply
  kInUse,        // someone else's: left alone, nothing sent
  kConsole,      // a system console: never opened
  kNotTerminal,  // opened, but not a terminal
  kAbsent,       // no such file
  kCannotOpen,   // no device behind the node, no permission, ...
};

struct Finding {
  Answer answer = Answer::kAbsent;
  bool card = false;   // kReader: a card sits in the slot
  std::string detail;  // who holds it, what came back, why it failed
};

// The table's words for an answer.
const char* Describe(Answer answer, bool card);

// Probes the ports in parallel: each is opened as the driver opens it, given
// the reader's settling time and sent one status command; its settings are
// restored and it is closed again. About 7.4 s in all, however many ports.
std::vector<Finding> ProbeAll(const std::vector<Candidate>& ports, const SystemView& view);

}  // namespace ttycard::probe
