// PC/SC IFD handler entry points, version 3, as pcscd loads them.
//
// Every reader entry of pcscd (every Lun) is a reader of its own: its own
// serial line, card record, T=1 numbering and sizes, agreed protocol and
// polling state (context.h), driven through the same serial, link and
// protocol code as the version 1.0 entry points. Calls for one reader run one
// at a time under its lock; different readers run side by side.
//
// Opening a reader configures its port and returns at once; the reader
// settles (3.4 s) on its own time, and presence reads as "no card" without a
// byte on the line until it has (see polling.cpp).
//
// A reader whose device goes away (hang-up, I/O error) reads as an empty
// slot to presence queries, quietly: pcscd logs every other presence answer
// twice per poll. Power actions and exchanges answer IFD_NO_SUCH_DEVICE.
// Each presence query after a few seconds tries to open the device again by
// its name; once it is back and settled, pcscd sees a card arrive and powers
// it up as usual.

#include <cstring>
#include <exception>
#include <new>

#include "adapter.h"
#include "log.h"
#include "pcsclite_api.h"
#include "ports.h"

namespace ttycard::pcsc {
namespace {

constexpr DWORD kProtocolT1 = 1;  // SendPci.Protocol number

// Runs an entry point's body. Nothing may end pcscd, which serves every other
// reader too: an exception (an allocation that failed, a lock the system
// refused) becomes a communication error and a line in the log, which itself
// neither allocates nor throws.
template <typename Body>
RESPONSECODE Guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    Log(kError, "out of memory: the call failed");
  } catch (const std::exception& e) {
    Log(kError, "the call failed: %s", e.what());
  } catch (...) {
    Log(kError, "the call failed");
  }
  return IFD_COMMUNICATION_ERROR;
}

const char* Running(std::uint32_t runs) {
  return runs == ttycard::ifd::kRunsT1   ? "T=1"
         : runs == ttycard::ifd::kRunsT0 ? "T=0"
                                         : "no protocol this driver can run";
}

const char* ActionName(DWORD action) {
  return action == IFD_POWER_UP ? "power up" : action == IFD_RESET ? "reset" : "power down";
}

}  // namespace
}  // namespace ttycard::pcsc

using ttycard::pcsc::Guarded;

extern "C" {

RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName) {
  return Guarded([&]() -> RESPONSECODE { return ttycard::pcsc::OpenContext(Lun, DeviceName, 0); });
}

RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD Channel) {
  return Guarded([&]() -> RESPONSECODE {
    using namespace ttycard::pcsc;
    const char* device = ttycard::ifd::DeviceOfChannel(static_cast<std::uint32_t>(Channel));
    if (device == nullptr) {
      Log(kError, "channel 0x%lX: not a serial port address this driver knows", Channel);
      return IFD_NOT_SUPPORTED;
    }
    return OpenContext(Lun, device, static_cast<std::uint32_t>(Channel));
  });
}

RESPONSECODE IFDHCloseChannel(DWORD Lun) {
  return Guarded([&]() -> RESPONSECODE { return ttycard::pcsc::CloseContext(Lun); });
}

RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length, PUCHAR Value) {
  return Guarded([&]() -> RESPONSECODE {
    using namespace ttycard::pcsc;
    const auto context = Find(Lun);
    if (context == nullptr || Length == nullptr) return IFD_COMMUNICATION_ERROR;
    return GetCapability(*context, Tag, Length, Value);
  });
}

RESPONSECODE IFDHSetCapabilities(DWORD Lun, DWORD Tag, DWORD /*Length*/, PUCHAR /*Value*/) {
  return Guarded([&]() -> RESPONSECODE {
    if (ttycard::pcsc::Find(Lun) == nullptr) return IFD_COMMUNICATION_ERROR;
    // Nothing of the reader can be set from here; the ATR belongs to the card.
    return Tag == TAG_IFD_ATR || Tag == SCARD_ATTR_ATR_STRING ? IFD_ERROR_VALUE_READ_ONLY
                                                              : IFD_ERROR_TAG;
  });
}

RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol, UCHAR /*Flags*/, UCHAR /*PTS1*/,
                                       UCHAR /*PTS2*/, UCHAR /*PTS3*/) {
  return Guarded([&]() -> RESPONSECODE {
    using namespace ttycard::pcsc;
    const auto context = Find(Lun);
    if (context == nullptr) return IFD_COMMUNICATION_ERROR;
    // The reader cannot send a PPS to the card, so nothing is negotiated on
    // the wire: the card runs the protocol its ATR sets, and that is the only
    // one that can be agreed. pcscd takes 607 as "use the card's default
    // protocol", which is the one the card runs.
    std::lock_guard lock(context->mu);
    const std::uint32_t runs = context->reader.Protocol();
    if ((Protocol & runs) == 0) {
      Log(kInfo, "%s: protocol 0x%lX asked for, but the card runs %s", context->device.c_str(),
          Protocol, Running(runs));
      return IFD_PROTOCOL_NOT_SUPPORTED;
    }
    if (Tracing(kTraceCommands)) {
      Log(kDebug, "%s: protocol %s", context->device.c_str(), Running(runs));
    }
    return IFD_SUCCESS;
  });
}

RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr, PDWORD AtrLength) {
  return Guarded([&]() -> RESPONSECODE {
    using namespace ttycard::pcsc;
    DWORD unused = 0;
    if (AtrLength == nullptr) AtrLength = &unused;
    const DWORD room = *AtrLength;
    *AtrLength = 0;
    const auto context = Find(Lun);
    if (context == nullptr) return IFD_COMMUNICATION_ERROR;
    if (Action != IFD_POWER_UP && Action != IFD_RESET && Action != IFD_POWER_DOWN) {
      return IFD_NOT_SUPPORTED;
    }
    std::lock_guard lock(context->mu);
    if (!context->Available()) return IFD_NO_SUCH_DEVICE;
    const std::uint32_t result = Action == IFD_POWER_DOWN
                                     ? context->reader.PowerDown()
                                     : context->reader.PowerUp(Action == IFD_RESET);
    context->CheckLost();
    if (context->gone) return IFD_NO_SUCH_DEVICE;
    if (result != IFD_SUCCESS) {
      Log(kError, "%s: %s failed", context->device.c_str(), ActionName(Action));
      return result;
    }
    const auto atr = context->reader.Atr();
    if (Tracing(kTraceCommands)) {
      LogBytes(kDebug, Action == IFD_POWER_DOWN ? "power down, ATR" : "ATR", atr);
    }
    if (Action == IFD_POWER_DOWN) return IFD_SUCCESS;
    // pcscd's buffer holds MAX_ATR_SIZE bytes, the most an ATR can have. A
    // caller whose buffer cannot take the ATR is not told of a powered card
    // it knows nothing about: the card is powered down again and the call
    // fails, as pcsc-lite says a short buffer fails.
    if (Atr == nullptr || room < atr.size()) {
      Log(kError, "%s: the ATR (%zu bytes) does not fit the caller's %lu-byte buffer",
          context->device.c_str(), atr.size(), Atr == nullptr ? 0ul : room);
      context->reader.PowerDown();
      context->CheckLost();
      return IFD_ERROR_INSUFFICIENT_BUFFER;
    }
    std::memcpy(Atr, atr.data(), atr.size());
    *AtrLength = atr.size();
    return IFD_SUCCESS;
  });
}

RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER SendPci, PUCHAR TxBuffer, DWORD TxLength,
                               PUCHAR RxBuffer, PDWORD RxLength, PSCARD_IO_HEADER RecvPci) {
  return Guarded([&]() -> RESPONSECODE {
    using namespace ttycard::pcsc;
    if (RxLength == nullptr) return IFD_COMMUNICATION_ERROR;
    const DWORD capacity = *RxLength;
    *RxLength = 0;
    const auto context = Find(Lun);
    if (context == nullptr) return IFD_COMMUNICATION_ERROR;
    std::lock_guard lock(context->mu);
    if (!context->Available()) return IFD_NO_SUCH_DEVICE;
    const bool apdu_trace = Tracing(kTraceApdu);
    if (apdu_trace && TxBuffer != nullptr) {
      LogBytes(kDebug, SendPci.Protocol == kProtocolT1 ? "T=1 APDU ->" : "T=0 APDU ->",
               {TxBuffer, TxLength});
    }
    // T=1 blocks never reach a card that runs T=0, nor T=0 commands one that
    // runs T=1 (Reader::Transmit).
    std::size_t received = 0;
    const std::size_t room = std::min<std::size_t>(capacity, ttycard::ifd::kMaxResponse);
    const std::uint32_t result =
        context->reader.Transmit(static_cast<std::uint32_t>(SendPci.Protocol), {TxBuffer, TxLength},
                                 RxBuffer, room, &received);
    context->CheckLost();
    if (context->gone) return IFD_NO_SUCH_DEVICE;
    if (result != IFD_SUCCESS) {
      Log(kError, "%s: T=%lu exchange of a %lu-byte APDU failed (%u)", context->device.c_str(),
          SendPci.Protocol, TxLength, result);
      return result;
    }
    if (apdu_trace) LogBytes(kDebug, "   <-", {RxBuffer, received});
    *RxLength = received;
    if (RecvPci != nullptr) RecvPci->Protocol = SendPci.Protocol;
    return IFD_SUCCESS;
  });
}

RESPONSECODE IFDHICCPresence(DWORD Lun) {
  return Guarded([&]() -> RESPONSECODE {
    using namespace ttycard::pcsc;
    const auto context = Find(Lun);
    if (context == nullptr) return IFD_COMMUNICATION_ERROR;
    std::lock_guard lock(context->mu);
    // 615 present, 616 absent, also while the reader settles, while its
    // device is away and while it does not answer. pcscd logs two error
    // lines for every other answer, every second: a reader switched off
    // would flood its log. Its card is gone for the host either way (pcscd
    // powers it up afresh once it is back), so the slot reads as empty and
    // the driver says so once. A silent reader is asked once per poll, not
    // three times, so that its lock is not held for three block times.
    if (!context->Available(Context::Settling::kAnswerNow)) return IFD_ICC_NOT_PRESENT;
    const std::uint32_t result =
        context->reader.Presence(context->silent ? 1 : ttycard::ifd::Reader::kCommandTries);
    context->CheckLost();
    if (context->gone) return IFD_ICC_NOT_PRESENT;
    if (result == IFD_COMMUNICATION_ERROR) {
      context->Unanswered();
      return IFD_ICC_NOT_PRESENT;
    }
    if (!context->reader.Settling()) context->Answered();
    return result;
  });
}

RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR TxBuffer, DWORD TxLength,
                         PUCHAR RxBuffer, DWORD RxLength, LPDWORD pdwBytesReturned) {
  return Guarded([&]() -> RESPONSECODE {
    using namespace ttycard::pcsc;
    DWORD unused = 0;
    if (pdwBytesReturned == nullptr) pdwBytesReturned = &unused;
    *pdwBytesReturned = 0;
    const auto context = Find(Lun);
    if (context == nullptr) return IFD_COMMUNICATION_ERROR;
    return Control(*context, dwControlCode, TxBuffer, TxLength, RxBuffer, RxLength,
                   pdwBytesReturned);
  });
}

}  // extern "C"
