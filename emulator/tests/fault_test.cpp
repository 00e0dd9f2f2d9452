#include "fault.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "wire.h"

namespace ttycard::emu {
namespace {

using std::chrono::milliseconds;

// Reply to RESET with a 4-byte ATR: STX 01800004 3B021450 F8 ETX (24 chars).
const Bytes kAtr = {0x3B, 0x02, 0x14, 0x50};
const std::string kFull =
    "\x02"
    "018000043B021450F8\x03";

struct Case {
  FaultSpec fault_spec;
  std::function<void(const ReplyPlan&)> check;
};

FaultSpec MakeFault(Fault f, std::function<void(FaultSpec&)> tweak = {}) {
  FaultSpec s = FaultSpec::Of(f);
  if (tweak) tweak(s);
  return s;
}

TEST(PlanReply, EveryFaultShapesTheCharactersAsDocumented) {
  const Case cases[] = {
      {MakeFault(Fault::kNone), [](const ReplyPlan& p) { EXPECT_EQ(p.chars, kFull); }},
      {MakeFault(Fault::kSilence), [](const ReplyPlan& p) { EXPECT_EQ(p.chars, ""); }},
      {MakeFault(Fault::kCutInHead),
       [](const ReplyPlan& p) { EXPECT_EQ(p.chars, kFull.substr(0, 5)); }},
      {MakeFault(Fault::kCutInHead, [](FaultSpec& s) { s.cut = 8; }),
       [](const ReplyPlan& p) { EXPECT_EQ(p.chars, kFull.substr(0, 8)); }},
      {MakeFault(Fault::kCutInExtLength),
       [](const ReplyPlan& p) {
         EXPECT_EQ(p.chars,
                   "\x02"
                   "018000FF00");
       }},
      {MakeFault(Fault::kCutInBody),
       [](const ReplyPlan& p) {
         EXPECT_EQ(p.chars,
                   "\x02"
                   "018000043B021");
       }},
      {MakeFault(Fault::kSlow, [](FaultSpec& s) { s.gap = milliseconds(7); }),
       [](const ReplyPlan& p) {
         EXPECT_EQ(p.chars, kFull);
         EXPECT_EQ(p.char_gap, milliseconds(7));
       }},
      {MakeFault(Fault::kDelay, [](FaultSpec& s) { s.gap = milliseconds(30); }),
       [](const ReplyPlan& p) {
         EXPECT_EQ(p.chars, kFull);
         EXPECT_EQ(p.delay, milliseconds(30));
       }},
      {MakeFault(Fault::kLowerCase),
       [](const ReplyPlan& p) {
         EXPECT_EQ(p.chars,
                   "\x02"
                   "018000043b021450f8\x03");
       }},
      {MakeFault(Fault::kNonHex),
       [](const ReplyPlan& p) {
         ASSERT_EQ(p.chars.size(), kFull.size());
         EXPECT_EQ(p.chars.substr(0, 9), kFull.substr(0, 9));
         EXPECT_FALSE(FromHex(p.chars.substr(9, 8)).has_value());
         EXPECT_EQ(p.chars.find_first_of("\x02\x03", 1), p.chars.size() - 1);
       }},
      {MakeFault(Fault::kWrongChecksum),
       [](const ReplyPlan& p) {
         EXPECT_EQ(p.chars,
                   "\x02"
                   "018000043B02145007\x03");
       }},
      {MakeFault(Fault::kExtendedLength),
       [](const ReplyPlan& p) {
         EXPECT_EQ(p.chars,
                   "\x02"
                   "018000FF00043B02145007\x03");
       }},
      {MakeFault(Fault::kExtendedLengthValue),
       [](const ReplyPlan& p) {
         // 0x0100 announced: the ATR, then filler 00 01 ... FB, then a trailer.
         ASSERT_EQ(p.chars.size(), 9u + 4 + 512 + 3);
         EXPECT_EQ(p.chars.substr(0, 21),
                   "\x02"
                   "018000FF01003B021450");
         EXPECT_EQ(p.chars.substr(21, 6), "000102");
         EXPECT_EQ(p.chars.substr(523, 2), "FB");
         EXPECT_EQ(p.chars.back(), kEtx);
       }},
      {MakeFault(Fault::kExtendedLengthValue,
                 [](FaultSpec& s) {
                   s.ext_length = 0xFFFF;
                   s.ext_send = 2;
                 }),
       [](const ReplyPlan& p) {
         EXPECT_EQ(p.chars,
                   "\x02"
                   "018000FFFFFF3B02");
       }},
      {MakeFault(Fault::kHangUp, [](FaultSpec& s) { s.cut = 4; }),
       [](const ReplyPlan& p) {
         EXPECT_EQ(p.chars, kFull.substr(0, 4));
         EXPECT_TRUE(p.hang_up);
       }},
      {MakeFault(Fault::kRawReply,
                 [](FaultSpec& s) {
                   s.raw =
                       "\x02"
                       "0180";
                 }),
       [](const ReplyPlan& p) {
         EXPECT_EQ(p.chars,
                   "\x02"
                   "0180");
       }},
  };
  std::set<Fault> covered;
  for (const Case& c : cases) {
    SCOPED_TRACE(FaultName(c.fault_spec.fault));
    const ReplyPlan plan = PlanReply(kCmdReset, kAtr, c.fault_spec);
    c.check(plan);
    if (c.fault_spec.fault != Fault::kHangUp) {
      EXPECT_FALSE(plan.hang_up);
    }
    covered.insert(c.fault_spec.fault);
  }
  EXPECT_EQ(covered.size(), kAllFaults.size()) << "a fault has no case";
}

TEST(PlanReply, CutInBodyOfAnEmptyReplyKeepsPartOfTheTrailer) {
  const ReplyPlan p = PlanReply(kCmdPowerDown, {}, FaultSpec::Of(Fault::kCutInBody));
  EXPECT_EQ(p.chars,
            "\x02"
            "01810000"
            "8");
  const ReplyPlan n = PlanReply(kCmdPowerDown, {}, FaultSpec::Of(Fault::kNonHex));
  EXPECT_EQ(n.chars.substr(0, 9),
            "\x02"
            "01810000");
  EXPECT_FALSE(FromHex(n.chars.substr(9, 2)).has_value());
}

TEST(PlanReply, FaultNamesAreDistinct) {
  std::set<std::string_view> names;
  for (const Fault f : kAllFaults) names.insert(FaultName(f));
  EXPECT_EQ(names.size(), kAllFaults.size());
  EXPECT_EQ(FaultName(Fault::kCutInExtLength), "CutInExtLength");
}

}  // namespace
}  // namespace ttycard::emu
