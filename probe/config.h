// The pcscd reader configuration (pcsc-lite's reader.conf) for the readers
// found.
#pragma once

#include <string>
#include <vector>

#include "ports.h"
#include "probe.h"

namespace ttycard::probe {

struct ReaderEntry {
  std::string friendly_name;  // unique among the entries
  std::string device;         // the by-id link where there is one
  unsigned long channel = 0;  // 0x01 << 16 | the port address for COM1..COM4
};

// One entry per port where a reader answered, in the table's order.
std::vector<ReaderEntry> Entries(const std::vector<Candidate>& ports,
                                 const std::vector<Finding>& findings);

// The four lines of each entry, a blank line between entries.
std::string RenderEntries(const std::vector<ReaderEntry>& entries, const std::string& libpath);

// Writes `text` to `file` whole or not at all; an existing file is replaced
// only with `force`. False, with why, otherwise.
bool WriteConfig(const std::string& file, const std::string& text, bool force, std::string* why);

}  // namespace ttycard::probe
