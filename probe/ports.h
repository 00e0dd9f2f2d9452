// Which serial ports to look at, and which of them must not be opened at all.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace ttycard::probe {

// One device, however many names lead to it.
struct Candidate {
  std::string path;     // the name it is opened by
  std::string stable;   // a /dev/serial/by-id link to the same device, or empty
  std::string kernel;   // the device's own name (ttyS0, ttyUSB1)
  dev_t device = 0;     // device number; 0 when not a character device
  bool exists = false;  // the name leads somewhere
};

// COM1 to COM4, every ttyUSB, the devices behind /dev/serial/by-id (and every
// ttyACM when `acm`: opening one raises DTR, which resets many boards). Names
// that do not exist are left out.
std::vector<Candidate> DefaultPorts(bool acm);
// The ports named, in the order given; a later name of a device already
// listed is dropped.
std::vector<Candidate> NamedPorts(const std::vector<std::string>& names);

// What the rest of the system says about the terminals.
struct SystemView {
  std::vector<dev_t> consoles;                        // /proc/consoles
  std::vector<std::pair<dev_t, pid_t>> session_ttys;  // controlling terminals
};
// False (and why) when the consoles cannot be read: then no port is safe.
bool ReadSystemView(SystemView& view, std::string* why);

// Why `port` must be left closed: a system console ("console"), a UUCP lock
// file of a live process or the controlling terminal of a session ("in
// use"). Empty when it may be opened; `note` tells of a stale lock ignored.
struct Hands {
  bool console = false;
  std::string in_use;
  std::string note;
};
Hands WhoHolds(const Candidate& port, const SystemView& view);

}  // namespace ttycard::probe
