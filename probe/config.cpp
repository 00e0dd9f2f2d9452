// The pcscd reader configuration for the readers found: one entry of four
// lines per reader, as pcsc-lite's reader.conf wants it:
//
//   FRIENDLYNAME "ttycard ttyUSB0"
//   DEVICENAME   /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0
//   LIBPATH      /usr/lib/pcsc/drivers/serial/libifd-ttycard.so
//   CHANNELID    0x010000
//
// pcscd hands DEVICENAME to the driver; CHANNELID is only the driver's
// fallback when DEVICENAME is missing (0x01 << 16 | the port address for
// COM1..COM4), but pcscd wants the line in every entry.

#include "config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace ttycard::probe {
namespace {

constexpr unsigned long kSerialChannel = 0x01UL << 16;
constexpr std::array<std::pair<const char*, unsigned long>, 4> kComPorts{{
    {"ttyS0", 0x3F8},
    {"ttyS1", 0x2F8},
    {"ttyS2", 0x3E8},
    {"ttyS3", 0x2E8},
}};

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

std::vector<ReaderEntry> Entries(const std::vector<Candidate>& ports,
                                 const std::vector<Finding>& findings) {
  std::vector<ReaderEntry> entries;
  for (std::size_t i = 0; i < ports.size() && i < findings.size(); ++i) {
    if (findings[i].answer != Answer::kReader) continue;
    const Candidate& p = ports[i];
    ReaderEntry e{"ttycard " + p.kernel, p.stable.empty() ? p.path : p.stable, kSerialChannel};
    for (const auto& [name, address] : kComPorts) {
      if (p.kernel == name) e.channel |= address;
    }
    // Two names alike (two ports named "ttyS0" in different folders): number them.
    std::string name = e.friendly_name;
    for (int n = 2;; ++n) {
      bool taken = false;
      for (const auto& have : entries) taken = taken || have.friendly_name == name;
      if (!taken) break;
      name = e.friendly_name + " " + std::to_string(n);
    }
    e.friendly_name = name;
    entries.push_back(std::move(e));
  }
  return entries;
}

std::string RenderEntries(const std::vector<ReaderEntry>& entries, const std::string& libpath) {
  std::string text;
  for (const auto& e : entries) {
    char channel[16];
    std::snprintf(channel, sizeof channel, "0x%06lX", e.channel);
    if (!text.empty()) text += "\n";
    text += "FRIENDLYNAME \"" + e.friendly_name + "\"\n";
    text += "DEVICENAME   " + e.device + "\n";
    text += "LIBPATH      " + libpath + "\n";
    text += std::string("CHANNELID    ") + channel + "\n";
  }
  return text;
}

bool WriteConfig(const std::string& file, const std::string& text, bool force, std::string* why) {
  // A scratch file beside the target, then linked (refused when the target
  // exists) or renamed over it: the target is never seen half written.
  std::string scratch = file + ".XXXXXX";
  const int fd = mkstemp(scratch.data());
  if (fd < 0) {
    *why = "cannot create " + scratch + ": " + std::strerror(errno);
    return false;
  }
  bool ok = fchmod(fd, 0644) == 0 && WriteAll(fd, text) && fsync(fd) == 0;
  int err = ok ? 0 : errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && force) {
    ok = rename(scratch.c_str(), file.c_str()) == 0;
    err = errno;
  } else if (ok) {
    ok = link(scratch.c_str(), file.c_str()) == 0;
    err = errno;
  }
  if (!ok || !force) unlink(scratch.c_str());
  if (!ok) {
    *why = err == EEXIST ? file + " exists (--force replaces it)"
                         : "cannot write " + file + ": " + std::strerror(err);
  }
  return ok;
}

}  // namespace ttycard::probe
