// The reader's capabilities and attributes (IFDHGetCapabilities), in the
// encodings pcsc-lite documents: strings with their terminating NUL, DWORD
// values as 32-bit little-endian numbers, single bytes where the attribute
// is "a single byte". A caller's buffer that is too short gets
// IFD_ERROR_INSUFFICIENT_BUFFER and the length it needs.

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <array>
#include <cstring>
#include <string_view>

#include "adapter.h"
#include "atr.h"
#include "log.h"
#include "pcsclite_api.h"

namespace ttycard::pcsc {
namespace {

constexpr std::uint32_t kSerialChannel = 0x0001;

long Answer(unsigned long* length, unsigned char* value, const void* data, unsigned long n) {
  if (*length < n) {
    *length = n;
    return IFD_ERROR_INSUFFICIENT_BUFFER;
  }
  if (n > 0 && value == nullptr) return IFD_COMMUNICATION_ERROR;
  if (n > 0) std::memcpy(value, data, n);
  *length = n;
  return IFD_SUCCESS;
}

long AnswerByte(unsigned long* length, unsigned char* value, unsigned char byte) {
  return Answer(length, value, &byte, 1);
}

long AnswerDword(unsigned long* length, unsigned char* value, std::uint32_t dword) {
  const std::array<unsigned char, 4> le{
      static_cast<unsigned char>(dword), static_cast<unsigned char>(dword >> 8),
      static_cast<unsigned char>(dword >> 16), static_cast<unsigned char>(dword >> 24)};
  return Answer(length, value, le.data(), le.size());
}

long AnswerString(unsigned long* length, unsigned char* value, std::string_view text) {
  std::array<char, 256> z{};
  const std::size_t n = std::min(text.size(), z.size() - 1);
  std::memcpy(z.data(), text.data(), n);
  return Answer(length, value, z.data(), n + 1);
}

template <typename Function>
long AnswerFunction(unsigned long* length, unsigned char* value, Function* function) {
  return Answer(length, value, &function, sizeof function);
}

// 0x0001PPPP: a serial line, at I/O port PPPP when the port is a real UART
// (the kernel knows its address) or was named by its address.
std::uint32_t ChannelId(const Context& context) {
  serial_struct info{};
  const int fd = context.reader.Handle();
  if (fd >= 0 && ioctl(fd, TIOCGSERIAL, &info) == 0 && info.port != 0) {
    return kSerialChannel << 16 | (info.port & 0xFFFF);
  }
  if ((context.channel_id >> 16) == kSerialChannel) return context.channel_id;
  return kSerialChannel << 16;
}

}  // namespace

long GetCapability(Context& context, unsigned long tag, unsigned long* length,
                   unsigned char* value) {
  std::lock_guard lock(context.mu);
  ifd::Reader& reader = context.reader;
  const auto atr = reader.Atr();
  const atr::Info info = atr::Parse(atr.data(), atr.size());
  // Sizes follow the protocol the card runs (there is no other in use).
  const std::uint32_t runs = reader.Protocol();
  const bool t1 = runs == ifd::kRunsT1;
  switch (tag) {
    case TAG_IFD_ATR:
    case SCARD_ATTR_ATR_STRING:
      return Answer(length, value, atr.data(), atr.size());
    case TAG_IFD_SLOTS_NUMBER:
      return AnswerByte(length, value, 1);
    case TAG_IFD_SIMULTANEOUS_ACCESS:
      return AnswerByte(length, value, kMaxReaders);
    case TAG_IFD_THREAD_SAFE:
      return AnswerByte(length, value, 1);  // each reader has its own lock
    case TAG_IFD_SLOT_THREAD_SAFE:
      return AnswerByte(length, value, 0);  // one slot
    case TAG_IFD_POLLING_THREAD_WITH_TIMEOUT:
      return AnswerFunction(length, value, &WaitForCardEvent);
    case TAG_IFD_STOP_POLLING_THREAD:
      return AnswerFunction(length, value, &StopCardEventWait);
    case SCARD_ATTR_VENDOR_NAME:
      return AnswerString(length, value, "ttycard");
    case SCARD_ATTR_VENDOR_IFD_TYPE:
      return AnswerString(length, value, "ttycard serial smart-card reader");
    case SCARD_ATTR_VENDOR_IFD_VERSION:
      return AnswerDword(
          length, value,
          TTYCARD_VERSION_MAJOR << 24 | TTYCARD_VERSION_MINOR << 16 | TTYCARD_VERSION_PATCH);
    case SCARD_ATTR_VENDOR_IFD_SERIAL_NO:
      // The reader reports no serial number of its own; the line it hangs
      // on is what tells it apart on this machine.
      return AnswerString(length, value, context.device);
    case SCARD_ATTR_CHANNEL_ID:
      return AnswerDword(length, value, ChannelId(context));
    case SCARD_ATTR_MAXINPUT:
      return AnswerDword(length, value,
                         t1 ? static_cast<std::uint32_t>(ifd::kMaxCommand)
                            : static_cast<std::uint32_t>(t0::kMaxCommand));
    case SCARD_ATTR_MAX_IFSD:
      return AnswerDword(length, value, ifd::kIfsd);
    case SCARD_ATTR_CURRENT_IFSC:
      return AnswerDword(length, value, t1 ? reader.T1().ifsc : 0);
    case SCARD_ATTR_CURRENT_IFSD:
      return AnswerDword(length, value, t1 ? reader.T1().ifsd : 0);
    case SCARD_ATTR_CURRENT_PROTOCOL_TYPE:
      return AnswerDword(length, value, runs);
    case SCARD_ATTR_DEFAULT_CLK:
      return AnswerDword(length, value, info.fmax_khz);
    case SCARD_ATTR_DEFAULT_DATA_RATE: {
      // The reader cannot negotiate (no PPS): the card works at F = 372,
      // D = 1, or at the ATR's Fi/Di when TA2 says it starts in that mode.
      const std::uint32_t f = info.specific_mode ? info.fi : 372;
      const std::uint32_t d = info.specific_mode ? info.di : 1;
      return AnswerDword(length, value, info.fmax_khz * 1000 * d / f);
    }
    case SCARD_ATTR_ICC_PRESENCE: {
      if (!context.Available()) return IFD_NO_SUCH_DEVICE;
      const std::uint32_t presence = reader.Presence();
      context.CheckLost();
      if (presence == IFD_COMMUNICATION_ERROR) return IFD_COMMUNICATION_ERROR;
      return AnswerByte(length, value, presence == IFD_ICC_PRESENT ? 2 : 0);
    }
    case SCARD_ATTR_ICC_INTERFACE_STATUS:
      return AnswerByte(length, value, atr.empty() ? 0 : 1);
    default:
      return IFD_ERROR_TAG;
  }
}

}  // namespace ttycard::pcsc
