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
  FaultSpec spec;
  std::function<void(const ReplyPlan&)> check;
};

FaultSpec Spec(Fault f, std::function<void(FaultSpec&)> tweak = {}) {
  FaultSpec s = FaultSpec::Of(f);
  if (tweak) tweak(s);
  return s;
}

TEST(PlanReply, EveryFaultShapesTheCharactersAsDocumented) {
  const Case cases[] = {
      {Spec(Fault::kNone), [](const ReplyPlan& p) { EXPECT_EQ(p.chars, kFull); }},
      {Spec(Fault::kSilence), [](const ReplyPlan& p) { EXPECT_EQ(p.chars, ""); }},
      {Spec(Fault::kCutInHead), [](const ReplyPlan& p) { EXPECT_EQ(p.chars, kFull.substr(0, 5)); }},
      {Spec(Fault::kCutInHead, [](FaultSpec& s) { s.cut = 8; }),
       [](const ReplyPlan& p) { EXPECT_EQ(p.chars, kFull.substr(0, 8)); }},
      {Spec(Fault::kCutInExtLength),
       [](const ReplyPlan& p) {
         EXPECT_EQ(p.chars,
                   "\x02"
                   "018000FF00");
       }},
      {Spec(Fault::kCutInBody),
       [](const ReplyPlan& p) {
         EXPECT_EQ(p.chars,
                   "\x02"
                   "018000043B021");
       }},
      {Spec(Fault::kSlow, [](FaultSpec& s) { s.gap = milliseconds(7); }),
       [](const ReplyPlan& p) {
         EXPECT_EQ(p.chars, kFull);
         EXPECT_EQ(p.char_gap, milliseconds(7));
       }},
      {Spec(Fault::kDelay, [](FaultSpec& s) { s.gap = milliseconds(30); }),
       [](const ReplyPlan& p) {
         EXPECT_EQ(p.chars, kFull);
         EXPECT_EQ(p.delay, milliseconds(30));
       }},
      {Spec(Fault::kLowerCase),
       [](const ReplyPlan& p) {
         EXPECT_EQ(p.chars,
                   "\x02"
                   "018000043b021450f8\x03");
       }},
      {Spec(Fault::kNonHex),
       [](const ReplyPlan& p) {
         ASSERT_EQ(p.chars.size(), kFull.size());
         EXPECT_EQ(p.chars.substr(0, 9), kFull.substr(0, 9));
         EXPECT_FALSE(FromHex(p.chars.substr(9, 8)).has_value());
         EXPECT_EQ(p.chars.find_first_of("\x02\x03", 1), p.chars.size() - 1);
       }},
      {Spec(Fault::kWrongChecksum),
       [](const ReplyPlan& p) {
         EXPECT_EQ(p.chars,
                   "\x02"
                   "018000043B02145007\x03");
       }},
      {Spec(Fault::kExtendedLength),
       [](const ReplyPlan& p) {
         EXPECT_EQ(p.chars,
                   "\x02"
                   "018000FF00043B02145007\x03");
       }},
      {Spec(Fault::kExtendedLengthValue),
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
      {Spec(Fault::kExtendedLengthValue,
            [](FaultSpec& s) {
              s.ext_length = 0xFFFF;
              s.ext_send = 2;
            }),
       [](const ReplyPlan& p) {
         EXPECT_EQ(p.chars,
                   "\x02"
                   "018000FFFFFF3B02");
       }},
      {Spec(Fault::kHangUp, [](FaultSpec& s) { s.cut = 4; }),
       [](const ReplyPlan& p) {
         EXPECT_EQ(p.chars, kFull.substr(0, 4));
         EXPECT_TRUE(p.hang_up);
       }},
      {Spec(Fault::kRawReply,
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
    SCOPED_TRACE(FaultName(c.spec.fault));
    const ReplyPlan plan = PlanReply(kCmdReset, kAtr, c.spec);
    c.check(plan);
    if (c.spec.fault != Fault::kHangUp) {
      EXPECT_FALSE(plan.hang_up);
    }
    covered.insert(c.spec.fault);
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
