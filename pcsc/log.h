// The library's log, written into pcscd's own (its log_msg, looked up when
// the library is loaded; nothing at all when the host has none), and the
// trace levels a user switches on with the environment variable TTYCARD_LOG:
//
//   errors     every failure, with its reason (always on)
//   commands   reader commands and their results, block-time changes
//   frames     every frame on the wire, with the reader's turnaround
//   apdu       APDUs and responses
//   all        everything
//
// e.g. TTYCARD_LOG=commands,apdu. Lines below "errors" go out at pcscd's
// debug level, so pcscd shows them when it runs with --debug.
#ifndef TTYCARD_PCSC_LOG_H
#define TTYCARD_PCSC_LOG_H

#include <cstddef>
#include <span>

namespace ttycard::pcsc {

enum Trace : unsigned {
  kTraceErrors = 1,
  kTraceCommands = 2,
  kTraceFrames = 4,
  kTraceApdu = 8,
};

// Parses a TTYCARD_LOG value; errors are always in.
unsigned ParseTraceLevels(const char* text);
bool Tracing(Trace level);

// pcsc-lite's priorities.
enum Priority : int { kDebug = 0, kInfo = 1, kError = 2, kCritical = 3 };

void Log(int priority, const char* format, ...) __attribute__((format(__printf__, 2, 3)));
// "prefix: 00 A4 04 00 ..." with at most `max` bytes shown.
void LogBytes(int priority, const char* prefix, std::span<const unsigned char> bytes,
              std::size_t max = 96);

}  // namespace ttycard::pcsc

#endif  // TTYCARD_PCSC_LOG_H
