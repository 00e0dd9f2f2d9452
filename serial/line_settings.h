// The termios record the serial module applies to the reader's line, built
// apart from the device so that it can be checked flag by flag: a
// pseudo-terminal drops parity and forces 8-bit characters once applied.
#pragma once

#include <termios.h>

namespace ttycard::serial {

// Fills `out` (from an all-zero record) for the given speed (9600 ... 230400),
// data bits (5 to 8) and parity letter ('N', 'E', 'O'; only the low byte of
// `parity` counts). Returns false, leaving `out` unspecified, for any value
// the reader's line cannot take.
bool BuildLineSettings(int speed, int bits, int parity, termios& out);

}  // namespace ttycard::serial
