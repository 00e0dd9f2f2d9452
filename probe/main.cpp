// ttycard-probe: finds the serial ports a ttycard reader answers on, and
// writes the pcscd reader configuration for them.
//
//   ttycard-probe [--acm] [--write FILE [--force]] [--library PATH] [PORT...]
//
// Exit status: 0 at least one reader answered, 1 none did, 2 bad use or a
// configuration that was not written.

#include <getopt.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "config.h"
#include "ports.h"
#include "probe.h"

#ifndef TTYCARD_PROBE_LIBPATH
#define TTYCARD_PROBE_LIBPATH "/usr/lib/pcsc/drivers/serial/libifd-ttycard.so"
#endif
#ifndef TTYCARD_VERSION
#define TTYCARD_VERSION "?"
#endif

namespace {

using ttycard::probe::Answer;

constexpr int kFound = 0;
constexpr int kNoneFound = 1;
constexpr int kBadUse = 2;

constexpr const char* kUsage =
    "usage: ttycard-probe [options] [PORT...]\n"
    "Finds the serial ports a ttycard smart-card reader answers on and prints a\n"
    "pcscd reader configuration for them. Without PORT: /dev/ttyS0..3, every\n"
    "/dev/ttyUSB* and the devices behind /dev/serial/by-id/*. Every port probed\n"
    "gets the reader's status command, STX 01010000 ETX; consoles and ports in\n"
    "use are left alone. Takes about 8 s, however many ports.\n"
    "\n"
    "  --acm           also probe /dev/ttyACM* (opening one resets many boards)\n"
    "  --write FILE    write the configuration for the readers found to FILE\n"
    "  --force         let --write replace an existing FILE\n"
    "  --library PATH  LIBPATH of the entries (default " TTYCARD_PROBE_LIBPATH
    ")\n"
    "  --help          this text\n"
    "  --version       the version\n"
    "\n"
    "Exit status: 0 a reader answered, 1 none did, 2 bad use or FILE not written.\n";

struct Options {
  bool acm = false;
  bool force = false;
  std::string write;
  std::string library = TTYCARD_PROBE_LIBPATH;
  std::vector<std::string> ports;
};

// -1: go on; otherwise the exit status.
int ParseOptions(int argc, char** argv, Options& o) {
  enum : int { kAcm = 1, kWrite, kForce, kLibrary, kHelp, kVersion };
  static const option kLong[] = {
      {"acm", no_argument, nullptr, kAcm},
      {"write", required_argument, nullptr, kWrite},
      {"force", no_argument, nullptr, kForce},
      {"library", required_argument, nullptr, kLibrary},
      {"help", no_argument, nullptr, kHelp},
      {"version", no_argument, nullptr, kVersion},
      {nullptr, 0, nullptr, 0},
  };
  for (int c; (c = getopt_long(argc, argv, "", kLong, nullptr)) != -1;) {
    switch (c) {
      case kAcm:
        o.acm = true;
        break;
      case kWrite:
        o.write = optarg;
        break;
      case kForce:
        o.force = true;
        break;
      case kLibrary:
        o.library = optarg;
        break;
      case kHelp:
        std::fputs(kUsage, stdout);
        return kFound;
      case kVersion:
        std::printf("ttycard-probe %s\n", TTYCARD_VERSION);
        return kFound;
      default:
        std::fputs(kUsage, stderr);
        return kBadUse;
    }
  }
  for (int i = optind; i < argc; ++i) o.ports.emplace_back(argv[i]);
  if (o.write.empty() && o.force) {
    std::fprintf(stderr, "ttycard-probe: --force goes with --write\n");
    return kBadUse;
  }
  if (o.library.empty() || o.library.find_first_of(" \t\n\"") != std::string::npos) {
    std::fprintf(stderr, "ttycard-probe: --library: a path without blanks or quotes\n");
    return kBadUse;
  }
  struct stat st {};
  if (!o.write.empty() && !o.force && lstat(o.write.c_str(), &st) == 0) {
    std::fprintf(stderr, "ttycard-probe: %s exists, not replaced (--force replaces it)\n",
                 o.write.c_str());
    return kBadUse;
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (const int status = ParseOptions(argc, argv, o); status >= 0) return status;

  ttycard::probe::SystemView view;
  std::string why;
  if (!ttycard::probe::ReadSystemView(view, &why)) {
    std::fprintf(stderr, "ttycard-probe: %s\n", why.c_str());
    return kBadUse;
  }
  const auto ports =
      o.ports.empty() ? ttycard::probe::DefaultPorts(o.acm) : ttycard::probe::NamedPorts(o.ports);
  if (ports.empty()) {
    std::printf("No serial port found.\n");
    return kNoneFound;
  }

  const auto start = std::chrono::steady_clock::now();
  const auto findings = ttycard::probe::ProbeAll(ports, view);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;

  std::size_t width = 4;
  for (const auto& p : ports) width = std::max(width, p.path.size());
  std::printf("%-*s  %s\n", static_cast<int>(width), "PORT", "ANSWER");
  for (std::size_t i = 0; i < ports.size(); ++i) {
    const auto& f = findings[i];
    std::string extra = f.detail;
    if (f.answer == Answer::kReader && !ports[i].stable.empty()) extra = ports[i].stable;
    std::printf("%-*s  %s%s%s%s\n", static_cast<int>(width), ports[i].path.c_str(),
                ttycard::probe::Describe(f.answer, f.card), extra.empty() ? "" : " (",
                extra.c_str(), extra.empty() ? "" : ")");
  }
  const auto entries = ttycard::probe::Entries(ports, findings);
  std::printf("\n%zu port%s probed in %.1f s; %zu reader%s answered.\n", ports.size(),
              ports.size() == 1 ? "" : "s", took.count(), entries.size(),
              entries.size() == 1 ? "" : "s");
  if (entries.empty()) {
    if (!o.write.empty()) std::printf("Nothing written to %s.\n", o.write.c_str());
    return kNoneFound;
  }

  const std::string text = ttycard::probe::RenderEntries(entries, o.library);
  std::printf("\nReader configuration for pcscd (/etc/reader.conf.d/ttycard):\n\n%s", text.c_str());
  if (!o.write.empty()) {
    const std::string file =
        "# ttycard readers found by ttycard-probe. pcscd reads this at start:\n"
        "# restart it after a change (systemctl restart pcscd).\n\n" +
        text;
    if (!ttycard::probe::WriteConfig(o.write, file, o.force, &why)) {
      std::fprintf(stderr, "ttycard-probe: %s\n", why.c_str());
      return kBadUse;
    }
    std::printf("\nWritten to %s.\n", o.write.c_str());
  }
  return kFound;
}
