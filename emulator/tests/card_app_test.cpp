#include "card_app.h"

#include <gtest/gtest.h>

#include "fixtures.h"

namespace ttycard::emu {
namespace {

using testing::H;

TEST(CardApp, StatusWordsOfTheCommandSet) {
  struct Case {
    const char* apdu;
    std::uint16_t sw;
    std::size_t data_len;
  };
  const Case cases[] = {
      {"00 A4 00 00 02 3F 00", 0x9000, 0},
      {"00 A4 04 00 02 2F 00", 0x9000, 0},  // by name, as a T=0 host sends it
      {"00 A4 00 00 02 12 34", 0x6A82, 0},
      {"00 A4 08 00 02 3F 00", 0x6A86, 0},
      {"00 A4 00 00 01 3F", 0x6700, 0},
      {"00 B0 00 00 10", 0x6986, 0},  // MF current: no EF to read
      {"A0 A4 00 00 02 3F 00", 0x6E00, 0},
      {"00 12 00 00", 0x6D00, 0},
      {"00 84 00 00 08", 0x9000, 8},
      {"00 84 00 00 00", 0x9000, 256},
      {"00 84 01 00 08", 0x6A86, 0},
      {"00 84 00 00 01 AA", 0x6700, 0},
      {"80 EC 00 00 03 01 02 03", 0x9000, 3},
      {"80 EC 01 05 01 77", 0x9000, 0x105},
      {"80 EC 10 00 00", 0x9000, kEchoMax},
      {"80 C8 00 00", 0x9000, 0},
      {"00 A4", 0x6700, 0},
      {"00 A4 00 00 05 3F 00", 0x6700, 0},  // Lc larger than the data
      {"00 A4 00 00 00 3F 00", 0x6700, 0},  // case 2E: SELECT without data
      {"00 A4 00 00 00", 0x6700, 0},        // case 2S, Le 256: no data either
      {"00 A4 00 00 00 3F", 0x6700, 0},     // Lc 00 in a short APDU
      // Extended lengths: 2E, 3E, 4E.
      {"00 84 00 00 00 01 00", 0x9000, 256},
      {"00 84 00 00 00 00 00", 0x9000, 65536},
      {"80 EC 00 00 00 00 02 AA BB", 0x9000, 2},
      {"80 EC 10 00 00 00 02 AA BB", 0x9000, 0x1000},  // over the short cap
      {"80 EC FF FF 00 00 01 AA 00 00", 0x9000, 0xFFFF},
      {"00 A4 00 00 00 00 02 2F 02 01 00", 0x9000, 0},
      {"80 EC 00 00 00 00 02 AA", 0x6700, 0},     // Lc larger than the data
      {"80 EC 00 00 00 00 00 AA", 0x6700, 0},     // Lc 0000
      {"80 EC 00 00 00 00 01 AA 00", 0x6700, 0},  // one Le byte in an extended APDU
      {"80 EC 00 00 00 00 01 AA 00 00 00", 0x6700, 0},
  };
  for (const Case& c : cases) {
    CardApp app;
    const CardResponse r = app.Process(H(c.apdu));
    EXPECT_EQ(r.sw, c.sw) << c.apdu;
    EXPECT_EQ(r.data.size(), c.data_len) << c.apdu;
  }
}

TEST(CardApp, ReadBinaryWalksTheLongFile) {
  const Bytes file = CardApp::FileContent(kFileLong);
  ASSERT_EQ(file.size(), 300u);
  struct Case {
    const char* apdu;
    std::size_t offset, len;
    std::uint16_t sw;
  };
  const Case cases[] = {
      {"00 B0 00 00 00", 0, 256, 0x9000},  {"00 B0 01 00 20", 256, 32, 0x9000},
      {"00 B0 01 22 14", 290, 10, 0x6282},  // 20 asked, 10 left
      {"00 B0 01 2B 01", 299, 1, 0x9000},  {"00 B0 01 2C 01", 0, 0, 0x6B00},
      {"00 B0 80 00 01", 0, 0, 0x6A86},
  };
  CardApp app;
  ASSERT_EQ(app.Process(H("00 A4 00 00 02 2F 00")).sw, 0x9000);
  for (const Case& c : cases) {
    const CardResponse r = app.Process(H(c.apdu));
    EXPECT_EQ(r.sw, c.sw) << c.apdu;
    EXPECT_EQ(r.data, Bytes(file.begin() + static_cast<std::ptrdiff_t>(c.offset),
                            file.begin() + static_cast<std::ptrdiff_t>(c.offset + c.len)))
        << c.apdu;
  }
  EXPECT_EQ(CardApp::FileContent(kFileShort), Bytes({'T', 'T', 'Y', 'C', 'A', 'R', 'D', ' ', 'E',
                                                     'M', 'U', 'L', 'A', 'T', 'O', 'R'}));
  // The content must not repeat every 256 bytes, or an offset error could hide.
  EXPECT_NE(Bytes(file.begin(), file.begin() + 16), Bytes(file.begin() + 256, file.begin() + 272));
}

TEST(CardApp, ExtendedReadBinaryWalksTheLargeFile) {
  const Bytes file = CardApp::FileContent(kFileLarge);
  ASSERT_EQ(file.size(), 8000u);
  struct Case {
    const char* apdu;
    std::size_t offset, len;
    std::uint16_t sw;
  };
  const Case cases[] = {
      {"00 B0 00 00 00 1F 40", 0, 8000, 0x9000},
      {"00 B0 00 00 00 00 00", 0, 8000, 0x6282},  // Le 65536
      {"00 B0 10 00 00 10 00", 4096, 3904, 0x6282},
      {"00 B0 1F 00 00 00 40", 7936, 64, 0x9000},
      {"00 B0 1F 00 00 01 00", 7936, 64, 0x6282},
      {"00 B0 1F 3F 00", 7999, 1, 0x6282},  // short Le 256 at the last byte
      {"00 B0 1F 40 00 00 01", 0, 0, 0x6B00},
  };
  CardApp app;
  ASSERT_EQ(app.Process(H("00 A4 00 00 02 2F 02")).sw, 0x9000);
  for (const Case& c : cases) {
    const CardResponse r = app.Process(H(c.apdu));
    EXPECT_EQ(r.sw, c.sw) << c.apdu;
    EXPECT_EQ(r.data, Bytes(file.begin() + static_cast<std::ptrdiff_t>(c.offset),
                            file.begin() + static_cast<std::ptrdiff_t>(c.offset + c.len)))
        << c.apdu;
  }
  // No period of 256 (or 2048) bytes that could hide an offset error.
  EXPECT_NE(Bytes(file.begin(), file.begin() + 64), Bytes(file.begin() + 256, file.begin() + 320));
  EXPECT_NE(Bytes(file.begin(), file.begin() + 64),
            Bytes(file.begin() + 2048, file.begin() + 2112));
  // The largest ECHO: 65535 data bytes come back whole.
  Bytes apdu = {0x80, 0xEC, 0x00, 0x00, 0x00, 0xFF, 0xFF};
  for (std::size_t i = 0; i < 0xFFFF; ++i) apdu.push_back(static_cast<std::uint8_t>(i * 7));
  const CardResponse echo = app.Process(apdu);
  EXPECT_EQ(echo.sw, 0x9000);
  EXPECT_EQ(echo.data, Bytes(apdu.begin() + 7, apdu.end()));
}

TEST(CardApp, EchoPadsWithTheDocumentedFiller) {
  CardApp app;
  const CardResponse r = app.Process(H("80 EC 01 05 02 AA BB"));
  ASSERT_EQ(r.data.size(), 0x105u);
  EXPECT_EQ(r.data[0], 0xAA);
  EXPECT_EQ(r.data[1], 0xBB);
  EXPECT_EQ(r.data[2], 0x02);
  EXPECT_EQ(r.data[0x104], 0x04);
  EXPECT_EQ(r.Apdu().size(), 0x107u);
  EXPECT_EQ(r.Apdu().back(), 0x00);
}

TEST(CardApp, SlowCommandAsksForExtensions) {
  CardApp app(1, 4);
  const CardResponse explicit_count = app.Process(H("80 C8 02 05"));
  EXPECT_EQ(explicit_count.wtx_requests, 2);
  EXPECT_EQ(explicit_count.wtx_multiplier, 5);
  const CardResponse dflt = app.Process(H("80 C8 00 00"));
  EXPECT_EQ(dflt.wtx_requests, 4);
  EXPECT_EQ(dflt.wtx_multiplier, 1);
}

TEST(CardApp, ChallengesDifferButRepeatAfterReset) {
  CardApp app;
  const Bytes a = app.Process(H("00 84 00 00 08")).data;
  const Bytes b = app.Process(H("00 84 00 00 08")).data;
  EXPECT_NE(a, b);
  app.Reset();
  EXPECT_EQ(app.Process(H("00 84 00 00 08")).data, a);
}

}  // namespace
}  // namespace ttycard::emu
