// The readers of this driver in one pcscd (see context.h).

#include "context.h"

#include <algorithm>
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

// Line characters for the log, in a buffer of its own (a trace line is
// written from inside the link, where nothing may allocate): STX and ETX as
// < and >, anything else that is not printable as ?, and "..." after the
// first kShown characters (a whole wide reply fits).
class Printable {
 public:
  explicit Printable(std::span<const unsigned char> chars) {
    const std::size_t n = std::min(chars.size(), kShown);
    for (std::size_t i = 0; i < n; ++i) {
      const unsigned char c = chars[i];
      text_[i] = c == 0x02 ? '<' : c == 0x03 ? '>' : (c < 0x20 || c > 0x7E) ? '?' : char(c);
    }
    if (n < chars.size()) std::memcpy(&text_[n], "...", 3);
  }
  const char* c_str() const { return text_.data(); }

 private:
  static constexpr std::size_t kShown = 600;
  std::array<char, kShown + 4> text_{};
};

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
  reader.Close();  // lets go of the device node at once, and forgets the card
  // A device that comes back and goes again before it answered was never
  // reported back: one line for the whole absence.
  if (away_logged) return;
  away_logged = true;
  Log(kError,
      "%s: the reader went away (hang-up or I/O error); its slot reads as empty, and the device "
      "is opened again every %lld s",
      device.c_str(), static_cast<long long>(kReopenEvery.count()));
}

void Context::Unanswered() {
  if (silent) return;
  silent = true;
  if (away_logged) return;
  away_logged = true;
  Log(kError,
      "%s: the reader does not answer its status query (switched off, or its cable out?); its "
      "slot reads as empty until it answers again",
      device.c_str());
}

void Context::Answered() {
  silent = false;
  if (!away_logged) return;
  away_logged = false;
  // At the loss's level: pcscd run without --debug shows errors only, and a
  // journal that tells of the loss must tell of the return.
  Log(kError, "%s: the reader is back", device.c_str());
}

bool Context::Available(Settling settling) {
  CheckLost();
  if (gone) {
    if (Clock::now() < next_reopen) return false;
    reader.Close();
    int err = 0;
    const serial::OpenError error = reader.Start(device.c_str(), &err);
    next_reopen = Clock::now() + kReopenEvery;
    if (error != serial::OpenError::kNone) {
      if (Tracing(kTraceCommands)) {
        Log(kDebug, "%s: still away: %s (%s)", device.c_str(), serial::Describe(error),
            std::strerror(err));
      }
      return false;
    }
    gone = false;
    if (Tracing(kTraceCommands)) Log(kDebug, "%s: opened again; settling", device.c_str());
  }
  if (!reader.IsOpen()) return false;
  if (settling == Settling::kAnswerNow || reader.Settle()) return true;
  // A power action or an exchange that comes while the reader settles waits
  // for the rest of the settle time (as it did when opening took that long),
  // on this reader's lock released: presence queries, which answer "no card"
  // meanwhile without the line, and attribute reads are not held up. A close
  // ends the wait.
  std::unique_lock held(mu, std::adopt_lock);
  const auto limit = Clock::now() + ifd::Reader::kSettleTime;
  while (reader.IsOpen() && !reader.Settle() && Clock::now() < limit) {
    settle_wake.wait_until(held, std::min(reader.SettleDeadline(), limit));
  }
  held.release();
  return reader.IsOpen() && !reader.Settling();
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
  // The port is configured and the reader settles on its own time; until
  // then presence reads as "no card" without the line (see polling.cpp).
  const serial::OpenError error = context->reader.Start(device, &err);
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
  // reader, whether or not the host did. A reader still settling has had no
  // session since it was opened.
  if (context->reader.IsOpen() && context->reader.Settle() && !context->reader.Lost()) {
    context->reader.PowerDown();
  }
  context->reader.Close();
  context->settle_wake.notify_all();
  if (Tracing(kTraceCommands)) Log(kDebug, "%s: closed", context->device.c_str());
  return IFD_SUCCESS;
}

}  // namespace ttycard::pcsc
