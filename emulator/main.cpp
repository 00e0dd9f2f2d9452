// ttycard-emu: the reader emulator as a stand-alone program.
//
// Opens a pseudo-terminal, prints the slave path as the first line of
// standard output and serves the reader protocol on it until SIGINT or
// SIGTERM (or, with --until-stdin-eof, until standard input closes).
// While running, SIGUSR1 removes the card and SIGUSR2 inserts it.
// With --vicc the card is vsmartcard's vicc, which connects to a port on
// 127.0.0.1 that is printed on the second line of standard output.
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>

#include "emulator.h"

namespace {

using ttycard::emu::CardProtocol;
using ttycard::emu::Emulator;
using ttycard::emu::Options;
using ttycard::emu::ReplyChecksum;

constexpr const char* kUsage =
    "usage: ttycard-emu [options]\n"
    "Emulates the serial smart-card reader (and a card) on a pseudo-terminal.\n"
    "The slave device path is printed on the first line of standard output.\n"
    "\n"
    "  --atr HEX          ATR of the card (default: a T=1 ATR, or 3B 02 14 50 with --t0)\n"
    "  --t0               the card speaks T=0 only (T=1 blocks are refused)\n"
    "  --t1               the card speaks T=1 only (T=0 commands are refused)\n"
    "  --no-card          start with the slot empty\n"
    "  --trace            trace every command and answer on standard error\n"
    "  --path-file F      also write the slave path to F\n"
    "  --link PATH        create a symbolic link PATH to the slave (removed at exit)\n"
    "  --until-stdin-eof  exit when standard input reaches end of file\n"
    "  --vicc             relay the card to vicc: listen on 127.0.0.1 for\n"
    "                     `vicc -t iso7816 -H 127.0.0.1 -P PORT`; the second line of\n"
    "                     standard output is `vicc-port PORT`; the card is in the\n"
    "                     slot while vicc is connected, its ATR is vicc's\n"
    "  --vicc-port N      listen on port N instead of an ephemeral one\n"
    "  --vicc-timeout MS  how long to wait for each answer of vicc (default 5000)\n"
    "  --port-file F      also write the vicc port to F\n"
    "  --noise-to-host P  corrupt each character of the replies with probability P\n"
    "                     (0..1) by flipping one of its 8 bits\n"
    "  --noise-to-reader P  the same for characters from the host, before framing\n"
    "  --noise-seed N     seed of the noise generators (default 0): same seed, same noise\n"
    "  --reject-malformed answer frames that cannot be decoded with a rejection\n"
    "                     (head 01 <command or 00> 01 00) instead of silence\n"
    "  --reply-checksum xor|inverted|zero\n"
    "                     checksum of the replies: XOR (default), its complement, or 00\n"
    "  --t0-cut-long      cut T=0 answers over 255 bytes to 253 data bytes + SW\n"
    "                     instead of sending them in the extended form\n"
    "  --ifsc N           the T=1 card's IFSC, 16..254 (default 32), announced in TA3\n"
    "                     of the default ATR; longer I-blocks from the host are refused\n"
    "  --refuse-ifs       the T=1 card refuses S(IFS request) and keeps IFSD 32\n"
    "  --help             this text\n"
    "\n"
    "Signals: SIGINT/SIGTERM exit cleanly, SIGUSR1 removes the card,\n"
    "SIGUSR2 inserts it.\n";

struct Args {
  Options options;
  std::string path_file;
  std::string link;
  std::string port_file;
  bool until_stdin_eof = false;
};

// A decimal number in [lo, hi], or nullopt.
std::optional<long> Number(const char* text, long lo, long hi) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) return std::nullopt;
  return v;
}

// A probability in [0, 1], or nullopt.
std::optional<double> Probability(const char* text) {
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || !(v >= 0.0 && v <= 1.0)) return std::nullopt;
  return v;
}

bool WriteLine(const std::string& file, const std::string& line) {
  FILE* f = std::fopen(file.c_str(), "w");
  if (f == nullptr) {
    std::fprintf(stderr, "ttycard-emu: cannot write %s\n", file.c_str());
    return false;
  }
  std::fprintf(f, "%s\n", line.c_str());
  return std::fclose(f) == 0;
}

// 0: run; 1: exit successfully (help); 2: usage error.
int ParseArgs(int argc, char** argv, Args& args) {
  enum : int {
    kAtr = 1,
    kT0,
    kT1,
    kNoCard,
    kTrace,
    kPathFile,
    kLink,
    kStdin,
    kVicc,
    kViccPort,
    kViccTimeout,
    kPortFile,
    kNoiseToHost,
    kNoiseToReader,
    kNoiseSeed,
    kRejectMalformed,
    kReplyChecksum,
    kT0CutLong,
    kIfsc,
    kRefuseIfs,
    kHelp
  };
  static const option kLong[] = {
      {"atr", required_argument, nullptr, kAtr},
      {"t0", no_argument, nullptr, kT0},
      {"t1", no_argument, nullptr, kT1},
      {"no-card", no_argument, nullptr, kNoCard},
      {"trace", no_argument, nullptr, kTrace},
      {"path-file", required_argument, nullptr, kPathFile},
      {"link", required_argument, nullptr, kLink},
      {"until-stdin-eof", no_argument, nullptr, kStdin},
      {"vicc", no_argument, nullptr, kVicc},
      {"vicc-port", required_argument, nullptr, kViccPort},
      {"vicc-timeout", required_argument, nullptr, kViccTimeout},
      {"port-file", required_argument, nullptr, kPortFile},
      {"noise-to-host", required_argument, nullptr, kNoiseToHost},
      {"noise-to-reader", required_argument, nullptr, kNoiseToReader},
      {"noise-seed", required_argument, nullptr, kNoiseSeed},
      {"reject-malformed", no_argument, nullptr, kRejectMalformed},
      {"reply-checksum", required_argument, nullptr, kReplyChecksum},
      {"t0-cut-long", no_argument, nullptr, kT0CutLong},
      {"ifsc", required_argument, nullptr, kIfsc},
      {"refuse-ifs", no_argument, nullptr, kRefuseIfs},
      {"help", no_argument, nullptr, kHelp},
      {nullptr, 0, nullptr, 0},
  };
  int c = 0;
  while ((c = getopt_long(argc, argv, "", kLong, nullptr)) != -1) {
    switch (c) {
      case kAtr: {
        auto atr = ttycard::emu::ParseHexArg(optarg);
        if (!atr || atr->empty() || atr->size() > 33) {
          std::fprintf(stderr, "ttycard-emu: bad --atr '%s'\n", optarg);
          return 2;
        }
        args.options.atr = *atr;
        break;
      }
      case kT0:
        args.options.protocol = CardProtocol::kT0;
        break;
      case kT1:
        args.options.protocol = CardProtocol::kT1;
        break;
      case kNoCard:
        args.options.card_present = false;
        break;
      case kTrace:
        args.options.trace_file = stderr;
        break;
      case kPathFile:
        args.path_file = optarg;
        break;
      case kLink:
        args.link = optarg;
        break;
      case kStdin:
        args.until_stdin_eof = true;
        break;
      case kVicc:
        args.options.vicc.enabled = true;
        break;
      case kViccPort:
      case kViccTimeout: {
        const auto v = c == kViccPort ? Number(optarg, 1, 65535) : Number(optarg, 1, 600'000);
        if (!v) {
          std::fprintf(stderr, "ttycard-emu: bad number '%s'\n", optarg);
          return 2;
        }
        if (c == kViccPort) args.options.vicc.port = static_cast<std::uint16_t>(*v);
        if (c == kViccTimeout) args.options.vicc.reply_timeout = std::chrono::milliseconds(*v);
        break;
      }
      case kPortFile:
        args.port_file = optarg;
        break;
      case kNoiseToHost:
      case kNoiseToReader: {
        const auto p = Probability(optarg);
        if (!p) {
          std::fprintf(stderr, "ttycard-emu: bad probability '%s'\n", optarg);
          return 2;
        }
        (c == kNoiseToHost ? args.options.noise_to_host : args.options.noise_to_reader) = *p;
        break;
      }
      case kNoiseSeed: {
        char* end = nullptr;
        errno = 0;
        const unsigned long long v = std::strtoull(optarg, &end, 0);
        if (errno != 0 || end == optarg || *end != '\0' || optarg[0] == '-') {
          std::fprintf(stderr, "ttycard-emu: bad seed '%s'\n", optarg);
          return 2;
        }
        args.options.noise_seed = v;
        break;
      }
      case kRejectMalformed:
        args.options.reject_malformed = true;
        break;
      case kReplyChecksum: {
        const std::string mode = optarg;
        if (mode == "xor") {
          args.options.reply_checksum = ReplyChecksum::kXor;
        } else if (mode == "inverted") {
          args.options.reply_checksum = ReplyChecksum::kInverted;
        } else if (mode == "zero") {
          args.options.reply_checksum = ReplyChecksum::kZero;
        } else {
          std::fprintf(stderr, "ttycard-emu: bad --reply-checksum '%s'\n", optarg);
          return 2;
        }
        break;
      }
      case kT0CutLong:
        args.options.t0_cut_long_replies = true;
        break;
      case kIfsc: {
        const auto v = Number(optarg, 16, 254);
        if (!v) {
          std::fprintf(stderr, "ttycard-emu: bad --ifsc '%s' (16..254)\n", optarg);
          return 2;
        }
        args.options.t1.ifsc = static_cast<std::uint8_t>(*v);
        break;
      }
      case kRefuseIfs:
        args.options.t1.refuse_ifs = true;
        break;
      case kHelp:
        std::fputs(kUsage, stdout);
        return 1;
      default:
        std::fputs(kUsage, stderr);
        return 2;
    }
  }
  if (optind < argc) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  return 0;
}

bool StdinClosed() {
  pollfd p{STDIN_FILENO, POLLIN, 0};
  if (poll(&p, 1, 0) <= 0) return false;
  if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) return true;
  char buf[256];
  return read(STDIN_FILENO, buf, sizeof buf) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  Args args;
  if (const int r = ParseArgs(argc, argv, args); r != 0) return r == 1 ? 0 : 2;

  // Block the signals before the serving thread exists, so that only the
  // sigtimedwait below ever takes them.
  sigset_t set;
  sigemptyset(&set);
  for (const int s : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2}) sigaddset(&set, s);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);

  Emulator emu(args.options);
  if (!emu.Start()) {
    std::fprintf(stderr, "ttycard-emu: cannot open a pseudo-terminal%s: %s\n",
                 args.options.vicc.enabled ? " or listen for vicc" : "", std::strerror(errno));
    return 1;
  }
  std::printf("%s\n", emu.SlavePath().c_str());
  const std::string port = std::to_string(emu.ViccPort());
  if (args.options.vicc.enabled) std::printf("vicc-port %s\n", port.c_str());
  std::fflush(stdout);
  // The port first: a script that sees the path file may read both.
  if (!args.port_file.empty() && !WriteLine(args.port_file, port)) return 1;
  if (!args.path_file.empty() && !WriteLine(args.path_file, emu.SlavePath())) return 1;
  if (!args.link.empty()) {
    unlink(args.link.c_str());
    if (symlink(emu.SlavePath().c_str(), args.link.c_str()) != 0) {
      std::fprintf(stderr, "ttycard-emu: cannot link %s: %s\n", args.link.c_str(),
                   std::strerror(errno));
      return 1;
    }
  }

  const timespec tick{0, 100'000'000};
  bool running = true;
  while (running) {
    siginfo_t info{};
    const int sig = sigtimedwait(&set, &info, &tick);
    if (sig == SIGINT || sig == SIGTERM) running = false;
    if (sig == SIGUSR1) emu.SetCardPresent(false);
    if (sig == SIGUSR2) emu.SetCardPresent(true);
    if (args.until_stdin_eof && StdinClosed()) running = false;
  }
  emu.Stop();
  if (!args.link.empty()) unlink(args.link.c_str());
  return 0;
}
