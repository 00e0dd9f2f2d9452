// ttycard-vmcheck: the driver on the real UARTs of a virtual PC.
//
// Runs inside the guest, where /dev/ttyS0..3 are 16550A UARTs at 0x3F8,
// 0x2F8, 0x3E8 and 0x2E8 driven by the kernel's 8250 driver, and the host
// plays a reader behind each. Every check prints one line, "ok WHAT" or
// "not ok WHAT: why"; the exit status is 1 when any check failed.
//
//   ttycard-vmcheck port ADDR ATR-HEX T0|T1   entry points on one port
//   ttycard-vmcheck exclusive ADDR            a second opener is refused
//   ttycard-vmcheck refuse ADDR               (the second opener itself)
//   ttycard-vmcheck deadline DEVICE           a read on a silent UART
//   ttycard-vmcheck paced ADDR                exchanges timed at line rate
//   ttycard-vmcheck unopened DEVICE PROGRAM... PROGRAM never opens DEVICE
//
// Character counts come from the UART driver itself (/proc/tty/driver/
// serial, "tx:" and "rx:" per port), so they are what crossed the line.
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "ifdhandler.h"
#include "linkcmds.h"
#include "serial.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<unsigned char>;

int g_failed = 0;

void Check(bool ok, const char* what, const char* why_fmt = "", ...) {
  if (ok) {
    std::printf("ok %s\n", what);
  } else {
    std::printf("not ok %s: ", what);
    va_list ap;
    va_start(ap, why_fmt);
    std::vprintf(why_fmt, ap);
    va_end(ap);
    std::printf("\n");
    ++g_failed;
  }
  std::fflush(stdout);
}

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

std::string Hex(const unsigned char* p, std::size_t n) {
  std::string s;
  char two[4];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(two, sizeof two, i ? " %02X" : "%02X", p[i]);
    s += two;
  }
  return s;
}

std::optional<Bytes> ParseHex(const char* text) {
  Bytes out;
  std::string digits;
  for (const char* p = text; *p; ++p)
    if (*p != ' ') digits += *p;
  if (digits.size() % 2 != 0) return std::nullopt;
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    char* end = nullptr;
    const std::string two = digits.substr(i, 2);
    const long v = std::strtol(two.c_str(), &end, 16);
    if (*end != '\0') return std::nullopt;
    out.push_back(static_cast<unsigned char>(v));
  }
  return out;
}

// Index of the legacy port at `address` (the 8250 driver registers COM1 to
// COM4 as ttyS0 to ttyS3), or -1.
int PortIndex(unsigned address) {
  constexpr std::array<unsigned, 4> kAddresses{0x3F8, 0x2F8, 0x3E8, 0x2E8};
  for (std::size_t i = 0; i < kAddresses.size(); ++i)
    if (kAddresses[i] == address) return static_cast<int>(i);
  return -1;
}

struct Counts {
  long tx = -1;
  long rx = -1;
};

// The UART driver's own character counters for ttyS<index>.
Counts UartCounts(int index) {
  std::ifstream in("/proc/tty/driver/serial");
  std::string line;
  const std::string key = std::to_string(index) + ":";
  Counts c;
  while (std::getline(in, line)) {
    if (line.compare(0, key.size(), key) != 0) continue;
    const auto tx = line.find(" tx:");
    const auto rx = line.find(" rx:");
    if (tx != std::string::npos) c.tx = std::atol(line.c_str() + tx + 4);
    if (rx != std::string::npos) c.rx = std::atol(line.c_str() + rx + 4);
  }
  return c;
}

std::string SysfsPort(int index) {
  std::ifstream in("/sys/class/tty/ttyS" + std::to_string(index) + "/port");
  std::string s;
  std::getline(in, s);
  return s;
}

// What the driver left on the open port, in stty words; empty when it is
// the reader's line: 9600 baud both ways, cs8, -parenb, cstopb, clocal,
// cread and raw (no input or output processing, no line discipline, a read
// returns from one byte on).
std::string LineSettingsFaults(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return "tcgetattr failed";
  std::string bad;
  auto want = [&bad](bool ok, const char* word) {
    if (!ok) bad += std::string(bad.empty() ? "" : " ") + word;
  };
  want(cfgetispeed(&t) == B9600 && cfgetospeed(&t) == B9600, "speed!=9600");
  want((t.c_cflag & CSIZE) == CS8, "-cs8");
  want((t.c_cflag & PARENB) == 0, "parenb");
  want((t.c_cflag & CSTOPB) != 0, "-cstopb");
  want((t.c_cflag & CLOCAL) != 0, "-clocal");
  want((t.c_cflag & CREAD) != 0, "-cread");
  want((t.c_cflag & CRTSCTS) == 0, "crtscts");
  want((t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF | PARMRK)) == 0, "-raw(iflag)");
  want((t.c_oflag & OPOST) == 0, "opost");
  want((t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) == 0, "-raw(lflag)");
  want(t.c_cc[VMIN] == 1 && t.c_cc[VTIME] == 0, "min!=1/time!=0");
  return bad;
}

uint32_t Transmit(uint32_t protocol, const Bytes& apdu, Bytes& response) {
  SCARD_IO_HEADER header{protocol, 0};
  std::array<unsigned char, 258> rx{};
  uint32_t length = rx.size() - 1;
  const uint32_t r = IFD_Transmit_to_ICC(header, apdu.data(), static_cast<uint32_t>(apdu.size()),
                                         rx.data(), &length);
  response.assign(rx.begin(), rx.begin() + (r == IFD_SUCCESS ? length : 0));
  return r;
}

// The version 1.0 entry points on the port at `address`, whose reader holds
// a card with `atr` that speaks `protocol`: open, line settings, power,
// ATR, one ECHO exchange carrying the port address, presence, power down,
// close.
int Port(unsigned address, const Bytes& atr, uint32_t protocol) {
  const int index = PortIndex(address);
  char what[128];
  auto name = [&what, address](const char* step) {
    std::snprintf(what, sizeof what, "0x%03X %s", address, step);
    return what;
  };
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%X", address);
  const std::string sysfs = SysfsPort(index);
  Check(sysfs == hex, name("is the UART at that I/O address"), "sysfs says '%s'", sysfs.c_str());

  const auto start = Clock::now();
  const uint32_t open = IO_Create_Channel(TTYCARD_CHANNEL_SERIAL << 16 | address);
  Check(open == IFD_SUCCESS, name("IO_Create_Channel"), "%u", open);
  if (open != IFD_SUCCESS) return 1;
  std::printf("# 0x%03X opened in %.2f s\n", address, Seconds(start));
  const std::string faults = LineSettingsFaults(IO_ReturnHandle());
  Check(faults.empty(), name("line settings 9600 cs8 -parenb cstopb clocal raw"), "%s",
        faults.c_str());

  const uint32_t power = IFD_Power_ICC(IFD_POWER_UP);
  Check(power == IFD_SUCCESS, name("IFD_Power_ICC(power up)"), "%u", power);
  std::array<unsigned char, TTYCARD_ATR_SIZE> got{};
  const uint32_t cap = IFD_Get_Capabilities(TAG_IFD_ATR, got.data());
  Check(cap == IFD_SUCCESS && ICC.ATRLength == atr.size() &&
            std::memcmp(got.data(), atr.data(), atr.size()) == 0,
        name("ATR of this port's card"), "result %u, ATR %s", cap,
        Hex(got.data(), ICC.ATRLength).c_str());

  // ECHO (INS EC) returns its data: the port address, so that an answer
  // from another port's reader cannot pass.
  const auto high = static_cast<unsigned char>(address >> 8);
  const auto low = static_cast<unsigned char>(address & 0xFF);
  const Bytes apdu{0x00, 0xEC, 0x00, 0x00, 0x02, high, low};
  const Bytes expect{high, low, 0x90, 0x00};
  Bytes response;
  const uint32_t tr = Transmit(protocol, apdu, response);
  Check(tr == IFD_SUCCESS && response == expect,
        name(protocol == 0 ? "T=0 exchange" : "T=1 exchange"), "result %u, response %s", tr,
        Hex(response.data(), response.size()).c_str());
  const uint32_t present = IFD_Is_ICC_Present();
  Check(present == IFD_ICC_PRESENT, name("IFD_Is_ICC_Present"), "%u", present);
  const uint32_t down = IFD_Power_ICC(IFD_POWER_DOWN);
  Check(down == IFD_SUCCESS, name("IFD_Power_ICC(power down)"), "%u", down);
  const uint32_t close = IO_Close_Channel();
  Check(close == IFD_SUCCESS, name("IO_Close_Channel"), "%u", close);
  return g_failed ? 1 : 0;
}

// The second opener: reports what opening the held port gave it.
int Refuse(unsigned address) {
  const auto start = Clock::now();
  const uint32_t channel = IO_Create_Channel(TTYCARD_CHANNEL_SERIAL << 16 | address);
  const double seconds = Seconds(start);
  char path[32];
  std::snprintf(path, sizeof path, "/dev/ttyS%d", PortIndex(address));
  const int port = IO_InitializePort(9600, 8, 'N', path);
  std::printf("refuse %u %.3f %d\n", channel, seconds, port);
  return 0;
}

// Runs this program as `refuse ADDR` in a new process; its report line.
std::string RunSecondOpener(const char* self, unsigned address) {
  int fds[2];
  if (pipe(fds) != 0) return "";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  char arg[16];
  std::snprintf(arg, sizeof arg, "0x%X", address);
  char refuse[] = "refuse";
  std::array<char*, 4> argv{const_cast<char*>(self), refuse, arg, nullptr};
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, self, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  std::string out;
  char buf[256];
  for (ssize_t n; spawned == 0 && (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, n);
  close(fds[0]);
  if (spawned == 0) waitpid(pid, nullptr, 0);
  const auto at = out.find("refuse ");
  return at == std::string::npos ? "" : out.substr(at);
}

// While this process holds the port, a second process opening the same
// address is refused at once and puts nothing on the line; the holder's
// next command still works.
int Exclusive(const char* self, unsigned address) {
  const int index = PortIndex(address);
  const uint32_t open = IO_Create_Channel(TTYCARD_CHANNEL_SERIAL << 16 | address);
  Check(open == IFD_SUCCESS, "exclusive: the first opener gets the port", "%u", open);
  if (open != IFD_SUCCESS) return 1;
  const Counts before = UartCounts(index);
  const std::string report = RunSecondOpener(self, address);
  const Counts after = UartCounts(index);
  unsigned channel = 0;
  double seconds = -1;
  int port = -1;
  const bool parsed =
      std::sscanf(report.c_str(), "refuse %u %lf %d", &channel, &seconds, &port) == 3;
  Check(parsed && channel == IFD_COMMUNICATION_ERROR,
        "exclusive: a second IO_Create_Channel is refused (612)", "got %u", channel);
  Check(parsed && seconds >= 0 && seconds < 1.0, "exclusive: the refusal comes at once (< 1 s)",
        "took %.2f s", seconds);
  Check(parsed && port == 0, "exclusive: a second IO_InitializePort is refused (0)", "got %d",
        port);
  Check(before.tx >= 0 && after.tx == before.tx,
        "exclusive: the second opener writes nothing on the line", "%ld characters sent",
        after.tx - before.tx);
  const uint32_t present = IFD_Is_ICC_Present();
  Check(present == IFD_ICC_PRESENT, "exclusive: the first opener's next command works", "%u",
        present);
  IO_Close_Channel();
  return g_failed ? 1 : 0;
}

// A reader that never answers, on a real UART: a command's read gives up
// after one block time (4 s after opening), it does not hang. STATUS is a
// single command with a single reply to wait for.
int Deadline(const char* device) {
  const int opened = Adm_Initialize(device);
  Check(opened == ADM_OK, "deadline: the silent port opens", "%d", opened);
  if (opened != ADM_OK) return 1;
  const auto start = Clock::now();
  const int r = Adm_IsICCPresent();
  const double seconds = Seconds(start);
  std::printf("# deadline: STATUS on a silent UART returned %d after %.3f s\n", r, seconds);
  Check(r == ADM_COMM_ERROR, "deadline: no reply is a communication error (4)", "%d", r);
  Check(seconds >= 3.95 && seconds < 5.0,
        "deadline: the read gives up after the 4 s block time (3.95 .. 5 s)", "%.3f s", seconds);
  Adm_UnInitialize();
  return g_failed ? 1 : 0;
}

// One T=1 and one T=0 exchange on a line paced at 9600 baud 8N2, timed
// against the line-rate time of the characters the UART moved.
int Paced(unsigned address) {
  const int index = PortIndex(address);
  if (IO_Create_Channel(TTYCARD_CHANNEL_SERIAL << 16 | address) != IFD_SUCCESS ||
      IFD_Power_ICC(IFD_POWER_UP) != IFD_SUCCESS) {
    Check(false, "paced: the paced port opens and powers the card");
    return 1;
  }
  struct Shape {
    const char* name;
    uint32_t protocol;
    Bytes apdu;
    std::size_t answer;  // response length with SW1 SW2
  };
  const std::array<Shape, 2> shapes{{
      {"t1-short GET CHALLENGE 8", 1, {0x00, 0x84, 0x00, 0x00, 0x08}, 10},
      {"t0-short ECHO 0", 0, {0x00, 0xEC, 0x00, 0x00, 0x00}, 2},
  }};
  constexpr double kCharSeconds = 11.0 / 9600;  // start, 8 data, 2 stop bits
  for (const Shape& s : shapes) {
    Bytes response;
    Transmit(s.protocol, s.apdu, response);  // warm-up: block time, code paths
    const Counts before = UartCounts(index);
    const auto start = Clock::now();
    const uint32_t r = Transmit(s.protocol, s.apdu, response);
    const double seconds = Seconds(start);
    const Counts after = UartCounts(index);
    const long chars = (after.tx - before.tx) + (after.rx - before.rx);
    const double line = chars * kCharSeconds;
    const double ratio = line > 0 ? seconds / line : 0;
    std::printf("# paced %s: %ld characters, line-rate %.2f ms, measured %.2f ms, ratio %.3f\n",
                s.name, chars, line * 1e3, seconds * 1e3, ratio);
    char what[96];
    std::snprintf(what, sizeof what, "paced: %s answered", s.name);
    Check(r == IFD_SUCCESS && response.size() == s.answer, what, "result %u, %zu bytes", r,
          response.size());
    // Never faster than the line (the relay paces), and not far above it.
    std::snprintf(what, sizeof what, "paced: %s within 0.98 .. 2 x line-rate time", s.name);
    Check(chars > 0 && ratio >= 0.98 && ratio < 2.0, what, "ratio %.3f", ratio);
  }
  IFD_Power_ICC(IFD_POWER_DOWN);
  IO_Close_Channel();
  return g_failed ? 1 : 0;
}

// A legacy port address (0x3F8, 0x2F8, 0x3E8, 0x2E8), or 0.
unsigned Address(const char* text) {
  char* end = nullptr;
  const unsigned long v = std::strtoul(text, &end, 0);
  if (*end != '\0' || PortIndex(static_cast<unsigned>(v)) < 0) return 0;
  return static_cast<unsigned>(v);
}

// Runs a program while watching DEVICE for opens (inotify sees every open
// of the node, whatever the opener does afterwards).
int Unopened(const char* device, char** program) {
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  const bool watching = watch >= 0 && inotify_add_watch(watch, device, IN_OPEN) >= 0;
  Check(watching, "unopened: watching the device", "%s", std::strerror(errno));
  if (!watching) return 1;
  pid_t pid = -1;
  int status = -1;
  if (posix_spawn(&pid, program[0], nullptr, nullptr, program, environ) == 0) {
    waitpid(pid, &status, 0);
  }
  std::printf("# unopened: %s exited with status %d\n", program[0],
              WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  std::array<char, 4096> events{};
  const ssize_t n = read(watch, events.data(), events.size());
  const std::string what = std::string("unopened: ") + device + " is never opened";
  Check(n <= 0, what.c_str(), "it was");
  return g_failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  const unsigned address = argc > 2 ? Address(argv[2]) : 0;
  if (mode == "port" && address != 0 && argc == 5) {
    const auto atr = ParseHex(argv[3]);
    const std::string protocol = argv[4];
    if (atr && (protocol == "T0" || protocol == "T1")) return Port(address, *atr, protocol == "T1");
  }
  if (mode == "exclusive" && address != 0 && argc == 3) return Exclusive(argv[0], address);
  if (mode == "refuse" && address != 0 && argc == 3) return Refuse(address);
  if (mode == "deadline" && argc == 3) return Deadline(argv[2]);
  if (mode == "paced" && address != 0 && argc == 3) return Paced(address);
  if (mode == "unopened" && argc > 3) return Unopened(argv[2], argv + 3);
  std::fprintf(stderr,
               "usage: ttycard-vmcheck port ADDR ATR-HEX T0|T1 | exclusive ADDR | "
               "deadline DEVICE | paced ADDR | unopened DEVICE PROGRAM...\n");
  return 2;
}
