// T=0 exchange. The reader runs the character protocol with the card
// (procedure bytes, GET RESPONSE); the driver hands it the APDU in command
// 0xA0, laid out the way the reader wants it:
//
//   +------+------+-----------+---------------------------+-----------+
//   | 0x01 | 0xA0 | len + 1   | APDU in reader layout     | XOR of all|
//   +------+------+-----------+---------------------------+-----------+
//
//   APDU of 5 bytes  (CLA INS P1 P2 P3, no data):  CLA INS P1 P2 00 P3
//   longer APDU      (CLA INS P1 P2 Lc data...):   the APDU, then 00
//
// The reply data is the card's answer: response data, SW1, SW2.

#include "charproto.h"

#include <array>
#include <cstring>

#include "linkcmds.h"

namespace {

constexpr unsigned char kFrameHeader = 0x01;
constexpr unsigned char kCmdT0Exchange = 0xA0;
constexpr unsigned int kHeaderApdu = 5;
// The length byte counts the APDU and its extra byte; it must not wrap.
constexpr unsigned int kMaxApdu = 254;
// A card may take long over a command (key generation, EEPROM writes), and
// the reader only answers once the card has.
constexpr int kT0BlockTime = 60;

}  // namespace

extern "C" int T0_ExchangeData(const unsigned char* apdu, unsigned int len, unsigned char* response,
                               unsigned int* resplen) {
  if (len < kHeaderApdu || len > kMaxApdu || apdu == nullptr) {
    if (resplen != nullptr) *resplen = 0;
    return ADM_FAILURE;
  }

  std::array<unsigned char, ADM_MAX_FRAME> frame{};
  frame[0] = kFrameHeader;
  frame[1] = kCmdT0Exchange;
  frame[2] = static_cast<unsigned char>(len + 1);
  std::memcpy(&frame[3], apdu, len);
  if (len == kHeaderApdu) {
    frame[7] = 0x00;     // no command data
    frame[8] = apdu[4];  // P3: the length expected back
  } else {
    frame[3 + len] = 0x00;
  }
  frame[4 + len] = Adm_CheckSum(frame.data(), len + 4);

  Adm_SetWWT(kT0BlockTime);
  return Adm_Transmit(frame.data(), static_cast<int>(len + 5), response, resplen);
}
