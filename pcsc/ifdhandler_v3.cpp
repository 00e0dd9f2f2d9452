// PC/SC IFD handler entry points, version 3, as pcscd loads them, on top of
// the driver's version 1.0 entry points.
//
// One reader with one slot per process: the driver core keeps one serial
// port, one card record and one pair of T=1 sequence counters. Slot numbers
// other than 0 (the low 16 bits of a Lun) are refused; the high 16 bits are
// pcscd's reader index and are ignored. A second channel is refused while one
// is open.
//
// pcscd calls from more than one thread (its event thread asks for presence
// while a client's thread transmits), and the core is not made for that: one
// lock is held around every call into it.

#include <array>
#include <cstring>
#include <mutex>

#include "linkcmds.h"
#include "adapter.h"
#include "atr.h"
#include "pcsclite_api.h"
#include "transmit.h"

namespace ttycard::pcsc {

namespace {

std::mutex core;
bool channel_open = false;
std::uint32_t negotiated = 0;

constexpr std::uint32_t kProtocolT0 = 0;  // SendPci.Protocol numbers
constexpr std::uint32_t kProtocolT1 = 1;

bool SlotZero(DWORD lun) {
  return (lun & 0xFFFF) == 0;
}

// Runs an entry point's body; an exception can never leave it towards the
// host (it ends the process instead).
template <typename Body>
RESPONSECODE Guarded(Body&& body) noexcept {
  return body();
}

void ChannelOpened() {
  channel_open = true;
  negotiated = 0;
  ResetCardEventWait();
}

// Hands `n` bytes to a caller whose buffer holds *length bytes.
RESPONSECODE Answer(PDWORD length, PUCHAR value, const void* data, DWORD n) {
  if (*length < n) {
    *length = n;
    return IFD_ERROR_INSUFFICIENT_BUFFER;
  }
  if (n > 0 && value == nullptr) return IFD_COMMUNICATION_ERROR;
  if (n > 0) std::memcpy(value, data, n);
  *length = n;
  return IFD_SUCCESS;
}

RESPONSECODE AnswerByte(PDWORD length, PUCHAR value, unsigned char byte) {
  return Answer(length, value, &byte, 1);
}

template <typename Function>
RESPONSECODE AnswerFunction(PDWORD length, PUCHAR value, Function* function) {
  return Answer(length, value, &function, sizeof function);
}

RESPONSECODE PowerUp(DWORD action, PUCHAR atr, PDWORD atr_length) {
  const uint32_t result = IFD_Power_ICC(static_cast<uint32_t>(action));
  if (result != IFD_SUCCESS) return result;
  // The reader answers a reset without a card with an empty ATR; every card
  // has at least TS and T0, so an empty one means the power-up failed.
  if (ICC.ATRLength == 0 || ICC.ATRLength > MAX_ATR_SIZE) return IFD_ERROR_POWER_ACTION;
  if (atr != nullptr) std::memcpy(atr, ICC.ATR, ICC.ATRLength);
  *atr_length = ICC.ATRLength;
  return IFD_SUCCESS;
}

}  // namespace

std::uint32_t NegotiatedProtocol() noexcept {
  std::lock_guard lock(core);
  return negotiated;
}

}  // namespace ttycard::pcsc

using ttycard::pcsc::Guarded;

extern "C" {

RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName) {
  return Guarded([&]() -> RESPONSECODE {
    using namespace ttycard::pcsc;
    if (!SlotZero(Lun) || DeviceName == nullptr) return IFD_COMMUNICATION_ERROR;
    std::lock_guard lock(core);
    if (channel_open) return IFD_COMMUNICATION_ERROR;
    // The same opening IO_Create_Channel does, for a device given by name.
    if (Adm_Initialize(DeviceName) != ADM_OK) return IFD_COMMUNICATION_ERROR;
    ChannelOpened();
    return IFD_SUCCESS;
  });
}

RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD Channel) {
  return Guarded([&]() -> RESPONSECODE {
    using namespace ttycard::pcsc;
    if (!SlotZero(Lun)) return IFD_COMMUNICATION_ERROR;
    if (Channel > 0xFFFFFFFFu) return IFD_NOT_SUPPORTED;
    std::lock_guard lock(core);
    if (channel_open) return IFD_COMMUNICATION_ERROR;
    const uint32_t result = IO_Create_Channel(static_cast<uint32_t>(Channel));
    if (result == IFD_SUCCESS) ChannelOpened();
    return result;
  });
}

RESPONSECODE IFDHCloseChannel(DWORD Lun) {
  return Guarded([&]() -> RESPONSECODE {
    using namespace ttycard::pcsc;
    if (!SlotZero(Lun)) return IFD_COMMUNICATION_ERROR;
    std::lock_guard lock(core);
    // A card left powered keeps whatever state a session gave it (a PIN
    // verified, a file selected): take its power away before letting go of
    // the reader, whether or not the host did.
    if (channel_open) IFD_Power_ICC(IFD_POWER_DOWN);
    channel_open = false;
    negotiated = 0;
    return IO_Close_Channel();
  });
}

RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length, PUCHAR Value) {
  return Guarded([&]() -> RESPONSECODE {
    using namespace ttycard::pcsc;
    if (!SlotZero(Lun) || Length == nullptr) return IFD_COMMUNICATION_ERROR;
    switch (Tag) {
      case TAG_IFD_ATR:
      case SCARD_ATTR_ATR_STRING: {
        std::lock_guard lock(core);
        std::array<unsigned char, TTYCARD_ATR_SIZE> atr{};
        const uint32_t result = IFD_Get_Capabilities(TAG_IFD_ATR, atr.data());
        if (result != IFD_SUCCESS) return result;
        return Answer(Length, Value, atr.data(), ICC.ATRLength);
      }
      case TAG_IFD_SLOTS_NUMBER:
      case TAG_IFD_SIMULTANEOUS_ACCESS:
        return AnswerByte(Length, Value, 1);
      case TAG_IFD_POLLING_THREAD_WITH_TIMEOUT:
        return AnswerFunction(Length, Value, &WaitForCardEvent);
      case TAG_IFD_STOP_POLLING_THREAD:
        return AnswerFunction(Length, Value, &StopCardEventWait);
      default:
        return IFD_ERROR_TAG;
    }
  });
}

RESPONSECODE IFDHSetCapabilities(DWORD Lun, DWORD Tag, DWORD /*Length*/, PUCHAR Value) {
  return Guarded([&]() -> RESPONSECODE {
    using namespace ttycard::pcsc;
    if (!SlotZero(Lun)) return IFD_COMMUNICATION_ERROR;
    if (Tag > 0xFFFFFFFFu) return IFD_ERROR_TAG;
    std::lock_guard lock(core);
    return IFD_Set_Capabilities(static_cast<uint32_t>(Tag), Value);
  });
}

RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol, UCHAR /*Flags*/, UCHAR /*PTS1*/,
                                       UCHAR /*PTS2*/, UCHAR /*PTS3*/) {
  return Guarded([&]() -> RESPONSECODE {
    using namespace ttycard::pcsc;
    if (!SlotZero(Lun)) return IFD_COMMUNICATION_ERROR;
    // The reader cannot send a PPS to the card, so nothing is negotiated on
    // the wire and the card keeps its default rates. What can be answered is
    // whether the card speaks the protocol at all, which its ATR says. The
    // core's own answer (a PTS failure, always) is not passed on: pcscd takes
    // that for a card that does not respond.
    std::lock_guard lock(core);
    const DWORD wanted =
        Protocol & AtrProtocols(ICC.ATR, ICC.ATRLength) & (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
    if (wanted == 0) return IFD_NOT_SUPPORTED;
    negotiated = (wanted & SCARD_PROTOCOL_T1) != 0 ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0;
    return IFD_SUCCESS;
  });
}

RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr, PDWORD AtrLength) {
  return Guarded([&]() -> RESPONSECODE {
    using namespace ttycard::pcsc;
    DWORD unused = 0;
    if (AtrLength == nullptr) AtrLength = &unused;
    *AtrLength = 0;
    if (!SlotZero(Lun)) return IFD_COMMUNICATION_ERROR;
    std::lock_guard lock(core);
    negotiated = 0;  // every power action starts a new card session
    switch (Action) {
      case IFD_POWER_UP:
      case IFD_RESET:
        // Atr holds MAX_ATR_SIZE bytes, the most an ATR can have.
        return PowerUp(Action, Atr, AtrLength);
      case IFD_POWER_DOWN:
        return IFD_Power_ICC(IFD_POWER_DOWN);
      default:
        return IFD_NOT_SUPPORTED;
    }
  });
}

RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER SendPci, PUCHAR TxBuffer, DWORD TxLength,
                               PUCHAR RxBuffer, PDWORD RxLength, PSCARD_IO_HEADER RecvPci) {
  return Guarded([&]() -> RESPONSECODE {
    using namespace ttycard::pcsc;
    if (RxLength == nullptr) return IFD_COMMUNICATION_ERROR;
    const DWORD capacity = *RxLength;
    *RxLength = 0;
    if (!SlotZero(Lun)) return IFD_COMMUNICATION_ERROR;
    if (SendPci.Protocol != kProtocolT0 && SendPci.Protocol != kProtocolT1) {
      return IFD_PROTOCOL_NOT_SUPPORTED;
    }
    if (TxLength > 0xFFFFFFFFu) return IFD_ERROR_NOT_SUPPORTED;
    std::lock_guard lock(core);
    // Once a protocol is agreed for this card session, T=1 blocks must not
    // reach a T=0 card and T=0 commands not a T=1 card.
    const std::uint32_t pci_mask =
        SendPci.Protocol == kProtocolT1 ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0;
    if (negotiated != 0 && negotiated != pci_mask) return IFD_PROTOCOL_NOT_SUPPORTED;

    // The shared transmit path never writes more than the capacity it is
    // given and returns at most kMaxResponse bytes; a larger buffer is only
    // partly needed. (The 1.0 entry point would refuse capacities above 257,
    // one short of 256 data bytes and SW1 SW2.)
    const uint32_t room = capacity < kMaxResponse ? static_cast<uint32_t>(capacity) : kMaxResponse;
    uint32_t received = 0;
    const uint32_t result =
        ttycard::ifd::Transmit(static_cast<uint32_t>(SendPci.Protocol), TxBuffer,
                               static_cast<uint32_t>(TxLength), RxBuffer, room, &received);
    if (result != IFD_SUCCESS) return result;
    *RxLength = received;
    if (RecvPci != nullptr) RecvPci->Protocol = SendPci.Protocol;
    return IFD_SUCCESS;
  });
}

RESPONSECODE IFDHICCPresence(DWORD Lun) {
  return Guarded([&]() -> RESPONSECODE {
    using namespace ttycard::pcsc;
    if (!SlotZero(Lun)) return IFD_COMMUNICATION_ERROR;
    std::lock_guard lock(core);
    // 615 present, 616 absent, 612 when the reader did not answer properly.
    return IFD_Is_ICC_Present();
  });
}

RESPONSECODE IFDHControl(DWORD /*Lun*/, DWORD /*dwControlCode*/, PUCHAR /*TxBuffer*/,
                         DWORD /*TxLength*/, PUCHAR /*RxBuffer*/, DWORD /*RxLength*/,
                         LPDWORD pdwBytesReturned) {
  return Guarded([&]() -> RESPONSECODE {
    // The reader has no commands of its own for applications.
    if (pdwBytesReturned != nullptr) *pdwBytesReturned = 0;
    return IFD_ERROR_NOT_SUPPORTED;
  });
}

}  // extern "C"
