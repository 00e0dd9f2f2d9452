// The fault matrix: every reader command and card exchange of the driver, run
// against an emulated reader that misbehaves in one chosen way, with what the
// caller gets back measured: result code, reply length, the caller's buffer
// (guard bytes show anything written past the reply) and the time taken.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "emulator.h"

namespace ttycard::matrix {

using emu::Bytes;

// Block time every row runs with, in seconds.
inline constexpr int kBlockTime = 1;
// Every call returns within its row's block times plus this much.
inline constexpr double kSlack = 0.5;

// What the caller drives.
enum class Op : std::uint8_t {
  kReset,          // Adm_ResetICC: ATR into the caller's buffer
  kPowerUp,        // Adm_PowerICC
  kPowerDown,      // Adm_UnPowerICC
  kCardType,       // Adm_SelectCard(12)
  kNotification,   // Adm_SetNotification(2)
  kStatus,         // Adm_GetTolmStats: status record into the caller's buffer
  kPresence,       // Adm_IsICCPresent
  kT0,             // T0_ExchangeData, ECHO of 3 bytes
  kT1Single,       // T1_ExchangeData, ECHO of 3 bytes: one block each way
  kT1ChainedCmd,   // T1_ExchangeData, ECHO of 25 bytes: a chained command
  kT1ChainedResp,  // T1_ExchangeData, ECHO answering 200 bytes: a chained response
  kIfdPowerUp,     // IFD_Power_ICC(IFD_POWER_UP): the ATR record ICC
  kIfdPresence,    // IFD_Is_ICC_Present
  kIfdT0,          // IFD_Transmit_to_ICC, protocol 0, ECHO of 3 bytes
  kIfdT1,          // IFD_Transmit_to_ICC, protocol 1, ECHO answering 200 bytes
};

// How the reader or the card misbehaves.
enum class Bad : std::uint8_t {
  kNone,
  kSilence,            // no reply
  kCutInHead,          // 5 of the 9 head characters, then nothing
  kCutInExtLength,     // extended form, 2 of the 4 length characters
  kCutInBody,          // half of data, checksum and ETX
  kLowerCase,          // hex letters in lower case
  kNonHex,             // data (or, without data, checksum) characters not hex
  kWrongChecksum,      // reply checksum inverted
  kExtendedShort,      // a reply of up to 255 bytes in the extended-length form
  kExt0100Cut,         // announces 0x0100 data bytes, sends 10
  kExt0100Full,        // announces and sends 0x0100
  kExtFFFFCut,         // announces 0xFFFF, sends 10
  kExtFFFFFull,        // announces and sends 0xFFFF
  kDelay1500,          // the whole reply 1.5 s late
  kAtr33,              // a 33-byte ATR
  kAtr34,              // a 34-byte ATR
  kAtr255,             // a 255-byte ATR (extended form, as a length byte of FF demands)
  kShortStatus,        // a 10-byte status record
  kEndlessChain,       // T=1: every I-block of the card has the M bit
  kEndlessWtx,         // T=1: waiting-time extension requests for ever
  kEndlessRetransmit,  // T=1: every I-block answered with a retransmission request
  kLrcOnce,            // T=1: the card's next block with a wrong LRC
  kLrcAlways,          // T=1: every block of the card with a wrong LRC
};

std::string Name(Op op);
std::string Name(Bad bad);

inline constexpr unsigned char kGuard = 0xEE;
inline constexpr std::uint32_t kUntouched = 0xA5A5A5A5;  // preset reply length
inline constexpr std::size_t kBufferSize = 320;

struct Outcome {
  int code = -1;
  std::uint32_t length = kUntouched;              // reply length as left by the call
  std::array<unsigned char, kBufferSize> buffer;  // guard-filled before the call
  std::array<unsigned char, 33> icc_before{};     // the ATR record around the call
  std::array<unsigned char, 33> icc_after{};
  double seconds = 0;
};

// The APDUs the exchange columns send.
Bytes Echo(std::size_t data, std::size_t response);
Bytes CommandOf(Op op);
bool IsT1(Op op);
bool IsIfd(Op op);
// Whether the call reports a reply length.
bool HasLength(Op op);
// The reader command code of the op's first frame, and of the reply to fault.
std::uint8_t CommandCode(Op op);
// Which reply to the op's command code carries a line fault: the answer to
// the first R-block for a chained response, the first reply otherwise.
int RepliesBeforeFault(Op op);

// The clean result of the op with the emulator's present ATR and status.
int CleanCode(Op op);
Bytes CleanData(Op op, const Bytes& atr, const Bytes& status);

// Applies `bad` to the emulator for `op`; returns the ATR and status record
// the emulator now holds.
void Apply(emu::Emulator& emu, Op op, Bad bad, Bytes* atr, Bytes* status);
Bytes LongAtr(std::size_t n);
Bytes NormalStatus();

Outcome RunOp(Op op);

// Checks `got` against the row's expectation: the code, and on success the
// full clean data with nothing written past it; on failure nothing written
// at all, a reply length as the layer promises and an unchanged ATR record.
void ExpectOutcome(Op op, const Outcome& got, int code, const Bytes& data);
// Elapsed time within [min_blocks, max_blocks] block times (+ slack).
void ExpectTime(const Outcome& got, double min_blocks, double max_blocks);

}  // namespace ttycard::matrix
