// The serial ports a version 1.0 channel identifier names: channel type 1
// (serial) in the high 16 bits, the legacy PC port address of COM1 to COM4
// in the low 16 bits.
#pragma once

#include <cstdint>

namespace ttycard::ifd {

// "/dev/ttyS0" for 0x000103F8 and so on; nullptr for any other type or
// address.
const char* DeviceOfChannel(std::uint32_t channel);

}  // namespace ttycard::ifd
