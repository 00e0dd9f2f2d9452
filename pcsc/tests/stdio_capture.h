// Catches whatever the process writes to its standard output and error
// between construction and Stop(): the library must write nothing there.
#ifndef TTYCARD_PCSC_TESTS_STDIO_CAPTURE_H
#define TTYCARD_PCSC_TESTS_STDIO_CAPTURE_H

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

class StdioCapture {
 public:
  StdioCapture() {
    std::fflush(stdout);
    std::fflush(stderr);
    char path[] = "/tmp/ttycard-stdio-XXXXXX";
    fd_ = mkstemp(path);
    if (fd_ < 0) return;
    unlink(path);
    saved_out_ = dup(1);
    saved_err_ = dup(2);
    dup2(fd_, 1);
    dup2(fd_, 2);
  }
  ~StdioCapture() { Stop(); }
  StdioCapture(const StdioCapture&) = delete;
  StdioCapture& operator=(const StdioCapture&) = delete;

  bool Ok() const { return fd_ >= 0; }

  // Puts the streams back; what was written in between.
  std::string Stop() {
    if (fd_ < 0) return text_;
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(saved_out_, 1);
    dup2(saved_err_, 2);
    close(saved_out_);
    close(saved_err_);
    char buf[4096];
    ssize_t n;
    lseek(fd_, 0, SEEK_SET);
    while ((n = read(fd_, buf, sizeof buf)) > 0) text_.append(buf, static_cast<std::size_t>(n));
    close(fd_);
    fd_ = -1;
    return text_;
  }

 private:
  int fd_ = -1;
  int saved_out_ = -1;
  int saved_err_ = -1;
  std::string text_;
};

#endif  // TTYCARD_PCSC_TESTS_STDIO_CAPTURE_H
