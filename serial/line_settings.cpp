#include "line_settings.h"

#include <array>
#include <cstring>
#include <optional>
#include <utility>

namespace ttycard::serial {
namespace {

constexpr std::array<std::pair<int, speed_t>, 6> kSpeeds{{
    {9600, B9600},
    {19200, B19200},
    {38400, B38400},
    {57600, B57600},
    {115200, B115200},
    {230400, B230400},
}};

constexpr std::array<std::pair<int, tcflag_t>, 4> kSizes{{
    {5, CS5},  // CS5 is the empty field
    {6, CS6},
    {7, CS7},
    {8, CS8},
}};

template <typename T, std::size_t N>
constexpr std::optional<T> Lookup(const std::array<std::pair<int, T>, N>& table, int key) {
  for (const auto& [k, v] : table) {
    if (k == key) return v;
  }
  return std::nullopt;
}

}  // namespace

bool BuildLineSettings(int speed, int bits, int parity, termios& out) {
  // Start from nothing: none of the device's current settings may leak in.
  std::memset(&out, 0, sizeof out);

  const auto baud = Lookup(kSpeeds, speed);
  if (!baud) return false;
  cfsetispeed(&out, *baud);
  cfsetospeed(&out, *baud);

  const auto size = Lookup(kSizes, bits);
  if (!size) return false;
  out.c_cflag |= *size;

  switch (static_cast<char>(parity & 0xFF)) {
    case 'N':
      break;
    case 'O':
      out.c_cflag |= PARENB | PARODD;  // generate and expect odd parity
      out.c_iflag |= INPCK;            // and check it on input
      break;
    case 'E':
      out.c_cflag &= ~static_cast<tcflag_t>(PARODD);
      out.c_cflag |= PARENB;  // even parity
      out.c_iflag |= INPCK;
      break;
    default:
      return false;
  }

  out.c_cflag |= CSTOPB;  // the reader wants two stop bits
  out.c_cflag |= CLOCAL;  // no modem: ignore DCD, never wait for carrier
  out.c_cflag |= CREAD;   // enable the receiver
  out.c_cflag |= HUPCL;   // drop DTR on the last close, so the reader sees us go

  // Bytes pass as they are: no parity marking, no stripping to 7 bits, no
  // CR/LF translation (the frames are text, but STX/ETX and hex must arrive
  // untouched). A break on the line is reported, not read as a NUL.
  out.c_iflag &= ~static_cast<tcflag_t>(IGNPAR | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL);
  out.c_iflag |= BRKINT;

  out.c_oflag = 0;  // raw output: no post-processing of what we write
  out.c_lflag = 0;  // raw input: no echo, no canonical lines, no signals

  // read() returns as soon as one byte is there; the block time is kept by
  // select() in the read loop, not by the terminal driver.
  out.c_cc[VMIN] = 1;
  out.c_cc[VTIME] = 0;
  return true;
}

}  // namespace ttycard::serial
