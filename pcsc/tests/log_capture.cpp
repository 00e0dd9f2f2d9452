#include "log_capture.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {
std::mutex g_mu;
std::vector<std::string> g_lines;
}  // namespace

extern "C" __attribute__((visibility("default"))) void log_msg(int priority, const char* format,
                                                               ...) {
  char line[4096];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  std::lock_guard lock(g_mu);
  g_lines.push_back(std::to_string(priority) + " " + line);
}

namespace logcap {

std::vector<std::string> Lines() {
  std::lock_guard lock(g_mu);
  return g_lines;
}

void Clear() {
  std::lock_guard lock(g_mu);
  g_lines.clear();
}

std::size_t Count(std::initializer_list<const char*> parts) {
  std::size_t n = 0;
  for (const std::string& line : Lines()) {
    bool all = true;
    for (const char* part : parts) all = all && line.find(part) != std::string::npos;
    n += all ? 1 : 0;
  }
  return n;
}

}  // namespace logcap
