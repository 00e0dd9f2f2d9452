// The fault matrix: each reader command and card exchange against each way
// the reader or the card can misbehave. A row states the result code, what
// reaches the caller (checked with guard bytes around the reply) and how many
// block times the call may take; after every row the same command, clean,
// must work again on the same line.
//
// One emulated reader is opened for the whole suite (opening costs 3.4 s);
// every row runs with a block time of one second.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "blockproto.h"
#include "ifdhandler.h"
#include "linkcmds.h"
#include "matrix_support.h"
#include "serial.h"

namespace ttycard::matrix {
namespace {

using emu::Emulator;
using emu::Fault;
using emu::FaultSpec;

constexpr int kNa = -1;  // cell not run
constexpr int kComm = ADM_COMM_ERROR;
constexpr int kChain = T1_CHAIN_ERROR;

std::unique_ptr<Emulator> g_emu;
std::string g_skip;

Bytes DefaultAtr() {
  return Bytes(emu::kDefaultT1Atr.begin(), emu::kDefaultT1Atr.end());
}

// The commands the op must put on the line, in order.
std::vector<std::uint8_t> ExpectedCommands(Op op, const std::vector<emu::Frame>& frames) {
  if (IsT1(op)) return std::vector<std::uint8_t>(frames.size(), emu::kCmdT1);
  if (CommandCode(op) == emu::kCmdReset) return {emu::kCmdReset, emu::kCmdNotification};
  return {CommandCode(op)};
}

class FaultMatrix : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    g_emu = std::make_unique<Emulator>();
    if (!g_emu->Start()) {
      g_skip = "cannot open a pseudo-terminal";
      return;
    }
    if (Adm_Initialize(g_emu->SlavePath().c_str()) != ADM_OK) g_skip = "cannot open the reader";
    Adm_SetWWT(kBlockTime);
    Adm_SelectCard(12);
    IFD_Power_ICC(IFD_POWER_UP);
  }
  static void TearDownTestSuite() {
    Adm_UnInitialize();
    g_emu.reset();
  }
  void SetUp() override {
    if (!g_skip.empty()) GTEST_SKIP() << g_skip;
  }

  // Back to a well-behaved reader with a powered card and a clean record.
  // The driver keeps its T=1 sequence numbers across card resets; for T=1
  // rows one clean exchange puts them in step with the freshly reset card,
  // so that every row starts from the same place.
  static void Clean(bool reset_card, bool t1) {
    g_emu->ClearFaults();
    g_emu->ClearT1Behaviours();
    g_emu->SetAtr(DefaultAtr());
    g_emu->SetStatusRecord(std::nullopt);
    Adm_SetWWT(kBlockTime);
    if (reset_card) {
      std::array<unsigned char, ADM_MAX_REPLY> atr{};
      unsigned int atrlen = 0;
      ASSERT_EQ(Adm_PowerICC(atr.data(), &atrlen), ADM_OK);
      T1_CardReset();
      if (t1) {
        ASSERT_EQ(RunOp(Op::kT1Single).code, ADM_OK);
      }
    }
    g_emu->ClearRecords();
  }

  // One cell of the matrix.
  static void Row(Op op, Bad bad, int code, double min_blocks, double max_blocks) {
    SCOPED_TRACE(Name(op) + " / " + Name(bad));
    Clean(true, IsT1(op));
    Bytes atr = DefaultAtr();
    Bytes status = NormalStatus();
    Apply(*g_emu, op, bad, &atr, &status);

    const Outcome got = RunOp(op);
    ExpectOutcome(op, got, code, CleanData(op, atr, status));
    ExpectTime(got, min_blocks, max_blocks);
    EXPECT_EQ(g_emu->PendingFaults(), 0u) << "the fault was never played";
    const auto frames = g_emu->Frames();
    std::vector<std::uint8_t> sent;
    for (const auto& f : frames) sent.push_back(f.command);
    EXPECT_EQ(sent, ExpectedCommands(op, frames));
    if (IsT1(op)) {
      EXPECT_FALSE(frames.empty());
    }
    // Faults on the line leave the card's view of the exchange sound; a
    // misbehaving card is where a driver could be pushed off the protocol.
    for (const auto& v : g_emu->Violations()) ADD_FAILURE() << "emulator: " << v;

    // The line recovers: the same command, clean, works. A failed T=1
    // exchange may leave the card in the middle of a chain: reset it.
    SCOPED_TRACE("recovery");
    Clean(IsT1(op) && got.code != 0, IsT1(op));
    const Outcome again = RunOp(op);
    ExpectOutcome(op, again, CleanCode(op), CleanData(op, DefaultAtr(), NormalStatus()));
    ExpectTime(again, 0, 0);
    for (const auto& v : g_emu->Violations()) ADD_FAILURE() << "emulator: " << v;
  }
};

// Reader commands. The emulated reader sums its replies like its commands,
// so by the time the rows run the link checks every reply: a wrong checksum,
// or one garbled into non-hex characters, is refused. Power down, card type
// and notification replies carry no data and no hex letter: lower case
// changes nothing there.
TEST_F(FaultMatrix, ReaderCommands) {
  constexpr Op kOps[] = {Op::kReset,        Op::kPowerDown, Op::kCardType,
                         Op::kNotification, Op::kStatus,    Op::kPresence};
  struct CommandRow {
    Bad bad;
    std::array<int, 6> code;
    double min_blocks, max_blocks;
  };
  const CommandRow rows[] = {
      // clang-format off
      //                         reset    down     type     notif    status   presence
      //                                                                             block times
      //                                                                             min, max
      {Bad::kNone,              {0,      0,      0,      0,      0,      0}, 0, 0},
      {Bad::kSilence,           {kComm,  kComm,  kComm,  kComm,  kComm,  kComm}, 1, 1},
      {Bad::kCutInHead,         {kComm,  kComm,  kComm,  kComm,  kComm,  kComm}, 1, 1},
      {Bad::kCutInExtLength,    {kComm,  kComm,  kComm,  kComm,  kComm,  kComm}, 1, 1},
      {Bad::kCutInBody,         {kComm,  kComm,  kComm,  kComm,  kComm,  kComm}, 1, 1},
      {Bad::kLowerCase,         {kComm,  0,      0,      0,      kComm,  kComm}, 0, 0},
      {Bad::kNonHex,            {kComm,  kComm,  kComm,  kComm,  kComm,  kComm}, 0, 0},
      {Bad::kWrongChecksum,     {kComm,  kComm,  kComm,  kComm,  kComm,  kComm}, 0, 0},
      {Bad::kExtendedShort,     {0,      0,      0,      0,      0,      0}, 0, 0},
      {Bad::kExt0100Cut,        {kComm,  kComm,  kComm,  kComm,  kComm,  kComm}, 1, 1},
      {Bad::kExt0100Full,       {kComm,  kComm,  kComm,  kComm,  kComm,  kComm}, 0, 0},
      {Bad::kExtFFFFCut,        {kComm,  kComm,  kComm,  kComm,  kComm,  kComm}, 1, 1},
      // clang-format on
  };
  for (const auto& row : rows) {
    for (std::size_t i = 0; i < std::size(kOps); ++i) {
      Row(kOps[i], row.bad, row.code[i], row.min_blocks, row.max_blocks);
    }
  }
}

// Card exchanges. The T=0 exchange sets a 60 s block time of its own, so
// replies that stop short are not waited out there (the transport is the one
// the reader commands above time out in); a reply later than the previous
// block time must still be taken. The acknowledgement of a chained block
// (00 80 00 80 or 00 90 00 90) has no hex letter for lower case to change.
// T=1 faults on the line hit the first reply, or for the chained response
// the answer to the first R-block; a reply the link refuses is a damaged
// block, asked for again with an R-block, so one fault costs at most the
// block time it was waited for and the exchange succeeds.
TEST_F(FaultMatrix, CardExchanges) {
  constexpr Op kOps[] = {Op::kT0, Op::kT1Single, Op::kT1ChainedCmd, Op::kT1ChainedResp};
  struct ExchangeRow {
    Bad bad;
    std::array<int, 4> code;
    double min_blocks, max_blocks;
  };
  const ExchangeRow rows[] = {
      // clang-format off
      //                         T=0      T=1      chained  chained  block times
      //                                  single   command  response min, max
      {Bad::kNone,              {0,      0,      0,      0}, 0, 0},
      {Bad::kSilence,           {kNa,    0,      0,      0}, 1, 1},
      {Bad::kCutInHead,         {kNa,    0,      0,      0}, 1, 1},
      {Bad::kCutInExtLength,    {kNa,    0,      0,      0}, 1, 1},
      {Bad::kCutInBody,         {kNa,    0,      0,      0}, 1, 1},
      {Bad::kLowerCase,         {kComm,  0,      0,      0}, 0, 0},
      {Bad::kNonHex,            {kComm,  0,      0,      0}, 0, 0},
      {Bad::kWrongChecksum,     {kComm,  0,      0,      0}, 0, 0},
      {Bad::kExtendedShort,     {0,      0,      0,      0}, 0, 0},
      {Bad::kExt0100Cut,        {kNa,    0,      0,      0}, 1, 1},
      {Bad::kExt0100Full,       {kComm,  0,      0,      0}, 0, 0},
      {Bad::kExtFFFFCut,        {kNa,    0,      0,      0}, 1, 1},
      {Bad::kDelay1500,         {0,      kNa,    kNa,    kNa}, 1.5, 1.5},
      {Bad::kEndlessChain,      {kNa,    kChain, kChain, kChain}, 0, 0},
      {Bad::kEndlessWtx,        {kNa,    kComm,  kComm,  kComm}, 0, 0},
      {Bad::kEndlessRetransmit, {kNa,    kComm,  kComm,  kComm}, 0, 0},
      {Bad::kLrcOnce,           {kNa,    0,      0,      0}, 0, 0},
      {Bad::kLrcAlways,         {kNa,    kComm,  kComm,  kComm}, 0, 0},
      // clang-format on
  };
  for (const auto& row : rows) {
    for (std::size_t i = 0; i < std::size(kOps); ++i) {
      if (row.code[i] != kNa) Row(kOps[i], row.bad, row.code[i], row.min_blocks, row.max_blocks);
    }
  }
}

// The boundary: ATR lengths, short status records and how link failures
// become IFD codes. Adm_PowerICC delivers any ATR the reader sends (up to 255
// bytes); IFD_Power_ICC stores at most 33 and refuses a longer one with the
// ATR record left as it was.
TEST_F(FaultMatrix, IfdBoundary) {
  struct IfdRow {
    Op op;
    Bad bad;
    int code;
    double min_blocks, max_blocks;
  };
  const IfdRow rows[] = {
      {Op::kIfdPowerUp, Bad::kAtr33, IFD_SUCCESS, 0, 0},
      {Op::kIfdPowerUp, Bad::kAtr34, IFD_ERROR_POWER_ACTION, 0, 0},
      {Op::kIfdPowerUp, Bad::kAtr255, IFD_ERROR_POWER_ACTION, 0, 0},
      {Op::kIfdPowerUp, Bad::kSilence, IFD_ERROR_POWER_ACTION, 1, 1},
      {Op::kIfdPowerUp, Bad::kNonHex, IFD_ERROR_POWER_ACTION, 0, 0},
      {Op::kPowerUp, Bad::kAtr34, ADM_OK, 0, 0},
      {Op::kPowerUp, Bad::kAtr255, ADM_OK, 0, 0},
      {Op::kReset, Bad::kAtr255, ADM_OK, 0, 0},
      {Op::kStatus, Bad::kShortStatus, ADM_OK, 0, 0},
      {Op::kPresence, Bad::kShortStatus, ADM_COMM_ERROR, 0, 0},
      {Op::kIfdPresence, Bad::kShortStatus, IFD_COMMUNICATION_ERROR, 0, 0},
      {Op::kIfdPresence, Bad::kSilence, IFD_COMMUNICATION_ERROR, 1, 1},
      {Op::kIfdT0, Bad::kNonHex, IFD_COMMUNICATION_ERROR, 0, 0},
      {Op::kIfdT0, Bad::kExt0100Full, IFD_COMMUNICATION_ERROR, 0, 0},
      {Op::kIfdT1, Bad::kSilence, IFD_SUCCESS, 1, 1},
      {Op::kIfdT1, Bad::kEndlessChain, IFD_COMMUNICATION_ERROR, 0, 0},
      {Op::kIfdT1, Bad::kEndlessWtx, IFD_COMMUNICATION_ERROR, 0, 0},
      {Op::kIfdT1, Bad::kLrcOnce, IFD_SUCCESS, 0, 0},
  };
  for (const auto& row : rows) Row(row.op, row.bad, row.code, row.min_blocks, row.max_blocks);
}

// What the matrix turned up beyond single faults: a refused reply that is
// still arriving, a card reset between exchanges, an exchange given up
// half-way.

// A reply announcing 0xFFFF data bytes is refused, but the reader is
// still sending it: the rest of it must not be taken as the answer to the
// commands that follow. A success code with a wrong answer is never right;
// a failure, or the right answer, is.
TEST_F(FaultMatrix, TailOfARefusedReplyIsNotTheNextReply) {
  Clean(true, false);
  FaultSpec babble = FaultSpec::Of(Fault::kExtendedLengthValue).ForCommand(emu::kCmdStatus);
  babble.ext_length = 0xFFFF;
  babble.ext_send = 0xFFFF;
  g_emu->InjectFault(babble);
  EXPECT_EQ(Adm_IsICCPresent(), ADM_COMM_ERROR);

  // The card is in the reader: "no card" is a wrong answer.
  const int presence = Adm_IsICCPresent();
  EXPECT_TRUE(presence == ADM_OK || presence == ADM_COMM_ERROR) << "presence " << presence;
  std::array<unsigned char, ADM_MAX_REPLY> atr{};
  unsigned int atrlen = 0;
  if (Adm_ResetICC(atr.data(), &atrlen) == ADM_OK) {
    EXPECT_EQ(Bytes(atr.begin(), atr.begin() + atrlen), DefaultAtr());
  }
  const Outcome t0 = RunOp(Op::kT0);
  if (t0.code == ADM_OK) {
    EXPECT_EQ(Bytes(t0.buffer.begin(), t0.buffer.begin() + t0.length),
              CleanData(Op::kT0, DefaultAtr(), NormalStatus()));
  }

  // Let the reader finish before anything else runs on this line.
  Adm_SetWWT(kBlockTime);
  std::array<unsigned char, 4096> sink{};
  while (IO_Read(static_cast<int>(sink.size()), sink.data()) == 1) {
  }
}

// After a card reset the card numbers its I-blocks from 0 again, while the
// driver's receive counter still follows the previous card session. A first
// response block that arrives damaged is then asked for with the wrong N(R):
// the card reads that as "send the next one" or "take my command again".
// Correct: the damaged block is sent again, the command reaches the card
// once, and the whole response reaches the caller.
TEST_F(FaultMatrix, CardResetRestartsTheReceiveNumbering) {
  const auto desync = [] {
    Clean(true, true);  // the card sent I(0): the driver expects I(1) next
    std::array<unsigned char, ADM_MAX_REPLY> atr{};
    unsigned int atrlen = 0;
    ASSERT_EQ(Adm_PowerICC(atr.data(), &atrlen), ADM_OK);  // the card starts at I(0)
    T1_CardReset();
    g_emu->ClearRecords();
    g_emu->ConfigureT1(emu::T1Behaviour::kCorruptLrc, 1);
  };
  for (const Op op : {Op::kT1Single, Op::kT1ChainedResp}) {
    SCOPED_TRACE(Name(op));
    desync();
    const Outcome got = RunOp(op);
    ExpectOutcome(op, got, ADM_OK, CleanData(op, DefaultAtr(), NormalStatus()));
    const auto blocks = g_emu->T1Blocks();
    const auto commands = std::count_if(blocks.begin(), blocks.end(), [](const emu::T1Record& r) {
      return !r.from_card && (r.block[1] & 0x80) == 0;
    });
    EXPECT_EQ(commands, 1) << "I-blocks the card received";
    for (const auto& v : g_emu->Violations()) ADD_FAILURE() << "emulator: " << v;
  }
}

// A T=1 exchange the driver gives up leaves the card mid-exchange: half a
// chained command, a response chain not collected, a waiting-time extension
// not answered. Without a card reset the next APDU must still get its own
// answer (or fail): not be appended to the stale chain, and not fail for
// ever.
TEST_F(FaultMatrix, FailedExchangeIsResynchronisedBeforeTheNext) {
  struct Case {
    Op op;
    Bad bad;
  };
  const Case cases[] = {{Op::kT1ChainedCmd, Bad::kLrcAlways},
                        {Op::kT1ChainedResp, Bad::kLrcAlways},
                        {Op::kT1Single, Bad::kEndlessWtx}};
  for (const auto& c : cases) {
    SCOPED_TRACE(Name(c.op) + " / " + Name(c.bad));
    Clean(true, true);
    Bytes atr = DefaultAtr();
    Bytes status = NormalStatus();
    Apply(*g_emu, c.op, c.bad, &atr, &status);
    EXPECT_NE(RunOp(c.op).code, ADM_OK);
    Clean(false, false);
    for (int i = 0; i < 2; ++i) {
      const Outcome next = RunOp(Op::kT1ChainedCmd);
      if (next.code == ADM_OK || i == 1) {
        ExpectOutcome(Op::kT1ChainedCmd, next, ADM_OK, CleanData(Op::kT1ChainedCmd, atr, status));
      }
    }
  }
}

}  // namespace
}  // namespace ttycard::matrix
