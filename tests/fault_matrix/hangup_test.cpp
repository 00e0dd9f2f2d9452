// The reader dies in the middle of a reply: the pseudo-terminal hangs up and
// the line is gone for good. This runs on an emulator and a reader of its
// own, since nothing works on that line afterwards.
#include <gtest/gtest.h>

#include "ifdhandler.h"
#include "linkcmds.h"
#include "matrix_support.h"

namespace ttycard::matrix {
namespace {

using emu::Fault;
using emu::FaultSpec;

TEST(FaultMatrixHangUp, ReaderDiesMidReplyAndEveryLaterCallFailsAtOnce) {
  emu::Emulator emu;
  ASSERT_TRUE(emu.Start());
  ASSERT_EQ(Adm_Initialize(emu.SlavePath().c_str()), ADM_OK);
  Adm_SetWWT(kBlockTime);
  ASSERT_EQ(IFD_Power_ICC(IFD_POWER_UP), IFD_SUCCESS);
  emu.ClearRecords();

  // The first block of a chained response arrives; the answer to the first
  // R-block stops after its head and a few data characters, and the reader
  // is gone.
  emu.InjectFault(FaultSpec::Of(Fault::kNone).ForCommand(emu::kCmdT1));
  FaultSpec die = FaultSpec::Of(Fault::kHangUp).ForCommand(emu::kCmdT1);
  die.cut = 15;
  emu.InjectFault(die);
  const Outcome got = RunOp(Op::kIfdT1);
  ExpectOutcome(Op::kIfdT1, got, IFD_COMMUNICATION_ERROR, {});
  ExpectTime(got, 0, 0);
  EXPECT_TRUE(emu.HungUp());
  EXPECT_EQ(emu.PendingFaults(), 0u);
  EXPECT_EQ(emu.FrameCount(), 2u);

  // Every later call fails without waiting out a block time (not even the
  // T=0 exchange with its 60 s), and writes nothing for the caller.
  struct After {
    Op op;
    int code;
  };
  const After rows[] = {
      {Op::kPresence, ADM_COMM_ERROR}, {Op::kIfdPresence, IFD_COMMUNICATION_ERROR},
      {Op::kReset, ADM_COMM_ERROR},    {Op::kIfdPowerUp, IFD_ERROR_POWER_ACTION},
      {Op::kStatus, ADM_COMM_ERROR},   {Op::kPowerDown, ADM_COMM_ERROR},
      {Op::kT1Single, ADM_COMM_ERROR}, {Op::kT1ChainedResp, ADM_COMM_ERROR},
      {Op::kT0, ADM_COMM_ERROR},       {Op::kIfdT0, IFD_COMMUNICATION_ERROR},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(Name(row.op));
    Adm_SetWWT(kBlockTime);
    const Outcome after = RunOp(row.op);
    ExpectOutcome(row.op, after, row.code, {});
    ExpectTime(after, 0, 0);
  }
  Adm_UnInitialize();
}

}  // namespace
}  // namespace ttycard::matrix
