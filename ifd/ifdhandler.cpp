// PC/SC IFD handler entry points, version 1.0, for one reader with one slot.
//
// A resource manager opens the reader by channel identifier (type 1, serial,
// in the high 16 bits; the port address in the low 16 bits), powers the card,
// reads its ATR as a capability and sends APDUs by protocol number. Link
// result codes are translated into the interface's codes here.

#include "ifdhandler.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include "blockproto.h"
#include "charproto.h"
#include "linkcmds.h"
#include "ports.h"
#include "transmit.h"

extern "C" {
struct ttycard_icc ICC {};
}

namespace {

// Legacy PC port addresses of COM1 to COM4.
constexpr std::array<std::pair<std::uint16_t, const char*>, 4> kPorts{{
    {0x3F8, "/dev/ttyS0"},
    {0x2F8, "/dev/ttyS1"},
    {0x3E8, "/dev/ttyS2"},
    {0x2E8, "/dev/ttyS3"},
}};

constexpr uint32_t kProtocolT0 = 0;
constexpr uint32_t kProtocolT1 = 1;
constexpr uint32_t kMaxCommand = 255;
constexpr uint32_t kMaxReceive = 257;

// Stores a fresh ATR, zero-filled to the record's size.
void StoreAtr(const unsigned char* atr, unsigned int length) {
  std::memset(ICC.ATR, 0, sizeof ICC.ATR);
  std::memcpy(ICC.ATR, atr, length);
  ICC.ATRLength = length;
}

// Power up or reset: `action` is Adm_PowerICC or Adm_ResetICC.
uint32_t PowerUp(int (*action)(unsigned char*, unsigned int*)) {
  std::array<unsigned char, ADM_MAX_REPLY> atr{};
  unsigned int length = 0;
  if (action(atr.data(), &length) != ADM_OK) return IFD_ERROR_POWER_ACTION;
  // No ATR is longer than 33 bytes; a longer answer is not one, and storing
  // a cut copy of it would pass off garbage as the card's identity.
  if (length > TTYCARD_ATR_SIZE) return IFD_ERROR_POWER_ACTION;
  StoreAtr(atr.data(), length);
  T1_CardReset();
  return IFD_SUCCESS;
}

uint32_t Refuse(uint32_t* rxlen, uint32_t code) {
  if (rxlen != nullptr) *rxlen = 0;
  return code;
}

}  // namespace

namespace ttycard::ifd {

const char* DeviceOfChannel(std::uint32_t channel) {
  if ((channel >> 16) != TTYCARD_CHANNEL_SERIAL) return nullptr;
  for (const auto& [port, path] : kPorts) {
    if (port == (channel & 0xFFFF)) return path;
  }
  return nullptr;
}

uint32_t Transmit(uint32_t protocol, const unsigned char* tx, uint32_t txlen, unsigned char* rx,
                  uint32_t capacity, uint32_t* rxlen) {
  if (rxlen == nullptr) return IFD_ERROR_NOT_SUPPORTED;
  if (txlen > kMaxCommand || txlen <= 3 || tx == nullptr || rx == nullptr) {
    return Refuse(rxlen, IFD_ERROR_NOT_SUPPORTED);
  }

  // The command is worked on in a copy: for T=0 a 4-byte case 1 APDU gets
  // its P3 of 0 ("no data") here, never in the caller's buffer. In T=1 a P3
  // of 0 would mean "256 bytes expected", so there the four bytes go alone.
  std::array<unsigned char, kMaxCommand + 1> apdu{};
  std::memcpy(apdu.data(), tx, txlen);
  const unsigned int length = txlen == 4 && protocol == kProtocolT0 ? 5 : txlen;

  std::array<unsigned char, T1_MAX_RESPONSE> response{};
  unsigned int response_length = capacity;
  int result = ADM_OK;
  switch (protocol) {
    case kProtocolT0:
      // The reader's frame counts the APDU plus one byte in a single length
      // byte: 255 bytes would wrap it.
      if (length > 254) return Refuse(rxlen, IFD_ERROR_NOT_SUPPORTED);
      result = T0_ExchangeData(apdu.data(), length, response.data(), &response_length);
      std::printf("Response Size %d\n", static_cast<int>(response_length));
      std::fflush(stdout);
      break;
    case kProtocolT1:
      result = T1_ExchangeData(apdu.data(), length, response.data(), &response_length);
      break;
    default:
      return Refuse(rxlen, IFD_PROTOCOL_NOT_SUPPORTED);
  }
  // The caller's buffer holds `capacity` bytes: a longer answer is not cut
  // into it, it fails.
  if (result != ADM_OK || response_length > capacity) {
    return Refuse(rxlen, IFD_COMMUNICATION_ERROR);
  }
  std::memcpy(rx, response.data(), response_length);
  *rxlen = response_length;
  return IFD_SUCCESS;
}

}  // namespace ttycard::ifd

extern "C" {

uint32_t IO_Create_Channel(uint32_t channel_id) {
  const char* device = ttycard::ifd::DeviceOfChannel(channel_id);
  if (device == nullptr) return IFD_NOT_SUPPORTED;

  char* name = strdup(device);
  const uint32_t result =
      name != nullptr && Adm_Initialize(name) == ADM_OK ? IFD_SUCCESS : IFD_COMMUNICATION_ERROR;
  std::free(name);
  return result;
}

uint32_t IO_Close_Channel(void) {
  return Adm_UnInitialize() == ADM_OK ? IFD_SUCCESS : IFD_COMMUNICATION_ERROR;
}

uint32_t IFD_Get_Capabilities(uint32_t tag, unsigned char* value) {
  switch (tag) {
    case TAG_IFD_ATR:
      if (value == nullptr) return IFD_COMMUNICATION_ERROR;
      std::memcpy(value, ICC.ATR, sizeof ICC.ATR);
      return IFD_SUCCESS;
    case TTYCARD_TAG_ACCEPTED:
      return IFD_SUCCESS;
    default:
      return IFD_ERROR_TAG;
  }
}

uint32_t IFD_Set_Capabilities(uint32_t tag, unsigned char* /*value*/) {
  // Nothing of the reader can be set from here; the ATR belongs to the card.
  return tag == TAG_IFD_ATR ? IFD_ERROR_VALUE_READ_ONLY : IFD_ERROR_TAG;
}

uint32_t IFD_Set_Protocol_Parameters(uint32_t /*protocol*/, unsigned char /*flags*/,
                                     unsigned char /*pts1*/, unsigned char /*pts2*/,
                                     unsigned char /*pts3*/) {
  // The reader offers no way to negotiate PTS with the card.
  return IFD_ERROR_PTS_FAILURE;
}

uint32_t IFD_Power_ICC(uint32_t action) {
  switch (action) {
    case IFD_POWER_UP:
      return PowerUp(Adm_PowerICC);
    case IFD_RESET:
      return PowerUp(Adm_ResetICC);
    case IFD_POWER_DOWN:
      if (Adm_UnPowerICC() != ADM_OK) return IFD_ERROR_POWER_ACTION;
      std::memset(ICC.ATR, 0, sizeof ICC.ATR);
      ICC.ATRLength = 0;
      return IFD_SUCCESS;
    default:
      return IFD_NOT_SUPPORTED;
  }
}

uint32_t IFD_Swallow_ICC(void) {
  return IFD_ERROR_NOT_SUPPORTED;
}
uint32_t IFD_Eject_ICC(void) {
  return IFD_ERROR_NOT_SUPPORTED;
}
uint32_t IFD_Confiscate_ICC(void) {
  return IFD_ERROR_NOT_SUPPORTED;
}

uint32_t IFD_Transmit_to_ICC(struct ttycard_io_header pci, const unsigned char* tx, uint32_t txlen,
                             unsigned char* rx, uint32_t* rxlen) {
  if (rxlen == nullptr) return IFD_ERROR_NOT_SUPPORTED;
  if (txlen > kMaxCommand || *rxlen > kMaxReceive) return Refuse(rxlen, IFD_ERROR_NOT_SUPPORTED);
  return ttycard::ifd::Transmit(pci.Protocol, tx, txlen, rx, *rxlen, rxlen);
}

uint32_t IFD_Is_ICC_Present(void) {
  switch (Adm_IsICCPresent()) {
    case ADM_OK:
      return IFD_ICC_PRESENT;
    case ADM_FAILURE:
      return IFD_ICC_NOT_PRESENT;
    default:
      return IFD_COMMUNICATION_ERROR;
  }
}

uint32_t IFD_Is_ICC_Absent(void) {
  return IFD_Is_ICC_Present();
}

}  // extern "C"
