// PC/SC IFD handler entry points, version 1.0, for one reader with one slot.
//
// A resource manager opens the reader by channel identifier (type 1, serial,
// in the high 16 bits; the port address in the low 16 bits), powers the card,
// reads its ATR as a capability and sends APDUs by protocol number. Link
// result codes are translated into the interface's codes here.

#include "ifdhandler.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <utility>

#include "atr.h"
#include "blockproto.h"
#include "channel.h"
#include "linkcmds.h"
#include "ports.h"
#include "transmit.h"

extern "C" {
struct ttycard_icc ICC {};
}

namespace {

using ttycard::ifd::kProtocolT0;

// Legacy PC port addresses of COM1 to COM4.
constexpr std::array<std::pair<std::uint16_t, const char*>, 4> kPorts{{
    {0x3F8, "/dev/ttyS0"},
    {0x2F8, "/dev/ttyS1"},
    {0x3E8, "/dev/ttyS2"},
    {0x2E8, "/dev/ttyS3"},
}};

constexpr uint32_t kMaxCommand = 255;
constexpr uint32_t kMaxReceive = 257;
// The receive buffer a caller hands over holds a whole reply of the reader
// for T=0 and the collected T=1 response, whatever receive length it states.
constexpr std::size_t kReceiveT0 = ADM_MAX_REPLY;
constexpr std::size_t kReceiveT1 = T1_MAX_RESPONSE;

static_assert(sizeof ICC.ATR == ttycard::atr::kMaxLength);

// The process's one reader, through the Adm_ functions.
ttycard::proto::AdmChannel g_channel;

// Power up or reset: `action` is Adm_PowerICC or Adm_ResetICC. The reader's
// empty answer (an empty slot) is stored as it comes.
uint32_t PowerUp(int (*action)(unsigned char*, unsigned int*)) {
  std::array<unsigned char, ADM_MAX_REPLY> atr{};
  unsigned int length = 0;
  if (action(atr.data(), &length) != ADM_OK) return IFD_ERROR_POWER_ACTION;
  std::size_t stored = 0;
  const bool taken = ttycard::atr::Take({atr.data(), std::min<std::size_t>(length, atr.size())},
                                        true, std::span(ICC.ATR), &stored,
                                        [](const ttycard::atr::Info&) { T1_CardReset(); });
  if (!taken) return IFD_ERROR_POWER_ACTION;
  ICC.ATRLength = static_cast<uint32_t>(stored);
  return IFD_SUCCESS;
}

uint32_t Refuse(uint32_t* rxlen, uint32_t code) {
  if (rxlen != nullptr) *rxlen = 0;
  return code;
}

// The T=1 exchange of this road: the process's numbering, 20-byte chunks.
int ExchangeT1(std::span<const unsigned char> apdu, std::span<unsigned char> out,
               std::size_t* outlen) {
  unsigned int length = 0;
  const int result =
      T1_ExchangeData(apdu.data(), static_cast<unsigned int>(apdu.size()), out.data(), &length);
  *outlen = length;
  return result;
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
  // The incoming receive length is only checked against 257: it does not
  // size the receive buffer, which holds kReceiveT0 or kReceiveT1 bytes.
  if (txlen > kMaxCommand || *rxlen > kMaxReceive || txlen < ttycard::ifd::kMinCommand ||
      tx == nullptr || rx == nullptr) {
    return Refuse(rxlen, IFD_ERROR_NOT_SUPPORTED);
  }
  const uint32_t incoming = *rxlen;
  const std::size_t room = pci.Protocol == kProtocolT0 ? kReceiveT0 : kReceiveT1;
  std::size_t length = 0;
  const uint32_t result = ttycard::ifd::Send(g_channel, ttycard::t0::kBlockTime, ExchangeT1,
                                             pci.Protocol, {tx, txlen}, {rx, room}, &length);
  if (pci.Protocol == kProtocolT0) {
    // The response size, or the caller's receive length after a failure.
    std::printf("Response Size %d\n", static_cast<int>(result == IFD_SUCCESS ? length : incoming));
    std::fflush(stdout);
  }
  if (result != IFD_SUCCESS) return Refuse(rxlen, result);
  *rxlen = static_cast<uint32_t>(length);
  return IFD_SUCCESS;
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
