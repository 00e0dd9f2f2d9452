#include "vicc_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

namespace ttycard::emu {
namespace {

constexpr std::size_t kMaxPayload = 0xFFFF;
constexpr int kWaitSliceMs = 20;
// Late replies skipped in one receive at most; more means a confused peer.
constexpr int kMaxSkipped = 16;

int MsLeft(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

std::string Control(std::uint8_t code) {
  switch (code) {
    case kViccPowerOff:
      return "POWER OFF";
    case kViccPowerOn:
      return "POWER ON";
    case kViccReset:
      return "RESET";
    case kViccGetAtr:
      return "GET ATR";
    default:
      return "control " + std::to_string(code);
  }
}

}  // namespace

ViccRelay::ViccRelay(ViccOptions options, Journal& journal)
    : options_(options), journal_(journal) {}

ViccRelay::~ViccRelay() {
  Close();
}

bool ViccRelay::Listen() {
  std::lock_guard lock(mu_);
  if (listen_fd_ >= 0) return true;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(options_.port);
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 4) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return false;
  }
  listen_fd_ = fd;
  port_ = ntohs(addr.sin_port);
  return true;
}

std::uint16_t ViccRelay::Port() const {
  std::lock_guard lock(mu_);
  return port_;
}

bool ViccRelay::WaitForClient(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    {
      std::lock_guard lock(mu_);
      if (client_fd_ >= 0) return true;
      if (listen_fd_ < 0) return false;
      // Readable listening socket: a connection is waiting to be accepted.
      pollfd p{listen_fd_, POLLIN, 0};
      if (poll(&p, 1, std::min(kWaitSliceMs, MsLeft(deadline))) > 0) return true;
    }
    if (Clock::now() >= deadline) return false;
  }
}

void ViccRelay::Close() {
  std::lock_guard lock(mu_);
  if (client_fd_ >= 0) close(client_fd_);
  if (listen_fd_ >= 0) close(listen_fd_);
  client_fd_ = -1;
  listen_fd_ = -1;
  owed_ = 0;
}

std::size_t ViccRelay::Failures() const {
  std::lock_guard lock(mu_);
  return failures_;
}

bool ViccRelay::AcceptLocked() {
  if (client_fd_ >= 0) return true;
  if (listen_fd_ < 0) return false;
  const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return false;
  // Small messages answered one by one: no coalescing delay.
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  client_fd_ = fd;
  owed_ = 0;
  journal_.Trace("vicc -- card connected");
  return true;
}

void ViccRelay::DropClientLocked(const std::string& why) {
  if (client_fd_ < 0) return;
  close(client_fd_);
  client_fd_ = -1;
  owed_ = 0;
  journal_.Trace("vicc -- card gone: " + why);
}

void ViccRelay::Fail(const std::string& what) {
  ++failures_;
  journal_.Trace("vicc !! " + what);
}

bool ViccRelay::SendLocked(std::span<const std::uint8_t> payload) {
  if (client_fd_ < 0 || payload.size() > kMaxPayload) return false;
  Bytes message;
  message.reserve(payload.size() + 2);
  message.push_back(static_cast<std::uint8_t>(payload.size() >> 8));
  message.push_back(static_cast<std::uint8_t>(payload.size() & 0xFF));
  for (const std::uint8_t b : payload) message.push_back(b);
  const auto deadline = Clock::now() + options_.reply_timeout;
  std::size_t sent = 0;
  while (sent < message.size()) {
    const ssize_t n = send(client_fd_, message.data() + sent, message.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    pollfd p{client_fd_, POLLOUT, 0};
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && MsLeft(deadline) > 0 &&
        poll(&p, 1, MsLeft(deadline)) > 0 && !(p.revents & (POLLERR | POLLHUP))) {
      continue;
    }
    DropClientLocked("send failed or timed out");
    return false;
  }
  return true;
}

std::size_t ViccRelay::ReadExactLocked(std::uint8_t* out, std::size_t n,
                                       Clock::time_point deadline) {
  std::size_t got = 0;
  timed_out_ = false;
  while (got < n && client_fd_ >= 0) {
    const ssize_t r = recv(client_fd_, out + got, n - got, 0);
    if (r > 0) {
      got += static_cast<std::size_t>(r);
      continue;
    }
    if (r == 0) {
      DropClientLocked("connection closed");
      break;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      DropClientLocked("receive failed");
      break;
    }
    const int left = MsLeft(deadline);
    pollfd p{client_fd_, POLLIN, 0};
    if (left == 0 || poll(&p, 1, left) == 0) {
      timed_out_ = true;
      break;
    }
  }
  return got;
}

std::optional<Bytes> ViccRelay::ReadMessageLocked(Clock::time_point deadline) {
  std::array<std::uint8_t, 2> header{};
  const std::size_t got = ReadExactLocked(header.data(), header.size(), deadline);
  if (got == 0 && timed_out_) {
    ++owed_;  // nothing of it read yet: skip it whenever it comes
    return std::nullopt;
  }
  if (got < header.size()) {
    DropClientLocked("reply cut short");
    return std::nullopt;
  }
  Bytes payload((std::size_t{header[0]} << 8) | header[1]);
  if (ReadExactLocked(payload.data(), payload.size(), deadline) < payload.size()) {
    DropClientLocked("reply cut short");
    return std::nullopt;
  }
  return payload;
}

std::optional<Bytes> ViccRelay::ReceiveLocked(Clock::time_point deadline) {
  for (int skipped = 0; skipped <= kMaxSkipped && client_fd_ >= 0; ++skipped) {
    const int owed_before = owed_;
    std::optional<Bytes> message = ReadMessageLocked(deadline);
    if (!message) return std::nullopt;
    if (owed_before == 0) return message;
    --owed_;
    journal_.Trace("vicc -> late reply skipped: " + Spaced(*message));
  }
  DropClientLocked("too many late replies");
  return std::nullopt;
}

bool ViccRelay::Present() {
  std::lock_guard lock(mu_);
  if (!AcceptLocked()) return false;
  pollfd p{client_fd_, POLLRDHUP, 0};
  if (poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR))) {
    DropClientLocked("connection closed");
    return false;
  }
  return true;
}

std::optional<Bytes> ViccRelay::PowerUp(bool warm) {
  std::lock_guard lock(mu_);
  if (!AcceptLocked()) {
    Fail("power-up without a connected card");
    return std::nullopt;
  }
  const std::uint8_t power = warm ? kViccReset : kViccPowerOn;
  const std::uint8_t get_atr = kViccGetAtr;
  journal_.Trace("vicc <- " + Control(power) + ", " + Control(get_atr));
  if (!SendLocked({&power, 1}) || !SendLocked({&get_atr, 1})) {
    Fail("cannot send " + Control(power));
    return std::nullopt;
  }
  std::optional<Bytes> atr = ReceiveLocked(Clock::now() + options_.reply_timeout);
  if (!atr || atr->empty()) {
    Fail(atr ? "empty ATR" : "no ATR");
    return std::nullopt;
  }
  journal_.Trace("vicc -> ATR " + Spaced(*atr));
  return atr;
}

void ViccRelay::PowerDown() {
  std::lock_guard lock(mu_);
  if (client_fd_ < 0) return;
  const std::uint8_t off = kViccPowerOff;
  journal_.Trace("vicc <- " + Control(off));
  if (!SendLocked({&off, 1})) Fail("cannot send " + Control(off));
}

CardResponse ViccRelay::Process(std::span<const std::uint8_t> apdu) {
  CardResponse response;
  // A payload of one byte would be read as a control code, and vicc cannot
  // parse anything shorter than a header: such commands are refused here.
  if (apdu.size() < 4 || apdu.size() > kMaxPayload) {
    journal_.Trace("vicc -- APDU of " + std::to_string(apdu.size()) + " bytes refused: 67 00");
    response.sw = 0x6700;
    return response;
  }
  std::lock_guard lock(mu_);
  response.sw = kViccNoAnswerSw;
  journal_.Trace("vicc <- " + Spaced(apdu));
  if (!AcceptLocked() || !SendLocked(apdu)) {
    Fail("APDU not sent: no connected card");
    response.nothing = true;
    return response;
  }
  const std::optional<Bytes> reply = ReceiveLocked(Clock::now() + options_.reply_timeout);
  if (!reply || reply->size() < 2) {
    Fail(reply ? "reply of " + std::to_string(reply->size()) + " byte(s)" : "no reply to the APDU");
    // A card that hung up gave nothing, and nothing is what goes back (as
    // vsmartcard's own reader driver does); a silent card gets 6F 00.
    response.nothing = client_fd_ < 0;
    return response;
  }
  journal_.Trace("vicc -> " + Spaced(*reply));
  response.data.assign(reply->begin(), reply->end() - 2);
  response.sw = static_cast<std::uint16_t>(((*reply)[reply->size() - 2] << 8) | reply->back());
  return response;
}

}  // namespace ttycard::emu
