// The termios record built for the reader's line, checked before it is
// applied (a pseudo-terminal would drop parity and force 8-bit characters).
#include "line_settings.h"

#include <gtest/gtest.h>

namespace ttycard::serial {
namespace {

TEST(LineSettingsTest, FlagsForEveryParityAndSize) {
  struct Case {
    int bits;
    char parity;
    tcflag_t size;
    tcflag_t parity_flags;
    tcflag_t iflag;
  };
  const Case cases[] = {
      {8, 'N', CS8, 0, BRKINT},
      {8, 'E', CS8, PARENB, INPCK | BRKINT},
      {8, 'O', CS8, PARENB | PARODD, INPCK | BRKINT},
      {7, 'E', CS7, PARENB, INPCK | BRKINT},
      {6, 'N', CS6, 0, BRKINT},
      {5, 'O', CS5, PARENB | PARODD, INPCK | BRKINT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.bits << c.parity);
    termios t{};
    ASSERT_TRUE(BuildLineSettings(9600, c.bits, c.parity, t));
    EXPECT_EQ(t.c_cflag, B9600 | c.size | c.parity_flags | CSTOPB | CLOCAL | CREAD | HUPCL);
    EXPECT_EQ(t.c_iflag, c.iflag);
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_EQ(cfgetispeed(&t), B9600);
    EXPECT_EQ(cfgetospeed(&t), B9600);
  }
}

TEST(LineSettingsTest, Speeds) {
  struct Case {
    int speed;
    speed_t code;
  };
  for (const Case c : {Case{9600, B9600}, Case{19200, B19200}, Case{38400, B38400},
                       Case{57600, B57600}, Case{115200, B115200}, Case{230400, B230400}}) {
    termios t{};
    ASSERT_TRUE(BuildLineSettings(c.speed, 8, 'N', t)) << c.speed;
    EXPECT_EQ(cfgetispeed(&t), c.code);
    EXPECT_EQ(cfgetospeed(&t), c.code);
  }
}

TEST(LineSettingsTest, RefusedValues) {
  struct Case {
    int speed, bits, parity;
  };
  for (const Case c : {Case{4800, 8, 'N'}, Case{0, 8, 'N'}, Case{9600, 9, 'N'}, Case{9600, 4, 'N'},
                       Case{9600, 8, 'M'}, Case{9600, 8, 'n'}, Case{9600, 8, 0}}) {
    termios t{};
    EXPECT_FALSE(BuildLineSettings(c.speed, c.bits, c.parity, t))
        << c.speed << "/" << c.bits << "/" << c.parity;
  }
  // Only the low byte of the parity argument counts.
  termios t{};
  EXPECT_TRUE(BuildLineSettings(9600, 8, 0x100 | 'E', t));
  EXPECT_NE(t.c_cflag & PARENB, 0u);
}

}  // namespace
}  // namespace ttycard::serial
