#include "atr.h"

#include <gtest/gtest.h>

#include <vector>

#include "case_name.h"

namespace {

constexpr auto AtrProtocols = ttycard::atr::Protocols;

struct AtrCase {
  const char* what;
  std::vector<unsigned char> atr;
  std::uint32_t protocols;  // bit T for T=T
};

class AtrProtocolsTest : public testing::TestWithParam<AtrCase> {};

TEST_P(AtrProtocolsTest, OffersTheProtocolsItsTdBytesName) {
  const auto& c = GetParam();
  EXPECT_EQ(AtrProtocols(c.atr.data(), c.atr.size()), c.protocols) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Table, AtrProtocolsTest,
    testing::Values(AtrCase{"no TD1: T=0 implied", {0x3B, 0x02, 0x14, 0x50}, 0x1},
                    AtrCase{"no interface bytes, no history", {0x3B, 0x00}, 0x1},
                    AtrCase{"TA1 TB1 TC1 without TD1", {0x3B, 0x70, 0x11, 0x00, 0xFF}, 0x1},
                    AtrCase{"TD1 T=1, TD2 T=1 with TA3 TB3",
                            {0x3B, 0x84, 0x81, 0x31, 0x20, 0x45, 0x54, 0x54, 0x59, 0x43, 0x4B},
                            0x2},
                    AtrCase{"TD1 T=0 then TD2 T=1", {0x3B, 0x80, 0x80, 0x01, 0x01}, 0x3},
                    AtrCase{
                        "TD1 after TA1 TB1 TC1", {0x3B, 0xF0, 0x11, 0x00, 0xFF, 0x01, 0x00}, 0x2},
                    AtrCase{"TD2 names T=15 (global bytes), not a protocol",
                            {0x3B, 0x80, 0x80, 0x1F, 0x03, 0x00},
                            0x1},
                    AtrCase{"inverse convention TS 3F", {0x3F, 0x80, 0x01, 0x00}, 0x2},
                    AtrCase{"not an ATR: TS 00", {0x00, 0x80, 0x01}, 0},
                    AtrCase{"TS only", {0x3B}, 0}, AtrCase{"empty", {}, 0},
                    AtrCase{"TD1 announced but cut off", {0x3B, 0x80}, 0},
                    AtrCase{"TA1 announced but cut off", {0x3B, 0x10}, 0},
                    AtrCase{"TD2 announced but cut off", {0x3B, 0x80, 0x81}, 0}),
    ttycard::pcsc::test::CaseName());

TEST(AtrProtocols, NullIsNoAtr) {
  EXPECT_EQ(AtrProtocols(nullptr, 4), 0u);
}

}  // namespace
