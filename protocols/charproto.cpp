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
//   case 1 (CLA INS P1 P2):                        CLA INS P1 P2 00 00
//
// The reply data is the card's answer: response data, SW1, SW2. An answer
// shorter than SW1 SW2 is not a card's answer. For a 5-byte command a T=0
// card sends exactly P3 data bytes (0 meaning 256) or the status bytes
// alone; any other length lost data on the way.

#include "charproto.h"

#include <array>
#include <cstring>

#include "linkcmds.h"
#include "t0_engine.h"

namespace ttycard::t0 {
namespace {

constexpr unsigned char kCmdT0Exchange = 0xA0;
constexpr std::size_t kHeaderApdu = 5;
constexpr std::size_t kStatusBytes = 2;

}  // namespace

int Exchange(proto::Channel& channel, std::span<const unsigned char> apdu,
             std::span<unsigned char> out, std::size_t* outlen, int block_time) {
  if (apdu.size() < kCase1 || apdu.size() > kMaxCommand || apdu.data() == nullptr) {
    if (outlen != nullptr) *outlen = 0;
    return ADM_FAILURE;
  }
  // A case 1 command goes as a 5-byte one whose P3 is 0.
  const std::size_t len = apdu.size() == kCase1 ? kHeaderApdu : apdu.size();
  const unsigned char p3 = apdu.size() == kCase1 ? 0x00 : apdu[4];

  std::array<unsigned char, ADM_MAX_FRAME> frame{};
  frame[0] = ADM_FRAME_HEADER;
  frame[1] = kCmdT0Exchange;
  frame[2] = static_cast<unsigned char>(len + 1);
  std::memcpy(&frame[3], apdu.data(), apdu.size());
  if (len == kHeaderApdu) {
    frame[7] = 0x00;  // no command data
    frame[8] = p3;    // the length expected back
  } else {
    frame[3 + len] = 0x00;
  }
  frame[4 + len] = Adm_CheckSum(frame.data(), static_cast<unsigned int>(len + 4));

  channel.SetBlockTime(block_time);
  std::array<unsigned char, ADM_MAX_WIDE_REPLY> answer{};
  unsigned int got = 0;
  const int result = channel.Transmit(frame.data(), static_cast<int>(len + 5), answer.data(), &got);
  if (result != ADM_OK) return result;
  if (got < kStatusBytes) return ADM_COMM_ERROR;
  if (len == kHeaderApdu) {
    const std::size_t le = p3 == 0 ? 256 : p3;
    if (got != kStatusBytes && got != le + kStatusBytes) return ADM_COMM_ERROR;
  }
  if (got > out.size()) return ADM_COMM_ERROR;
  std::memcpy(out.data(), answer.data(), got);
  *outlen = got;
  return ADM_OK;
}

}  // namespace ttycard::t0

namespace {

ttycard::proto::AdmChannel g_channel;

}  // namespace

extern "C" int T0_ExchangeData(const unsigned char* apdu, unsigned int len, unsigned char* response,
                               unsigned int* resplen) {
  // This interface takes commands of five bytes and more: a case 1 command
  // comes with its P3 of 0.
  if (apdu == nullptr || len < 5) {
    if (resplen != nullptr) *resplen = 0;
    return ADM_FAILURE;
  }
  if (response == nullptr || resplen == nullptr) return ADM_COMM_ERROR;
  std::size_t length = 0;
  // The caller's buffer holds a whole reply of the reader (255 bytes).
  const int result =
      ttycard::t0::Exchange(g_channel, {apdu, len}, {response, ADM_MAX_REPLY}, &length);
  if (result == ADM_OK || result == ADM_FAILURE) *resplen = static_cast<unsigned int>(length);
  return result;
}
