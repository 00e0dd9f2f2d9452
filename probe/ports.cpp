// Which serial ports to look at, and which of them must not be opened at all.
//
// A device is known by its device number, so that /dev/ttyUSB0 and the
// /dev/serial/by-id link to it are one port (and the link, which survives a
// reboot and a change of USB socket, is the name a configuration should
// use). Before anything is opened, three things the system keeps say whether
// a port is someone else's:
//
//   /proc/consoles              "ttyS0  -W- (EC p a)  4:64": the kernel's consoles
//   /proc/PID/stat, field 7     the controlling terminal of each process (a getty,
//                               a login on a serial line)
//   /run/lock/LCK..ttyS0        UUCP lock files (minicom, cu, ...): the owner's
//   /run/lock/LCK.004.064       PID in ASCII, or as a 4-byte int in old ones
//
// A lock file whose PID no longer runs is stale: it is ignored (and not
// removed), as the programs that take these locks treat it.

#include "ports.h"

#include <dirent.h>
#include <glob.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace ttycard::probe {
namespace {

constexpr const char* kById = "/dev/serial/by-id";
constexpr const char* kLockDirs[] = {"/run/lock", "/var/lock"};

std::string Basename(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

Candidate Describe(const std::string& path) {
  Candidate c{path, {}, Basename(path), 0};
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return c;
  c.exists = true;
  if (S_ISCHR(st.st_mode)) c.device = st.st_rdev;
  if (char* real = realpath(path.c_str(), nullptr)) {
    c.kernel = Basename(real);
    std::free(real);
  }
  return c;
}

// Names matching `pattern`, ttyUSB2 before ttyUSB10.
std::vector<std::string> Glob(const std::string& pattern) {
  std::vector<std::string> names;
  glob_t g{};
  if (glob(pattern.c_str(), 0, nullptr, &g) == 0) {
    for (std::size_t i = 0; i < g.gl_pathc; ++i) names.emplace_back(g.gl_pathv[i]);
  }
  globfree(&g);
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
  });
  return names;
}

// Adds `c` unless its device is listed already; the listed one, or `c`.
Candidate* Add(std::vector<Candidate>& list, Candidate c) {
  if (c.device != 0) {
    for (auto& have : list) {
      if (have.device == c.device) return &have;
    }
  }
  list.push_back(std::move(c));
  return &list.back();
}

// Gives each listed device the by-id link that leads to it.
void FindStableNames(std::vector<Candidate>& list) {
  for (const auto& link : Glob(std::string(kById) + "/*")) {
    const Candidate target = Describe(link);
    for (auto& c : list) {
      if (c.device != 0 && c.device == target.device && c.stable.empty()) c.stable = link;
    }
  }
}

bool Alive(pid_t pid) {
  return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

// The PID in a UUCP lock file: ASCII, or a binary int in a 4-byte file; -1
// when unreadable.
pid_t LockOwner(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.eof() && !in.good()) return -1;
  const auto ascii = [](char ch) {
    return std::isdigit(static_cast<unsigned char>(ch)) || ch == ' ' || ch == '\n';
  };
  if (text.size() == 4 && !std::all_of(text.begin(), text.end(), ascii)) {
    int pid = 0;
    std::memcpy(&pid, text.data(), sizeof pid);
    return pid > 0 ? pid : -1;
  }
  char* end = nullptr;
  const long pid = std::strtol(text.c_str(), &end, 10);
  return end == text.c_str() || pid <= 0 || pid > INT_MAX ? -1 : static_cast<pid_t>(pid);
}

// tty_nr of /proc/PID/stat: minor in bits 0-7 and 20-31, major in 8-19.
dev_t TtyNumber(unsigned long nr) {
  return makedev((nr >> 8) & 0xFFF, (nr & 0xFF) | ((nr >> 12) & 0xFFF00));
}

}  // namespace

std::vector<Candidate> DefaultPorts(bool acm) {
  std::vector<Candidate> list;
  std::vector<std::string> names;
  for (int i = 0; i < 4; ++i) names.push_back("/dev/ttyS" + std::to_string(i));
  for (const auto& n : Glob("/dev/ttyUSB*")) names.push_back(n);
  if (acm) {
    for (const auto& n : Glob("/dev/ttyACM*")) names.push_back(n);
  }
  for (const auto& n : names) {
    Candidate c = Describe(n);
    if (c.exists) Add(list, std::move(c));
  }
  // Devices that only a by-id link leads to (not a ttyACM unless asked).
  for (const auto& link : Glob(std::string(kById) + "/*")) {
    Candidate c = Describe(link);
    if (!c.exists || c.device == 0 || (!acm && c.kernel.starts_with("ttyACM"))) continue;
    c.path = "/dev/" + c.kernel;
    if (Describe(c.path).device != c.device) c.path = link;  // no such node under /dev
    Add(list, std::move(c));
  }
  FindStableNames(list);
  return list;
}

std::vector<Candidate> NamedPorts(const std::vector<std::string>& names) {
  std::vector<Candidate> list;
  for (const auto& n : names) {
    Candidate* c = Add(list, Describe(n));
    if (n.starts_with(std::string(kById) + "/") && c->stable.empty()) c->stable = n;
  }
  FindStableNames(list);
  return list;
}

bool ReadSystemView(SystemView& view, std::string* why) {
  std::ifstream consoles("/proc/consoles");
  if (!consoles) {
    *why = "cannot read /proc/consoles, so cannot tell which ports are consoles";
    return false;
  }
  for (std::string line; std::getline(consoles, line);) {
    unsigned int major = 0;
    unsigned int minor = 0;
    const auto colon = line.find_last_of(':');
    const auto space = line.find_last_of(' ', colon);
    if (colon == std::string::npos || space == std::string::npos ||
        std::sscanf(line.c_str() + space, "%u:%u", &major, &minor) != 2) {
      continue;
    }
    view.consoles.push_back(makedev(major, minor));
  }
  if (DIR* proc = opendir("/proc")) {
    while (const dirent* e = readdir(proc)) {
      const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
      if (pid <= 0) continue;
      std::ifstream stat_file(std::string("/proc/") + e->d_name + "/stat");
      std::string stat((std::istreambuf_iterator<char>(stat_file)),
                       std::istreambuf_iterator<char>());
      const auto comm_end = stat.find_last_of(')');  // the command name may hold anything
      if (comm_end == std::string::npos) continue;
      std::istringstream fields(stat.substr(comm_end + 1));
      std::string state;
      long ppid = 0;
      long pgrp = 0;
      long session = 0;
      unsigned long tty_nr = 0;
      if (fields >> state >> ppid >> pgrp >> session >> tty_nr && tty_nr != 0) {
        view.session_ttys.emplace_back(TtyNumber(tty_nr), pid);
      }
    }
    closedir(proc);
  }
  return true;
}

Hands WhoHolds(const Candidate& port, const SystemView& view) {
  Hands h;
  if (port.device == 0) return h;
  if (std::find(view.consoles.begin(), view.consoles.end(), port.device) != view.consoles.end()) {
    h.console = true;
    return h;
  }
  for (const auto& [tty, pid] : view.session_ttys) {
    if (tty == port.device) {
      h.in_use = "controlling terminal of process " + std::to_string(pid);
      return h;
    }
  }
  std::vector<std::string> names{"LCK.." + port.kernel};
  if (Basename(port.path) != port.kernel) names.push_back("LCK.." + Basename(port.path));
  char svr4[32];
  std::snprintf(svr4, sizeof svr4, "LCK.%03u.%03u", major(port.device), minor(port.device));
  names.emplace_back(svr4);
  for (const char* dir : kLockDirs) {
    for (const auto& name : names) {
      const std::string file = std::string(dir) + "/" + name;
      if (access(file.c_str(), F_OK) != 0) continue;
      const pid_t owner = LockOwner(file);
      if (owner < 0) {
        h.in_use = "lock file " + file + " (no PID in it)";
      } else if (Alive(owner)) {
        h.in_use = "lock file " + file + " of process " + std::to_string(owner);
      } else {
        if (h.note.empty()) h.note = "stale lock file " + file + " ignored";
        continue;
      }
      return h;
    }
  }
  return h;
}

}  // namespace ttycard::probe
