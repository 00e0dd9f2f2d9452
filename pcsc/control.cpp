// IFDHControl: the PC/SC part 10 feature request and the reader's
// properties (FEATURE_GET_TLV_PROPERTIES); every other control code is not
// supported. The reader has no PIN pad and no display.
//
//   CM_IOCTL_GET_FEATURE_REQUEST -> tag 0x12, length 4, the control code of
//                                   FEATURE_GET_TLV_PROPERTIES (big endian)
//   that control code            -> tag, length, value (little endian):
//       wLcdLayout 0, bPPDUSupport 0, dwMaxAPDUDataSize (the T=0 frame's
//       while the card runs T=0), sFirmwareID

#include <array>
#include <cstring>
#include <string_view>

#include "adapter.h"
#include "pcsclite_api.h"

namespace ttycard::pcsc {
namespace {

// Control codes of features: SCARD_CTL_CODE(0x330000 + feature), the same
// numbering other drivers use, so clients that hard-code it find ours.
constexpr unsigned long kClass2IoctlMagic = 0x330000;
constexpr unsigned long kIoctlTlvProperties =
    SCARD_CTL_CODE(FEATURE_GET_TLV_PROPERTIES + kClass2IoctlMagic);

struct Buffer {
  std::array<unsigned char, 64> bytes{};
  std::size_t size = 0;
  void Put(unsigned char b) { bytes[size++] = b; }
  void Tlv(unsigned char tag, std::uint32_t value, unsigned char width) {
    Put(tag);
    Put(width);
    for (unsigned char i = 0; i < width; ++i) Put(static_cast<unsigned char>(value >> (8 * i)));
  }
};

long Reply(const Buffer& b, unsigned char* rx, unsigned long rxlen, unsigned long* returned) {
  if (rx == nullptr || rxlen < b.size) return IFD_ERROR_INSUFFICIENT_BUFFER;
  std::memcpy(rx, b.bytes.data(), b.size);
  *returned = b.size;
  return IFD_SUCCESS;
}

}  // namespace

long Control(Context& context, unsigned long code, const unsigned char* /*tx*/,
             unsigned long /*txlen*/, unsigned char* rx, unsigned long rxlen,
             unsigned long* returned) {
  *returned = 0;
  Buffer b;
  if (code == CM_IOCTL_GET_FEATURE_REQUEST) {
    b.Put(FEATURE_GET_TLV_PROPERTIES);
    b.Put(4);
    for (int shift = 24; shift >= 0; shift -= 8) {
      b.Put(static_cast<unsigned char>(kIoctlTlvProperties >> shift));
    }
    return Reply(b, rx, rxlen, returned);
  }
  if (code == kIoctlTlvProperties) {
    std::uint32_t max_data = kMaxApduDataT1;
    {
      std::lock_guard lock(context.mu);
      if (context.reader.Protocol() == ifd::kRunsT0) max_data = t0::kMaxData;
    }
    b.Tlv(PCSCv2_PART10_PROPERTY_wLcdLayout, 0, 2);
    b.Tlv(PCSCv2_PART10_PROPERTY_bPPDUSupport, 0, 1);
    b.Tlv(PCSCv2_PART10_PROPERTY_dwMaxAPDUDataSize, max_data, 4);
    constexpr std::string_view kFirmware = "ttycard " TTYCARD_VERSION;
    b.Put(PCSCv2_PART10_PROPERTY_sFirmwareID);
    b.Put(static_cast<unsigned char>(kFirmware.size()));
    for (const char c : kFirmware) b.Put(static_cast<unsigned char>(c));
    return Reply(b, rx, rxlen, returned);
  }
  return IFD_ERROR_NOT_SUPPORTED;
}

}  // namespace ttycard::pcsc
