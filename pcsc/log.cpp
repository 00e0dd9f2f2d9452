// pcscd's log from inside the driver (see log.h).

#include "log.h"

#include <dlfcn.h>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace ttycard::pcsc {
namespace {

using LogMsg = void (*)(int priority, const char* format, ...);

// pcscd exports log_msg to the drivers it loads; a host without it gets no
// log from us (and never our output on its standard streams).
LogMsg FindLogMsg() {
  return reinterpret_cast<LogMsg>(dlsym(RTLD_DEFAULT, "log_msg"));
}

const LogMsg g_log_msg = FindLogMsg();
const unsigned g_levels = ParseTraceLevels(std::getenv("TTYCARD_LOG"));

}  // namespace

unsigned ParseTraceLevels(const char* text) {
  unsigned levels = kTraceErrors;
  if (text == nullptr) return levels;
  constexpr std::array<std::pair<std::string_view, unsigned>, 6> kNames{{
      {"errors", kTraceErrors},
      {"commands", kTraceCommands},
      {"frames", kTraceFrames},
      {"apdu", kTraceApdu},
      {"apdus", kTraceApdu},
      {"all", kTraceErrors | kTraceCommands | kTraceFrames | kTraceApdu},
  }};
  std::string_view rest(text);
  while (!rest.empty()) {
    const std::size_t cut = rest.find_first_of(", ");
    const std::string_view word = rest.substr(0, cut);
    for (const auto& [name, bits] : kNames) {
      if (word == name) levels |= bits;
    }
    if (cut == std::string_view::npos) break;
    rest.remove_prefix(cut + 1);
  }
  return levels;
}

bool Tracing(Trace level) {
  return (g_levels & level) != 0 && g_log_msg != nullptr;
}

void Log(int priority, const char* format, ...) {
  if (g_log_msg == nullptr) return;
  std::array<char, 1024> line{};
  va_list args;
  va_start(args, format);
  std::vsnprintf(line.data(), line.size(), format, args);
  va_end(args);
  g_log_msg(priority, "ttycard: %s", line.data());
}

void LogBytes(int priority, const char* prefix, std::span<const unsigned char> bytes,
              std::size_t max) {
  if (g_log_msg == nullptr) return;
  std::array<char, 3 * 96 + 1> hex{};
  const std::size_t shown = std::min({bytes.size(), max, std::size_t{96}});
  for (std::size_t i = 0; i < shown; ++i) {
    std::snprintf(&hex[3 * i], 4, "%02X ", bytes[i]);
  }
  if (shown < bytes.size()) {
    Log(priority, "%s (%zu bytes) %s...", prefix, bytes.size(), hex.data());
  } else {
    Log(priority, "%s (%zu bytes) %s", prefix, bytes.size(), hex.data());
  }
}

}  // namespace ttycard::pcsc
