// Host side of the emulator's pseudo-terminal for tests: opens the slave like
// a driver would and reads replies with a deadline.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <string_view>

namespace ttycard::emu::testing {

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
    while (r.chars.empty() || r.chars.back() != '\x03') {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) break;
      char c = 0;
      const ssize_t n = read(fd_, &c, 1);
      if (n <= 0) {
        if (n < 0 && errno == EINTR) continue;
        r.closed = true;
        break;
      }
      r.chars.push_back(c);
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

}  // namespace ttycard::emu::testing
