// Card-event wait for pcscd's event thread, one per reader.
//
// Without it pcscd asks for the card's presence every 400 ms, and on this
// reader every answer is a status exchange on the 9600-baud line. pcscd calls
// the wait between two presence queries instead of its own 400 ms sleep, so
// the wait sets the polling rate. It touches neither the port nor the reader:
// it only sleeps, on a lock of its own, so that transmissions never queue
// behind it.
//
// A reader that was just opened (or opened again after its device came back)
// settles for 3.4 s, and presence reads as "no card" meanwhile without a byte
// on the line. The wait then lasts until the settle time is over, so that the
// presence query right after it is the reader's first status command: the
// readers of one pcscd settle side by side, each in its own polling thread,
// while pcscd already serves clients.

#include <algorithm>

#include "adapter.h"
#include "pcsclite_api.h"

namespace ttycard::pcsc {

long WaitForCardEvent(unsigned long lun, int timeout_ms) noexcept {
  const auto context = Find(lun);
  if (context == nullptr) return IFD_SUCCESS;
  const auto now = std::chrono::steady_clock::now();
  const auto settled = context->reader.SettleDeadline();
  auto until = settled > now ? settled : now + kPollInterval;
  // pcscd shortens the wait when it has something of its own to do on time
  // (powering down a card nobody uses); a zero or negative timeout would make
  // it spin, so only a positive one is honoured.
  if (timeout_ms > 0) until = std::min(until, now + std::chrono::milliseconds(timeout_ms));
  std::unique_lock lock(context->wait_mu);
  // A wake-up asked for while no wait was under way ends this one at once:
  // pcscd asks both to end its event thread (and then joins it, which may be
  // busy with a presence query just then) and, at every disconnect, to
  // restart the wait early.
  context->wake.wait_until(lock, until, [&] { return context->wake_pending; });
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
