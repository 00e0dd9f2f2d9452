// The reader's command set.
//
//   code  command                     data      reply data
//   0x01  read the status record      -         status; byte 15 = card status
//   0x02  select the card type        type      (ignored)
//   0x06  set the notification mode   mode      (ignored)
//   0x80  reset / power up the card   -         the card's ATR
//   0x81  power the card down         -         (ignored)
//
// (0xA0 and 0xA1 carry T=0 APDUs and T=1 blocks; the protocol modules build
// those.) Only silence or a garbled reply makes a command fail: the reader's
// own answer codes are not judged.

#include <array>
#include <chrono>
#include <cstring>
#include <initializer_list>
#include <thread>

#include "link.h"
#include "linkcmds.h"
#include "serial.h"

namespace ttycard::link {
namespace {

constexpr unsigned char kCmdStatus = 0x01;
constexpr unsigned char kCmdSelectCard = 0x02;
constexpr unsigned char kCmdNotification = 0x06;
constexpr unsigned char kCmdReset = 0x80;
constexpr unsigned char kCmdPowerDown = 0x81;
constexpr unsigned char kNotifyMode = 2;

// Byte 15 of the status record: 1 or 3 mean a card sits in the slot.
constexpr unsigned int kCardStatusOffset = 15;
constexpr unsigned char kCardInserted = 1;
constexpr unsigned char kCardInsertedPowered = 3;

// Sends one command with at most one data byte; the reply lands in `reply`,
// which holds link.max_reply bytes.
int Send(Link& link, unsigned char code, std::initializer_list<unsigned char> data,
         unsigned char* reply, unsigned int* replylen) {
  std::array<unsigned char, 5> frame{ADM_FRAME_HEADER, code,
                                     static_cast<unsigned char>(data.size())};
  std::size_t n = 3;
  for (const unsigned char b : data) frame[n++] = b;
  frame[n] = Adm_CheckSum(frame.data(), static_cast<unsigned int>(n));
  return Transmit(link, frame.data(), static_cast<int>(n + 1), reply, replylen);
}

// Sends a command whose reply carries nothing we use.
int SendIgnoringReply(Link& link, unsigned char code, std::initializer_list<unsigned char> data) {
  std::array<unsigned char, ADM_MAX_WIDE_REPLY> reply{};
  unsigned int replylen = 0;
  return Send(link, code, data, reply.data(), &replylen);
}

}  // namespace

int ReadStatus(Link& link, unsigned char* status, unsigned int* length) {
  *length = 0;
  return Send(link, kCmdStatus, {}, status, length);
}

int ResetIcc(Link& link, unsigned char* atr, unsigned int* atrlen) {
  int result = ADM_COMM_ERROR;
  if (atr != nullptr && atrlen != nullptr) {
    *atrlen = 0;
    result = Send(link, kCmdReset, {}, atr, atrlen);
  }
  // The reader forgets its notification mode with every reset; set it again
  // whatever became of the reset itself.
  SetNotification(link, kNotifyMode);
  return result;
}

int UnpowerIcc(Link& link) {
  return SendIgnoringReply(link, kCmdPowerDown, {});
}

int SelectCard(Link& link, unsigned char type) {
  return SendIgnoringReply(link, kCmdSelectCard, {type});
}

int SetNotification(Link& link, unsigned char mode) {
  return SendIgnoringReply(link, kCmdNotification, {mode});
}

int IccPresence(Link& link) {
  std::array<unsigned char, ADM_MAX_WIDE_REPLY> record{};
  unsigned int length = 0;
  if (ReadStatus(link, record.data(), &length) != ADM_OK) return ADM_COMM_ERROR;
  // A record too short to hold the card status says nothing about the card:
  // that is a failed query, not an empty slot.
  if (length <= kCardStatusOffset) return ADM_COMM_ERROR;
  const unsigned char card = record[kCardStatusOffset];
  return card == kCardInserted || card == kCardInsertedPowered ? ADM_OK : ADM_FAILURE;
}

}  // namespace ttycard::link

extern "C" {

using ttycard::link::DefaultLink;

int Adm_Initialize(const char* path) {
  if (IO_InitializePort(ttycard::link::kBaud, ttycard::link::kDataBits, ttycard::link::kParity,
                        path) != 1) {
    return ADM_FAILURE;
  }
  DefaultLink().Restart();  // a new line, perhaps a different reader
  std::this_thread::sleep_for(ttycard::link::kReaderSettle);
  Adm_SetWWT(ADM_COMMAND_BLOCK_TIME);
  return ADM_OK;
}

int Adm_UnInitialize(void) {
  return IO_Close() == 1 ? ADM_OK : ADM_FAILURE;
}

int Adm_PowerICC(unsigned char* atr, unsigned int* atrlen) {
  return Adm_ResetICC(atr, atrlen);
}

int Adm_ResetICC(unsigned char* atr, unsigned int* atrlen) {
  return ttycard::link::ResetIcc(DefaultLink(), atr, atrlen);
}

int Adm_UnPowerICC(void) {
  return ttycard::link::UnpowerIcc(DefaultLink());
}

int Adm_SelectCard(unsigned char type) {
  return ttycard::link::SelectCard(DefaultLink(), type);
}

int Adm_SetNotification(unsigned char mode) {
  return ttycard::link::SetNotification(DefaultLink(), mode);
}

int Adm_GetTolmStats(unsigned char* status) {
  std::array<unsigned char, ADM_MAX_WIDE_REPLY> record{};
  unsigned int length = 0;
  const int result = ttycard::link::ReadStatus(DefaultLink(), record.data(), &length);
  if (result == ADM_OK && status != nullptr) std::memcpy(status, record.data(), length);
  return result;
}

int Adm_IsICCPresent(void) {
  return ttycard::link::IccPresence(DefaultLink());
}

}  // extern "C"
