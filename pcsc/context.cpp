// The readers of this driver in one pcscd (see context.h).

#include "context.h"

#include <array>
#include <cerrno>
#include <cstring>

#include "log.h"
#include "pcsclite_api.h"

namespace ttycard::pcsc {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kReopenEvery = std::chrono::seconds(2);

std::mutex g_table_mu;
std::array<std::shared_ptr<Context>, kMaxReaders> g_table;

// Line characters for the log: STX and ETX as < and >, anything else that
// is not printable as ?.
std::string Printable(std::span<const unsigned char> chars) {
  std::string text;
  text.reserve(chars.size());
  for (const unsigned char c : chars) {
    text.push_back(c == 0x02 ? '<' : c == 0x03 ? '>' : (c < 0x20 || c > 0x7E) ? '?' : char(c));
  }
  return text;
}

bool SlotOk(unsigned long lun) {
  return (lun & 0xFFFF) == 0 && (lun >> 16) < kMaxReaders;
}

}  // namespace

Context::Context(std::string device_name, std::uint32_t channel)
    : device(std::move(device_name)), channel_id(channel) {
  if (Tracing(kTraceFrames)) reader.Watch(this);
}

void Context::BlockTime(int seconds) {
  if (Tracing(kTraceCommands)) Log(kDebug, "%s: Setting block time to %d", device.c_str(), seconds);
}

void Context::UncheckedReader() {
  Log(kInfo,
      "%s: the reader's replies do not carry the XOR checksum; their checksums are not checked",
      device.c_str());
}

void Context::Sent(std::span<const char> wire) {
  Log(kDebug, "%s -> %s", device.c_str(),
      Printable({reinterpret_cast<const unsigned char*>(wire.data()), wire.size()}).c_str());
}

void Context::Received(std::span<const unsigned char> chars, bool accepted, long turnaround_us) {
  Log(kDebug, "%s <- %s (%ld.%03ld ms%s)", device.c_str(),
      chars.empty() ? "(nothing)" : Printable(chars).c_str(), turnaround_us / 1000,
      turnaround_us % 1000, accepted ? "" : ", refused");
}

void Context::CheckLost() {
  if (gone || !reader.Lost()) return;
  gone = true;
  next_reopen = Clock::now() + kReopenEvery;
  Log(kError, "%s: the reader went away (hang-up or I/O error); reopening it every %lld s",
      device.c_str(), static_cast<long long>(kReopenEvery.count()));
}

bool Context::Available() {
  CheckLost();
  if (!gone) return reader.IsOpen();
  if (Clock::now() < next_reopen) return false;
  reader.Close();
  int err = 0;
  const serial::OpenError error = reader.Open(device.c_str(), &err);
  next_reopen = Clock::now() + kReopenEvery;
  if (error != serial::OpenError::kNone) {
    if (Tracing(kTraceCommands)) {
      Log(kDebug, "%s: still away: %s (%s)", device.c_str(), serial::Describe(error),
          std::strerror(err));
    }
    return false;
  }
  gone = false;
  Log(kInfo, "%s: the reader is back", device.c_str());
  return true;
}

std::shared_ptr<Context> Find(unsigned long lun) {
  if (!SlotOk(lun)) return nullptr;
  std::lock_guard lock(g_table_mu);
  return g_table[lun >> 16];
}

long OpenContext(unsigned long lun, const char* device, std::uint32_t channel) {
  if (!SlotOk(lun)) {
    Log(kError, "Lun 0x%lX: no such slot (one slot per reader, at most %u readers)", lun,
        kMaxReaders);
    return IFD_COMMUNICATION_ERROR;
  }
  if (device == nullptr || *device == '\0') {
    Log(kError, "Lun 0x%lX: no device name", lun);
    return IFD_COMMUNICATION_ERROR;
  }
  {
    std::lock_guard lock(g_table_mu);
    if (g_table[lun >> 16] != nullptr) {
      Log(kError, "Lun 0x%lX: a channel is already open on %s", lun,
          g_table[lun >> 16]->device.c_str());
      return IFD_COMMUNICATION_ERROR;
    }
  }
  auto context = std::make_shared<Context>(device, channel);
  int err = 0;
  const serial::OpenError error = context->reader.Open(device, &err);
  if (error != serial::OpenError::kNone) {
    Log(kError, "cannot open %s: %s (%s)", device, serial::Describe(error), std::strerror(err));
    return IFD_COMMUNICATION_ERROR;
  }
  if (Tracing(kTraceCommands)) Log(kDebug, "%s: opened for Lun 0x%lX", device, lun);
  std::lock_guard lock(g_table_mu);
  g_table[lun >> 16] = std::move(context);
  return IFD_SUCCESS;
}

long CloseContext(unsigned long lun) {
  std::shared_ptr<Context> context;
  {
    std::lock_guard lock(g_table_mu);
    if (!SlotOk(lun) || g_table[lun >> 16] == nullptr) return IFD_COMMUNICATION_ERROR;
    context = std::move(g_table[lun >> 16]);
  }
  std::lock_guard lock(context->mu);
  // A card left powered keeps whatever state a session gave it (a PIN
  // verified, a file selected): take its power away before letting go of the
  // reader, whether or not the host did.
  if (context->reader.IsOpen() && !context->reader.Lost()) context->reader.PowerDown();
  context->reader.Close();
  if (Tracing(kTraceCommands)) Log(kDebug, "%s: closed", context->device.c_str());
  return IFD_SUCCESS;
}

}  // namespace ttycard::pcsc
