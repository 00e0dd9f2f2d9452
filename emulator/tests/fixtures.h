// What the emulator's tests share: byte and frame literals, the host side of
// the emulator's pseudo-terminal (HostPort), and a stand-in for vsmartcard's
// vicc on the relay's side (FakeVicc).
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "hex_codec.h"
#include "wire.h"

namespace ttycard::emu::testing {

// "00 A4 00 0C" -> the bytes.
inline Bytes H(std::string_view hex) {
  return *ParseHexArg(hex);
}

// Hex characters between STX and ETX, as they cross the line.
inline std::string Wire(std::string_view hex) {
  std::string w(1, kStx);  // piece by piece: operator+ trips g++ 12's -Wrestrict at -O3
  w.append(hex);
  w.push_back(kEtx);
  return w;
}

// Reads one byte within `timeout` ms: 1, 0 on timeout, -1 on EOF or an error
// such as EIO after a hang-up. Interrupted waits and reads are retried.
inline int ReadByte(int fd, std::uint8_t& out, int timeout_ms) {
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, timeout_ms);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return 0;
    const ssize_t n = read(fd, &out, 1);
    if (n < 0 && errno == EINTR) continue;
    return n == 1 ? 1 : -1;
  }
}

// Host side of the emulator's pseudo-terminal: opens the slave like a driver
// would and reads replies with a deadline.
class HostPort {
 public:
  explicit HostPort(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY)) {
    termios t{};
    if (fd_ >= 0 && tcgetattr(fd_, &t) == 0) {
      cfmakeraw(&t);
      tcsetattr(fd_, TCSANOW, &t);
    }
  }
  ~HostPort() {
    if (fd_ >= 0) close(fd_);
  }
  HostPort(const HostPort&) = delete;
  HostPort& operator=(const HostPort&) = delete;

  bool ok() const { return fd_ >= 0; }

  bool Write(std::string_view chars) {
    return write(fd_, chars.data(), chars.size()) == static_cast<ssize_t>(chars.size());
  }

  struct Read {
    std::string chars;
    bool closed = false;  // EOF or an error such as EIO after a hang-up
  };

  // Reads until ETX, the line closing, or `timeout` without a character.
  Read ReadReply(std::chrono::milliseconds timeout = std::chrono::milliseconds(300)) {
    Read r;
    while (r.chars.empty() || r.chars.back() != kEtx) {
      std::uint8_t c = 0;
      const int got = ReadByte(fd_, c, static_cast<int>(timeout.count()));
      if (got <= 0) {
        r.closed = got < 0;
        break;
      }
      r.chars.push_back(static_cast<char>(c));
    }
    return r;
  }

  std::string Exchange(std::string_view chars) {
    Write(chars);
    return ReadReply().chars;
  }

 private:
  int fd_;
};

struct FakeReply {
  Bytes payload;                      // framed with its length before sending
  std::chrono::milliseconds delay{};  // before the first byte
  bool split = false;                 // header and two halves of the payload apart
  bool close = false;                 // hang up instead of answering
};

// A stand-in for vicc: a thread that connects to the relay over loopback,
// records every message it receives (2-byte big-endian length + payload)
// and answers as the test's handler says.
class FakeVicc {
 public:
  // The handler sees each payload; nullopt: no answer (as vicc does for
  // power on/off/reset).
  using Handler = std::function<std::optional<FakeReply>(const Bytes&)>;

  FakeVicc(std::uint16_t port, Handler handler) : handler_(std::move(handler)) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    connected_ = fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (connected_) thread_ = std::thread([this] { Run(); });
  }
  ~FakeVicc() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
  }
  FakeVicc(const FakeVicc&) = delete;
  FakeVicc& operator=(const FakeVicc&) = delete;

  bool connected() const { return connected_; }

  // Every byte received, as it came, and the payloads split out of it.
  Bytes Raw() const {
    std::lock_guard lock(mu_);
    return raw_;
  }
  std::vector<Bytes> Messages() const {
    std::lock_guard lock(mu_);
    return messages_;
  }
  bool WaitForMessages(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, timeout, [&] { return messages_.size() >= n; });
  }

 private:
  // Reads n bytes; false on EOF or once stopping.
  bool ReadN(Bytes& out, std::size_t n) {
    out.assign(n, 0);
    for (std::size_t got = 0; got < n;) {
      if (stop_) return false;
      const int r = ReadByte(fd_, out[got], 20);
      if (r < 0) return false;
      got += static_cast<std::size_t>(r);
    }
    return true;
  }
  void Send(const Bytes& bytes) { (void)!send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
  void Answer(const FakeReply& reply) {
    std::this_thread::sleep_for(reply.delay);
    if (reply.close) {
      shutdown(fd_, SHUT_RDWR);
      stop_ = true;
      return;
    }
    const std::size_t n = reply.payload.size();
    Bytes header = {static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n & 0xFF)};
    if (!reply.split) {
      for (const std::uint8_t b : reply.payload) header.push_back(b);
      Send(header);
      return;
    }
    Send(header);
    const std::size_t half = n / 2;
    for (const auto& [from, to] : {std::pair{std::size_t{0}, half}, std::pair{half, n}}) {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      Send(Bytes(reply.payload.begin() + static_cast<std::ptrdiff_t>(from),
                 reply.payload.begin() + static_cast<std::ptrdiff_t>(to)));
    }
  }
  void Run() {
    Bytes header;
    Bytes payload;
    while (!stop_ && ReadN(header, 2)) {
      if (!ReadN(payload, (std::size_t{header[0]} << 8) | header[1])) break;
      {
        std::lock_guard lock(mu_);
        for (const std::uint8_t b : header) raw_.push_back(b);
        for (const std::uint8_t b : payload) raw_.push_back(b);
        messages_.push_back(payload);
      }
      cv_.notify_all();
      if (auto reply = handler_(payload)) Answer(*reply);
    }
  }

  Handler handler_;
  int fd_ = -1;
  bool connected_ = false;
  std::atomic<bool> stop_{false};
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  Bytes raw_;
  std::vector<Bytes> messages_;
  std::thread thread_;
};

}  // namespace ttycard::emu::testing
