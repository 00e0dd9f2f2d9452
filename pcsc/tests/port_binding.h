// A pseudo-terminal in place of a serial port node, in a private mount
// namespace of the test process: the library opens it where it would open
// the port, and the machine's own port is never touched.
#ifndef TTYCARD_PCSC_TESTS_PORT_BINDING_H
#define TTYCARD_PCSC_TESTS_PORT_BINDING_H

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <string>

// Call before any thread is started: the process gets mounts of its own
// (root only). False when it cannot.
inline bool PrivateMounts() {
  return unshare(CLONE_NEWNS) == 0 &&
         mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

// Binds `pty` over `node`; true only once `node` is that terminal.
inline bool BindOver(const std::string& pty, const char* node) {
  struct stat want {
  }, got{};
  if (stat(pty.c_str(), &want) != 0 || stat(node, &got) != 0) return false;
  if (mount(pty.c_str(), node, nullptr, MS_BIND, nullptr) != 0) return false;
  return stat(node, &got) == 0 && got.st_rdev == want.st_rdev;
}

#endif  // TTYCARD_PCSC_TESTS_PORT_BINDING_H
