// Card-event wait for pcscd's event thread, one per reader.
//
// Without it pcscd asks for the card's presence every 400 ms, and on this
// reader every answer is a status exchange on the 9600-baud line. pcscd calls
// the wait between two presence queries instead of its own 400 ms sleep, so
// the wait sets the polling rate. It touches neither the port nor the reader:
// it only sleeps, on a lock of its own, so that transmissions never queue
// behind it.

#include "adapter.h"
#include "pcsclite_api.h"

namespace ttycard::pcsc {

long WaitForCardEvent(unsigned long lun, int timeout_ms) noexcept {
  auto wait = kPollInterval;
  // pcscd shortens the wait when it has something of its own to do on time
  // (powering down a card nobody uses); a zero or negative timeout would make
  // it spin, so only a positive one is honoured.
  if (timeout_ms > 0 && std::chrono::milliseconds(timeout_ms) < wait) {
    wait = std::chrono::milliseconds(timeout_ms);
  }
  const auto context = Find(lun);
  if (context == nullptr) return IFD_SUCCESS;
  std::unique_lock lock(context->wait_mu);
  // A wake-up asked for while no wait was under way ends this one at once:
  // pcscd asks both to end its event thread (and then joins it, which may be
  // busy with a presence query just then) and, at every disconnect, to
  // restart the wait early.
  context->wake.wait_for(lock, wait, [&] { return context->wake_pending; });
  context->wake_pending = false;
  return IFD_SUCCESS;
}

long StopCardEventWait(unsigned long lun) noexcept {
  const auto context = Find(lun);
  if (context == nullptr) return IFD_SUCCESS;
  {
    std::lock_guard lock(context->wait_mu);
    context->wake_pending = true;
  }
  context->wake.notify_all();
  return IFD_SUCCESS;
}

}  // namespace ttycard::pcsc
