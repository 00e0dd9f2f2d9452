// A stand-in for vsmartcard's vicc in tests: a thread that connects to the
// relay over loopback, records every message it receives (2-byte big-endian
// length + payload) and answers as the test's handler says.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "hex_codec.h"

namespace ttycard::emu::testing {

struct FakeReply {
  Bytes payload;                      // framed with its length before sending
  std::chrono::milliseconds delay{};  // before the first byte
  bool split = false;                 // header and two halves of the payload apart
  bool close = false;                 // hang up instead of answering
};

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
    std::size_t got = 0;
    out.assign(n, 0);
    while (got < n && !stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      const ssize_t r = read(fd_, out.data() + got, n - got);
      if (r <= 0) return false;
      got += static_cast<std::size_t>(r);
    }
    return got == n;
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
