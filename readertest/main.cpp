// readertest: one fixed run against the reader on the first serial port.
//
// Opens the port, powers the card and prints its ATR, selects card type 12,
// sends GET CHALLENGE (00 84 00 00 26) with T=1, asks for presence, powers
// the card down and closes the port. Every step runs whatever became of the
// ones before it; the exit status is always 1.

#include <array>
#include <cstdio>

#include "blockproto.h"
#include "linkcmds.h"

namespace {

constexpr const char* kDevice = "/dev/ttyS0";
constexpr unsigned char kCardType = 12;
constexpr std::array<unsigned char, 5> kGetChallenge{0x00, 0x84, 0x00, 0x00, 0x26};

}  // namespace

int main() {
  Adm_Initialize(kDevice);

  std::array<unsigned char, ADM_MAX_REPLY> atr{};
  unsigned int atr_length = 0;
  Adm_PowerICC(atr.data(), &atr_length);
  std::printf("Card ATR: ");
  for (unsigned int i = 0; i < atr_length; ++i) std::printf("%x ", atr[i]);
  std::printf("\n");
  std::fflush(stdout);

  Adm_SelectCard(kCardType);

  std::array<unsigned char, T1_MAX_RESPONSE> response{};
  unsigned int response_length = 0;
  T1_ExchangeData(kGetChallenge.data(), kGetChallenge.size(), response.data(), &response_length);

  Adm_IsICCPresent();
  Adm_UnPowerICC();
  Adm_UnInitialize();
  return 1;
}
