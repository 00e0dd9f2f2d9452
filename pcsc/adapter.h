// Internals of the PC/SC adapter that its parts and tests share.
#ifndef TTYCARD_PCSC_ADAPTER_H
#define TTYCARD_PCSC_ADAPTER_H

#include <chrono>
#include <cstdint>

#include "context.h"

#ifndef TTYCARD_VERSION
#define TTYCARD_VERSION "1.1.0"
#endif
#ifndef TTYCARD_VERSION_MAJOR
#define TTYCARD_VERSION_MAJOR 1
#define TTYCARD_VERSION_MINOR 1
#define TTYCARD_VERSION_PATCH 0
#endif

namespace ttycard::pcsc {

// How often pcscd's event thread gets to ask for the card's presence (see
// README.md): one status exchange on the 9600-baud line per interval.
inline constexpr std::chrono::milliseconds kPollInterval{1000};

// Card-event wait handed to pcscd (TAG_IFD_POLLING_THREAD_WITH_TIMEOUT):
// returns after kPollInterval (at the end of the settle time while the reader
// settles), after `timeout_ms` if that is shorter, or as soon as
// StopCardEventWait() is called for the same Lun. Always
// IFD_SUCCESS, so that pcscd asks for the presence right after it.
long WaitForCardEvent(unsigned long lun, int timeout_ms) noexcept;
// TAG_IFD_STOP_POLLING_THREAD: ends the wait under way, or the next one if
// none is. Not a lasting stop: pcscd also calls it at every disconnect.
long StopCardEventWait(unsigned long lun) noexcept;

// IFDHGetCapabilities for one reader (attributes.cpp), with `context->mu`
// not held.
long GetCapability(Context& context, unsigned long tag, unsigned long* length,
                   unsigned char* value);
// IFDHControl (control.cpp).
long Control(Context& context, unsigned long code, const unsigned char* tx, unsigned long txlen,
             unsigned char* rx, unsigned long rxlen, unsigned long* returned);

// The largest APDU data field the library passes in T=1 (an extended Lc);
// T=0's is its frame's (t0::kMaxData).
inline constexpr std::uint32_t kMaxApduDataT1 = 65535;

}  // namespace ttycard::pcsc

#endif  // TTYCARD_PCSC_ADAPTER_H
