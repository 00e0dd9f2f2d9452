// The two faces of the driver in one translation unit.
//
// pcsc-lite's <ifdhandler.h> (version 3 of the IFD handler interface) comes
// first: it declares SCARD_IO_HEADER with DWORD members, and the driver's own
// version 1.0 header, included after it, then keeps its 32-bit I/O header
// under the tag `struct ttycard_io_header` only. Result codes and tags have
// the same values in both, so neither header redefines the other's macros.
//
// pcsc-lite's header has no C++ guard of its own. Its declarations are given
// default visibility here so that the adapter, built with hidden visibility,
// exports exactly the version 3 entry points it defines.
#ifndef TTYCARD_PCSC_PCSCLITE_API_H
#define TTYCARD_PCSC_PCSCLITE_API_H

#pragma GCC visibility push(default)
extern "C" {
#include <PCSC/ifdhandler.h>  // by folder: the driver's own header has that name
#include <PCSC/reader.h>      // by folder: the emulator has a reader.h of its own
}
#pragma GCC visibility pop

#include "ifdhandler.h"

#endif  // TTYCARD_PCSC_PCSCLITE_API_H
