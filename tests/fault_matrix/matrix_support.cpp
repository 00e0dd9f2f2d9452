#include "matrix_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "blockproto.h"
#include "charproto.h"
#include "ifdhandler.h"
#include "linkcmds.h"

namespace ttycard::matrix {

using emu::Fault;
using emu::FaultSpec;
using emu::T1Behaviour;

std::string Name(Op op) {
  static constexpr const char* kNames[] = {"reset",
                                           "power up",
                                           "power down",
                                           "card type",
                                           "notification",
                                           "status",
                                           "presence",
                                           "T=0",
                                           "T=1 single",
                                           "T=1 chained command",
                                           "T=1 chained response",
                                           "IFD power up",
                                           "IFD presence",
                                           "IFD T=0",
                                           "IFD T=1"};
  return kNames[static_cast<int>(op)];
}

std::string Name(Bad bad) {
  static constexpr const char* kNames[] = {"clean",
                                           "silence",
                                           "cut in head",
                                           "cut in extended length",
                                           "cut in body",
                                           "lower case",
                                           "non-hex",
                                           "wrong checksum",
                                           "extended form",
                                           "0x0100 cut",
                                           "0x0100 complete",
                                           "0xFFFF cut",
                                           "0xFFFF complete",
                                           "1.5 s late",
                                           "ATR of 33",
                                           "ATR of 34",
                                           "ATR of 255",
                                           "short status",
                                           "endless chain",
                                           "endless WTX",
                                           "endless retransmission",
                                           "LRC wrong once",
                                           "LRC always wrong"};
  return kNames[static_cast<int>(bad)];
}

Bytes Echo(std::size_t data, std::size_t response) {
  Bytes apdu{0x80, emu::kInsEcho, static_cast<unsigned char>(response >> 8),
             static_cast<unsigned char>(response), static_cast<unsigned char>(data)};
  for (std::size_t i = 0; i < data; ++i) apdu.push_back(static_cast<unsigned char>(0xA0 + i));
  return apdu;
}

Bytes CommandOf(Op op) {
  switch (op) {
    case Op::kT1ChainedCmd:
      return Echo(25, 0);  // 30 bytes: one chained block of 20, then 10
    case Op::kT1ChainedResp:
    case Op::kIfdT1:
      return Echo(0, 200);  // 202 response bytes: seven blocks of at most 32
    default:
      return Echo(3, 3);
  }
}

bool IsT1(Op op) {
  return op == Op::kT1Single || op == Op::kT1ChainedCmd || op == Op::kT1ChainedResp ||
         op == Op::kIfdT1;
}

bool IsIfd(Op op) {
  return op >= Op::kIfdPowerUp;
}

bool HasLength(Op op) {
  switch (op) {
    case Op::kReset:
    case Op::kPowerUp:
    case Op::kT0:
    case Op::kT1Single:
    case Op::kT1ChainedCmd:
    case Op::kT1ChainedResp:
    case Op::kIfdT0:
    case Op::kIfdT1:
      return true;
    default:
      return false;
  }
}

std::uint8_t CommandCode(Op op) {
  switch (op) {
    case Op::kReset:
    case Op::kPowerUp:
    case Op::kIfdPowerUp:
      return emu::kCmdReset;
    case Op::kPowerDown:
      return emu::kCmdPowerDown;
    case Op::kCardType:
      return emu::kCmdCardType;
    case Op::kNotification:
      return emu::kCmdNotification;
    case Op::kStatus:
    case Op::kPresence:
    case Op::kIfdPresence:
      return emu::kCmdStatus;
    case Op::kT0:
    case Op::kIfdT0:
      return emu::kCmdT0;
    default:
      return emu::kCmdT1;
  }
}

int RepliesBeforeFault(Op op) {
  return op == Op::kT1ChainedResp || op == Op::kIfdT1 ? 1 : 0;
}

int CleanCode(Op op) {
  return op == Op::kIfdPresence ? IFD_ICC_PRESENT : 0;
}

Bytes CleanData(Op op, const Bytes& atr, const Bytes& status) {
  switch (op) {
    case Op::kReset:
    case Op::kPowerUp:
    case Op::kIfdPowerUp:
      return atr;
    case Op::kStatus:
      return status;
    case Op::kT0:
    case Op::kT1Single:
    case Op::kIfdT0:
      return {0xA0, 0xA1, 0xA2, 0x90, 0x00};
    case Op::kT1ChainedCmd: {
      const Bytes apdu = CommandOf(op);
      Bytes r(apdu.begin() + 5, apdu.end());
      r.insert(r.end(), {0x90, 0x00});
      return r;
    }
    case Op::kT1ChainedResp:
    case Op::kIfdT1: {
      Bytes r(200);
      for (std::size_t i = 0; i < r.size(); ++i) r[i] = static_cast<unsigned char>(i);
      r.insert(r.end(), {0x90, 0x00});
      return r;
    }
    default:
      return {};
  }
}

Bytes LongAtr(std::size_t n) {
  Bytes atr(n);
  for (std::size_t i = 0; i < n; ++i) atr[i] = static_cast<unsigned char>(0x3B + 7 * i);
  return atr;
}

Bytes NormalStatus() {
  // "TTY", firmware 01 00, card type 12, notification mode 2, card powered.
  return {'T', 'T', 'Y', 0x01, 0x00, 0x0C, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, emu::kStatusPowered};
}

void Apply(emu::Emulator& emu, Op op, Bad bad, Bytes* atr, Bytes* status) {
  const auto line = [&](FaultSpec fault_spec) {
    for (int i = 0; i < RepliesBeforeFault(op); ++i) {
      emu.InjectFault(FaultSpec::Of(Fault::kNone).ForCommand(CommandCode(op)));
    }
    emu.InjectFault(fault_spec.ForCommand(CommandCode(op)));
  };
  const auto ext = [&](std::uint16_t announced, std::size_t sent) {
    FaultSpec fault_spec = FaultSpec::Of(Fault::kExtendedLengthValue);
    fault_spec.ext_length = announced;
    fault_spec.ext_send = sent;
    line(fault_spec);
  };
  switch (bad) {
    case Bad::kNone:
      return;
    case Bad::kSilence:
      return line(FaultSpec::Of(Fault::kSilence));
    case Bad::kCutInHead:
      return line(FaultSpec::Of(Fault::kCutInHead));
    case Bad::kCutInExtLength:
      return line(FaultSpec::Of(Fault::kCutInExtLength));
    case Bad::kCutInBody:
      return line(FaultSpec::Of(Fault::kCutInBody));
    case Bad::kLowerCase:
      return line(FaultSpec::Of(Fault::kLowerCase));
    case Bad::kNonHex:
      return line(FaultSpec::Of(Fault::kNonHex));
    case Bad::kWrongChecksum:
      return line(FaultSpec::Of(Fault::kWrongChecksum));
    case Bad::kExtendedShort:
      return line(FaultSpec::Of(Fault::kExtendedLength));
    case Bad::kExt0100Cut:
      return ext(0x0100, 10);
    case Bad::kExt0100Full:
      return ext(0x0100, 0x0100);
    case Bad::kExtFFFFCut:
      return ext(0xFFFF, 10);
    case Bad::kExtFFFFFull:
      return ext(0xFFFF, 0xFFFF);
    case Bad::kDelay1500: {
      FaultSpec fault_spec = FaultSpec::Of(Fault::kDelay);
      fault_spec.gap = std::chrono::milliseconds(1500);
      return line(fault_spec);
    }
    case Bad::kAtr33:
    case Bad::kAtr34:
      *atr = LongAtr(bad == Bad::kAtr33 ? 33 : 34);
      emu.SetAtr(*atr);
      return;
    case Bad::kAtr255:
      *atr = LongAtr(255);
      emu.SetAtr(*atr);
      return line(FaultSpec::Of(Fault::kExtendedLength));
    case Bad::kShortStatus:
      status->resize(10);
      emu.SetStatusRecord(*status);
      return;
    case Bad::kEndlessChain:
      return emu.ConfigureT1(T1Behaviour::kEndlessChain);
    case Bad::kEndlessWtx:
      return emu.ConfigureT1(T1Behaviour::kEndlessWtx);
    case Bad::kEndlessRetransmit:
      return emu.ConfigureT1(T1Behaviour::kEndlessRetransmit);
    case Bad::kLrcOnce:
      return emu.ConfigureT1(T1Behaviour::kCorruptLrc, 1);
    case Bad::kLrcAlways:
      return emu.ConfigureT1(T1Behaviour::kCorruptLrc, emu::kT1Forever);
  }
}

Outcome RunOp(Op op) {
  Outcome o;
  o.buffer.fill(kGuard);
  std::memcpy(o.icc_before.data(), ICC.ATR, o.icc_before.size());
  unsigned char* buf = o.buffer.data();
  const Bytes apdu = CommandOf(op);
  const auto n = static_cast<unsigned int>(apdu.size());
  const auto start = std::chrono::steady_clock::now();
  switch (op) {
    case Op::kReset:
      o.code = Adm_ResetICC(buf, &o.length);
      break;
    case Op::kPowerUp:
      o.code = Adm_PowerICC(buf, &o.length);
      break;
    case Op::kPowerDown:
      o.code = Adm_UnPowerICC();
      break;
    case Op::kCardType:
      o.code = Adm_SelectCard(12);
      break;
    case Op::kNotification:
      o.code = Adm_SetNotification(2);
      break;
    case Op::kStatus:
      o.code = Adm_GetTolmStats(buf);
      break;
    case Op::kPresence:
      o.code = Adm_IsICCPresent();
      break;
    case Op::kT0:
      o.code = T0_ExchangeData(apdu.data(), n, buf, &o.length);
      break;
    case Op::kT1Single:
    case Op::kT1ChainedCmd:
    case Op::kT1ChainedResp:
      o.code = T1_ExchangeData(apdu.data(), n, buf, &o.length);
      break;
    case Op::kIfdPowerUp:
      o.code = static_cast<int>(IFD_Power_ICC(IFD_POWER_UP));
      break;
    case Op::kIfdPresence:
      o.code = static_cast<int>(IFD_Is_ICC_Present());
      break;
    case Op::kIfdT0:
    case Op::kIfdT1:
      o.length = 257;
      o.code = static_cast<int>(
          IFD_Transmit_to_ICC({op == Op::kIfdT0 ? 0u : 1u, 0}, apdu.data(), n, buf, &o.length));
      break;
  }
  o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::memcpy(o.icc_after.data(), ICC.ATR, o.icc_after.size());
  return o;
}

namespace {

// The reply length a failed call leaves behind.
std::uint32_t FailedLength(Op op, int code) {
  switch (op) {
    case Op::kReset:
    case Op::kPowerUp:
    case Op::kIfdT0:
    case Op::kIfdT1:
      return 0;
    case Op::kT0:
      return kUntouched;
    default:  // T=1: a broken chained response leaves the caller's length alone
      return code == T1_CHAIN_ERROR ? kUntouched : 0;
  }
}

Bytes Padded(Bytes atr) {
  atr.resize(33, 0x00);
  return atr;
}

}  // namespace

void ExpectOutcome(Op op, const Outcome& got, int code, const Bytes& data) {
  EXPECT_EQ(got.code, code);
  const auto& b = got.buffer;
  const bool ok = code == CleanCode(op);
  const std::size_t n = ok && op != Op::kIfdPowerUp ? data.size() : 0;
  EXPECT_EQ(Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n)),
            Bytes(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n)));
  const auto written = std::find_if(b.begin() + static_cast<std::ptrdiff_t>(n), b.end(),
                                    [](unsigned char c) { return c != kGuard; });
  EXPECT_EQ(written, b.end()) << "byte " << (written - b.begin()) << " written past the reply";
  if (HasLength(op)) {
    EXPECT_EQ(got.length, ok ? data.size() : FailedLength(op, code));
  }
  if (op == Op::kIfdPowerUp) {
    const Bytes after(got.icc_after.begin(), got.icc_after.end());
    EXPECT_EQ(after, ok ? Padded(data) : Bytes(got.icc_before.begin(), got.icc_before.end()));
  }
}

void ExpectTime(const Outcome& got, double min_blocks, double max_blocks) {
  EXPECT_GE(got.seconds, min_blocks * kBlockTime - 0.05);
  EXPECT_LE(got.seconds, max_blocks * kBlockTime + kSlack);
}

}  // namespace ttycard::matrix
