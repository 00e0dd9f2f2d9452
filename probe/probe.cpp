// Asks every candidate port, all at once, whether a reader answers on it.
//
// The one frame sent to each port is the reader's status command, which
// changes nothing on a card:
//
//   STX  "0 1 0 1 0 0 0 0"  ETX   =   02 30 31 30 31 30 30 30 30 03
//        header 01, command 01 (status), length 00, checksum 00
//
// (sent a second time only when the first answer's checksum was wrong, to
// tell a damaged reply from a reader with a checksum of its own).
//
// A port is first opened without the driver's lock, only to read its
// settings and whether another program holds it in the terminal's exclusive
// mode; that descriptor stays open until the end, so that the port is never
// hung up in between. Then it is opened exactly as the driver opens it (its
// advisory lock and exclusive mode, 9600 8N2, the 400 ms pause and the
// input flush), given the reader's 3 s to settle, and asked for its status,
// with one block time (4 s) for the answer. Every port does this on a thread
// of its own, so that all of them settle and wait together. Afterwards the
// saved settings go back on the port, the exclusive mode is cleared and both
// descriptors are closed.

#include "probe.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "link.h"
#include "port.h"

namespace ttycard::probe {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kBlockTime = std::chrono::seconds(ADM_COMMAND_BLOCK_TIME);
constexpr std::size_t kCardStatus = 15;  // byte of the status record: 1 or 3, a card

// The line under the status command: the driver's serial functions, except
// that a read waits one block time but never past the end of the probe, and
// every character that comes back is counted.
class ProbeLine final : public link::Line {
 public:
  ProbeLine(serial::Port& port, Clock::time_point end) : port_(port), end_(end) {}

  bool Read(int count, unsigned char* buf) override {
    const auto until = std::min(Clock::now() + kBlockTime, end_);
    const int fd = port_.rec.handle;
    for (int got = 0; got < count;) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
      pollfd pfd{fd, POLLIN, 0};
      const int ready = poll(&pfd, 1, static_cast<int>(std::max<long>(left.count(), 0)));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0 || (pfd.revents & POLLIN) == 0) return false;
      const ssize_t n = read(fd, buf + got, static_cast<std::size_t>(count - got));
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) return false;
      for (ssize_t i = 0; i < n; ++i) {
        if (received < first.size()) first[received] = buf[got + i];
        ++received;
      }
      got += static_cast<int>(n);
    }
    return true;
  }
  bool Write(int count, const unsigned char* data) override {
    return serial::Write(port_, count, data);
  }
  bool Flush() override { return serial::FlushInput(port_); }

  std::size_t received = 0;               // characters that came back
  std::array<unsigned char, 12> first{};  // the first of them

 private:
  serial::Port& port_;
  const Clock::time_point end_;
};

Finding OpenFailure(int err) {
  switch (err) {
    case ENOENT:
      return {Answer::kAbsent, false, ""};
    case EBUSY:
      return {Answer::kInUse, false, "another program holds it in exclusive mode"};
    case ENXIO:
    case ENODEV:
    case EIO:
      return {Answer::kCannotOpen, false, "no device behind it"};
    default:
      return {Answer::kCannotOpen, false, std::strerror(err)};
  }
}

// What the status command brought back.
Finding Judge(int result, unsigned int length,
              const std::array<unsigned char, ADM_MAX_WIDE_REPLY>& rec, const link::Link& lk,
              const ProbeLine& line) {
  const bool checksum_known =
      lk.checksum.clean > 0 || lk.checksum.state != link::ReplyChecksum::State::kLearning;
  if (result == ADM_OK && length > kCardStatus && checksum_known) {
    return {Answer::kReader, rec[kCardStatus] == 1 || rec[kCardStatus] == 3, ""};
  }
  if (line.received == 0) return {Answer::kSilence, false, ""};
  std::string bytes = std::to_string(line.received) + " bytes:";
  for (std::size_t i = 0; i < std::min(line.received, line.first.size()); ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, " %02X", line.first[i]);
    bytes += hex;
  }
  if (line.received > line.first.size()) bytes += " ...";
  return {Answer::kGarbage, false, bytes};
}

Finding ProbeOne(const Candidate& port) {
  const int own = open(port.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (own < 0) return OpenFailure(errno);
  termios saved{};
  if (tcgetattr(own, &saved) != 0) {
    const int err = errno;
    close(own);
    return {Answer::kNotTerminal, false, err == ENOTTY ? "" : std::strerror(err)};
  }
  // Root opens a port in exclusive mode all the same; ask whether it is.
  int exclusive = 0;
  if (ioctl(own, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
    close(own);
    return OpenFailure(EBUSY);
  }

  IO_Port record{};
  serial::Port line_port(record);
  int err = 0;
  const serial::OpenError opened =
      serial::Open(line_port, link::kBaud, link::kDataBits, link::kParity, port.path.c_str(), &err);
  Finding f;
  if (opened == serial::OpenError::kBusy) {
    f = {Answer::kInUse, false, "locked by another opener (a ttycard driver?)"};
  } else if (opened != serial::OpenError::kNone) {
    f = {Answer::kCannotOpen, false,
         std::string(serial::Describe(opened)) + ": " + std::strerror(err)};
  } else {
    std::this_thread::sleep_for(link::kReaderSettle);
    ProbeLine line(line_port, Clock::now() + kBlockTime);
    link::Link lk(line, ADM_MAX_WIDE_REPLY);
    std::array<unsigned char, ADM_MAX_WIDE_REPLY> rec{};
    unsigned int length = 0;
    const int result = link::ReadStatus(lk, rec.data(), &length);
    f = Judge(result, length, rec, lk, line);
  }
  if (opened != serial::OpenError::kBusy) {
    tcsetattr(own, TCSANOW, &saved);
    ioctl(own, TIOCNXCL);  // it was not in exclusive mode before we came
  }
  serial::Close(line_port);
  close(own);
  return f;
}

}  // namespace

const char* Describe(Answer answer, bool card) {
  switch (answer) {
    case Answer::kReader:
      return card ? "reader, card present" : "reader, no card";
    case Answer::kSilence:
      return "silence";
    case Answer::kGarbage:
      return "garbage";
    case Answer::kInUse:
      return "in use";
    case Answer::kConsole:
      return "console, not opened";
    case Answer::kNotTerminal:
      return "not a terminal";
    case Answer::kAbsent:
      return "no such port";
    case Answer::kCannotOpen:
      return "cannot open";
  }
  return "?";
}

std::vector<Finding> ProbeAll(const std::vector<Candidate>& ports, const SystemView& view) {
  std::vector<Finding> findings(ports.size());
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < ports.size(); ++i) {
    if (!ports[i].exists) continue;  // kAbsent
    const Hands hands = WhoHolds(ports[i], view);
    if (hands.console) {
      findings[i] = {Answer::kConsole, false, ""};
    } else if (!hands.in_use.empty()) {
      findings[i] = {Answer::kInUse, false, hands.in_use};
    } else {
      threads.emplace_back([&findings, &ports, i, note = hands.note] {
        findings[i] = ProbeOne(ports[i]);
        if (!note.empty()) findings[i].detail += (findings[i].detail.empty() ? "" : "; ") + note;
      });
    }
  }
  for (auto& t : threads) t.join();
  return findings;
}

}  // namespace ttycard::probe
