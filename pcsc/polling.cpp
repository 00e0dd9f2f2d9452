// Card-event wait for pcscd's event thread.
//
// Without it pcscd asks for the card's presence every 400 ms, and on this
// reader every answer is a status exchange on the 9600-baud line. pcscd calls
// the wait between two presence queries instead of its own 400 ms sleep, so
// the wait sets the polling rate. It touches neither the port nor the driver
// core: it only sleeps, on a lock of its own, so that transmissions never
// queue behind it.

#include <condition_variable>
#include <mutex>

#include "adapter.h"
#include "pcsclite_api.h"

namespace ttycard::pcsc {

namespace {

std::mutex wait_mutex;
std::condition_variable wake;
// A wake-up asked for while no wait was under way: the next wait ends at
// once. pcscd asks both to end its event thread (and then joins it, which
// may be busy with a presence query just then) and, at every disconnect, to
// restart the wait early.
bool wake_pending = false;

}  // namespace

long WaitForCardEvent(unsigned long /*lun*/, int timeout_ms) noexcept {
  auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(kPollInterval);
  // pcscd shortens the wait when it has something of its own to do on time
  // (powering down a card nobody uses); a zero or negative timeout would make
  // it spin, so only a positive one is honoured.
  if (timeout_ms > 0 && std::chrono::milliseconds(timeout_ms) < wait) {
    wait = std::chrono::milliseconds(timeout_ms);
  }
  std::unique_lock lock(wait_mutex);
  wake.wait_for(lock, wait, [] { return wake_pending; });
  wake_pending = false;
  return IFD_SUCCESS;
}

long StopCardEventWait(unsigned long /*lun*/) noexcept {
  {
    std::lock_guard lock(wait_mutex);
    wake_pending = true;
  }
  wake.notify_all();
  return IFD_SUCCESS;
}

void ResetCardEventWait() noexcept {
  std::lock_guard lock(wait_mutex);
  wake_pending = false;
}

}  // namespace ttycard::pcsc
