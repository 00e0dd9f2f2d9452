#include "dev_ttys.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace ttycard::test {
namespace {

bool g_private = false;
bool g_overlaid = false;

bool Fail(std::string* why, const std::string& what) {
  if (why != nullptr) *why = what + ": " + std::strerror(errno);
  return false;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

// Mounts a tmpfs on the empty folder T and overlays /dev with a writable
// layer kept in it (keeping /dev/pts as it is).
bool OverlayDevFrom(const std::string& t, std::string* why) {
  if (mount("tmpfs", t.c_str(), "tmpfs", 0, "mode=0755") != 0) return Fail(why, "tmpfs");
  for (const char* d : {"/pts", "/upper", "/work"}) mkdir((t + d).c_str(), 0755);
  if (mount("/dev/pts", (t + "/pts").c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
    return Fail(why, "bind /dev/pts");
  }
  const std::string options = "lowerdir=/dev,upperdir=" + t + "/upper,workdir=" + t + "/work";
  if (mount("overlay", "/dev", "overlay", 0, options.c_str()) != 0) return Fail(why, "overlay");
  if (mount((t + "/pts").c_str(), "/dev/pts", nullptr, MS_MOVE, nullptr) != 0) {
    return Fail(why, "move /dev/pts");
  }
  return true;
}

// Overlays /dev so that missing nodes can be created inside the namespace.
// The scratch tmpfs needs its mount point only until the overlay holds it:
// then it is detached (the overlay keeps it alive) and the empty folder,
// which the machine's /tmp shares, is removed.
bool OverlayDev(std::string* why) {
  if (g_overlaid) return true;
  char scratch[] = "/tmp/ttycard-dev.XXXXXX";
  if (mkdtemp(scratch) == nullptr) return Fail(why, "mkdtemp");
  g_overlaid = OverlayDevFrom(scratch, why);
  umount2(scratch, MNT_DETACH);
  rmdir(scratch);
  return g_overlaid;
}

}  // namespace

bool EnterPrivateMounts(std::string* why) {
  if (g_private) return true;
  if (unshare(CLONE_NEWNS) != 0) return Fail(why, "unshare(CLONE_NEWNS)");
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return Fail(why, "make / private");
  }
  g_private = true;
  return true;
}

bool BindSerialPorts(const std::vector<std::string>& ptys, std::string* why) {
  if (!g_private) {
    errno = EPERM;
    return Fail(why, "no private mount namespace");
  }
  // Overlay /dev first if any node is missing: an overlay mounted later
  // would hide the binds already made and uncover the real ports.
  for (std::size_t i = 0; i < ptys.size(); ++i) {
    if (!Exists("/dev/ttyS" + std::to_string(i)) && !OverlayDev(why)) return false;
  }
  for (std::size_t i = 0; i < ptys.size(); ++i) {
    const std::string node = "/dev/ttyS" + std::to_string(i);
    // Unmount what an earlier bind left there (ignore failure: nothing was).
    while (umount2(node.c_str(), MNT_DETACH) == 0) {
    }
    if (!Exists(node)) {
      const int fd = open(node.c_str(), O_CREAT | O_WRONLY, 0600);
      if (fd < 0) return Fail(why, "create " + node);
      close(fd);
    }
    if (mount(ptys[i].c_str(), node.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      return Fail(why, "bind " + ptys[i] + " over " + node);
    }
  }
  return true;
}

}  // namespace ttycard::test
