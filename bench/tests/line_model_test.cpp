// The line clock decides every paced number the bench prints: a character
// must never be delivered before a real 9600-baud 8N2 line could have
// carried it, nor later than that when the line is free.
#include "line_model.h"

#include <gtest/gtest.h>

#include <vector>

namespace ttycard::bench {
namespace {

using std::chrono::microseconds;

TEST(LineModel, NineThousandSixHundredBaudEightNTwo) {
  EXPECT_EQ(CharTime().count(), 1'145'833);  // 11 bits / 9600 baud, in ns
  EXPECT_NEAR(1.0 / CharSeconds(), 872.73, 0.01);
  // The 5-byte T=1 command and its 10-byte answer: 30 + 40 characters.
  EXPECT_NEAR(LineSeconds(70) * 1e3, 80.208, 0.001);
  EXPECT_EQ(LineSeconds(0), 0.0);
}

struct ClockCase {
  const char* name;
  std::vector<int> ready_us;  // when each character is handed to the line
  std::vector<int> end_us;    // when it has arrived, with a 1000 us character time
};

TEST(LineModel, CharacterEndsAtLaterOfReadyAndLineFreePlusOneCharacter) {
  const std::vector<ClockCase> cases = {
      {"burst queues behind itself", {0, 0, 0, 0}, {1000, 2000, 3000, 4000}},
      {"gaps leave the line idle", {0, 5000, 12000}, {1000, 6000, 13000}},
      {"ready while the line is busy", {0, 300, 2500, 2600}, {1000, 2000, 3500, 4500}},
      {"ready exactly as the line frees", {0, 1000, 2000}, {1000, 2000, 3000}},
  };
  for (const ClockCase& c : cases) {
    LineClock line(microseconds(1000));
    const Clock::time_point t0 = Clock::now();
    for (std::size_t i = 0; i < c.ready_us.size(); ++i) {
      const auto end = line.Accept(t0 + microseconds(c.ready_us[i]));
      EXPECT_EQ(std::chrono::duration_cast<microseconds>(end - t0).count(), c.end_us[i])
          << c.name << ", character " << i;
    }
    EXPECT_EQ(line.Free(), t0 + microseconds(c.end_us.back())) << c.name;
  }
}

}  // namespace
}  // namespace ttycard::bench
