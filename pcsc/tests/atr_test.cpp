#include "atr.h"

#include <gtest/gtest.h>

#include <vector>

#include "case_name.h"

namespace {

struct AtrCase {
  const char* what;
  std::vector<unsigned char> atr;
  std::uint32_t protocols;  // offered: bit T for T=T
  std::uint32_t runs;       // the protocol the card runs after the ATR, the same way
};

class AtrProtocolsTest : public testing::TestWithParam<AtrCase> {};

TEST_P(AtrProtocolsTest, OffersTheProtocolsItsTdBytesNameAndRunsTheFirstOrTa2s) {
  const auto& c = GetParam();
  const auto info = ttycard::atr::Parse(c.atr.data(), c.atr.size());
  EXPECT_EQ(info.protocols, c.protocols) << c.what;
  EXPECT_EQ(info.runs, c.runs) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Table, AtrProtocolsTest,
    testing::Values(
        AtrCase{"no TD1: T=0 implied", {0x3B, 0x02, 0x14, 0x50}, 0x1, 0x1},
        AtrCase{"no interface bytes, no history", {0x3B, 0x00}, 0x1, 0x1},
        AtrCase{"TA1 TB1 TC1 without TD1", {0x3B, 0x70, 0x11, 0x00, 0xFF}, 0x1, 0x1},
        AtrCase{"TD1 T=1, TD2 T=1 with TA3 TB3",
                {0x3B, 0x84, 0x81, 0x31, 0x20, 0x45, 0x54, 0x54, 0x59, 0x43, 0x4B},
                0x2,
                0x2},
        AtrCase{"TD1 T=0 then TD2 T=1: runs T=0", {0x3B, 0x80, 0x80, 0x01, 0x01}, 0x3, 0x1},
        AtrCase{"TD1 T=1 then TD2 T=0: runs T=1", {0x3B, 0x80, 0x81, 0x00, 0x01}, 0x3, 0x2},
        AtrCase{"specific mode: TA2 T=1, TD1 T=0", {0x3B, 0x80, 0x90, 0x01, 0x01, 0x10}, 0x3, 0x2},
        AtrCase{"specific mode: TA2 T=0, TD1 T=1", {0x3B, 0x80, 0x91, 0x00, 0x00, 0x11}, 0x3, 0x1},
        AtrCase{"specific mode: TA2 names T=2", {0x3B, 0x80, 0x10, 0x02}, 0x1, 0x4},
        AtrCase{"TD1 names T=15", {0x3B, 0x80, 0x0F, 0x8F}, 0x0, 0x0},
        AtrCase{"TD1 names T=14", {0x3B, 0x80, 0x0E, 0x8E}, 0x4000, 0x4000},
        AtrCase{"TD1 after TA1 TB1 TC1", {0x3B, 0xF0, 0x11, 0x00, 0xFF, 0x01, 0x00}, 0x2, 0x2},
        AtrCase{"TD2 names T=15 (global bytes), not a protocol",
                {0x3B, 0x80, 0x80, 0x1F, 0x03, 0x00},
                0x1,
                0x1},
        AtrCase{"inverse convention TS 3F", {0x3F, 0x80, 0x01, 0x00}, 0x2, 0x2},
        AtrCase{"not an ATR: TS 00", {0x00, 0x80, 0x01}, 0, 0}, AtrCase{"TS only", {0x3B}, 0, 0},
        AtrCase{"empty", {}, 0, 0}, AtrCase{"TD1 announced but cut off", {0x3B, 0x80}, 0, 0},
        AtrCase{"TA1 announced but cut off", {0x3B, 0x10}, 0, 0},
        AtrCase{"TD2 announced but cut off", {0x3B, 0x80, 0x81}, 0, 0}),
    ttycard::pcsc::test::CaseName());

TEST(AtrProtocols, NullIsNoAtr) {
  const auto info = ttycard::atr::Parse(nullptr, 4);
  EXPECT_FALSE(info.valid);
  EXPECT_EQ(info.protocols | info.runs, 0u);
}

}  // namespace
