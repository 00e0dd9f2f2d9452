// Internals of the version 3 adapter that its tests need to see.
#ifndef TTYCARD_PCSC_ADAPTER_H
#define TTYCARD_PCSC_ADAPTER_H

#include <chrono>
#include <cstdint>

namespace ttycard::pcsc {

// How often pcscd's event thread gets to ask for the card's presence (see
// README.md): one status exchange on the 9600-baud line per interval.
inline constexpr std::chrono::milliseconds kPollInterval{1000};

// The largest response the driver core can hand back in one exchange: the
// T=1 collection buffer (a full short answer, 256 bytes and SW1 SW2, fits).
inline constexpr std::uint32_t kMaxResponse = 272;

// The protocol agreed by the last successful IFDHSetProtocolParameters since
// the card was powered (SCARD_PROTOCOL_T0 or SCARD_PROTOCOL_T1), 0 if none.
std::uint32_t NegotiatedProtocol() noexcept;

// Card-event wait handed to pcscd (TAG_IFD_POLLING_THREAD_WITH_TIMEOUT):
// returns after kPollInterval, after `timeout_ms` if that is shorter, or as
// soon as StopCardEventWait() is called. Always IFD_SUCCESS, so that pcscd
// asks for the presence right after it.
long WaitForCardEvent(unsigned long lun, int timeout_ms) noexcept;
// TAG_IFD_STOP_POLLING_THREAD: ends the wait under way, or the next one if
// none is. Not a lasting stop: pcscd also calls it at every disconnect.
long StopCardEventWait(unsigned long lun) noexcept;
// A newly opened channel starts without a pending wake-up.
void ResetCardEventWait() noexcept;

}  // namespace ttycard::pcsc

#endif  // TTYCARD_PCSC_ADAPTER_H
