// The reply checksum: a reader whose replies carry the XOR of their bytes is
// recognised and checked from then on; a reader with a rule of its own keeps
// working unchecked; a damaged reply while the link is still learning is
// asked for again when the command can safely be repeated.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "fake_line.h"
#include "linkcmds.h"

namespace ttycard::test {
namespace {

const Bytes kData{0x11, 0x22, 0x33};

// The same reply with its checksum byte changed by `delta` (0: correct).
std::string WithChecksum(const Bytes& data, std::uint8_t delta, std::uint8_t command = 0x01) {
  std::string wire = ReplyWire(data, command);
  const std::size_t at = wire.size() - 3;
  const Bytes sum = Unhex(wire.substr(at, 2));
  wire.replace(at, 2, Hex({static_cast<std::uint8_t>(sum[0] ^ delta)}));
  return wire;
}

std::string WithEnd(const Bytes& data, char etx) {
  std::string wire = ReplyWire(data);
  wire.back() = etx;
  return wire;
}

struct Step {
  std::vector<std::string> replies;  // what the reader answers, in order, to this call
  std::uint8_t command;              // 0x01 status (may be repeated), 0xA0 T=0 (may not)
  int result;
  std::size_t frames;  // frames this call wrote
};

struct Case {
  const char* name;
  std::vector<Step> steps;
};

std::string Name(const testing::TestParamInfo<Case>& info) {
  std::string n = info.param.name;
  for (char& c : n) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return n;
}

class ReplyChecksum : public testing::TestWithParam<Case> {
 protected:
  void SetUp() override { ResetLine(); }
};

TEST_P(ReplyChecksum, Steps) {
  std::vector<std::string> queue;
  Line().responder = [&queue](const Bytes&) {
    if (queue.empty()) return std::string();
    std::string next = queue.front();
    queue.erase(queue.begin());
    return next;
  };
  int index = 0;
  for (const Step& step : GetParam().steps) {
    SCOPED_TRACE(index++);
    queue = step.replies;
    const std::size_t before = Line().frames.size();
    const Bytes frame{0x01, step.command, 0x00, static_cast<std::uint8_t>(0x01 ^ step.command)};
    std::array<unsigned char, ADM_MAX_REPLY> reply{};
    reply.fill(0xEE);
    unsigned int length = 777;
    EXPECT_EQ(Adm_Transmit(frame.data(), 4, reply.data(), &length), step.result);
    EXPECT_EQ(Line().frames.size() - before, step.frames);
    if (step.result == ADM_OK) {
      EXPECT_EQ(Bytes(reply.begin(), reply.begin() + length), kData);
    } else {
      EXPECT_EQ(length, 777u);
      EXPECT_EQ(reply[0], 0xEE);
    }
  }
}

const std::string kGood = WithChecksum(kData, 0);
const std::string kOdd = WithChecksum(kData, 0x5A);  // a rule of its own, every time
// The reply with one data hex digit changed, as line noise does it.
std::string DataDigit(std::string wire, std::size_t digit, char c) {
  wire[9 + digit] = c;
  return wire;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReplyChecksum,
    testing::Values(Case{"sound reader checked after two replies",
                         {{{kGood}, 0x01, ADM_OK, 1},
                          {{kGood}, 0x01, ADM_OK, 1},
                          {{WithChecksum(kData, 0x01)}, 0x01, ADM_COMM_ERROR, 1},
                          {{DataDigit(kGood, 3, '3')}, 0xA0, ADM_COMM_ERROR, 1}}},
                    Case{"framing checked too",
                         {{{kGood}, 0x01, ADM_OK, 1},
                          {{kGood}, 0x01, ADM_OK, 1},
                          {{WithEnd(kData, 'X')}, 0xA0, ADM_COMM_ERROR, 1},
                          {{kGood}, 0xA0, ADM_OK, 1}}},
                    Case{"damaged first reply asked for again",
                         {{{WithChecksum(kData, 0x10), kGood}, 0x01, ADM_OK, 2},
                          {{kGood}, 0x01, ADM_OK, 1},
                          {{WithChecksum(kData, 0x10)}, 0x01, ADM_COMM_ERROR, 1}}},
                    Case{"reader with its own rule keeps working",
                         {{{kOdd, kOdd}, 0x01, ADM_OK, 2},
                          {{kOdd}, 0x01, ADM_OK, 1},
                          {{kOdd}, 0xA0, ADM_OK, 1},
                          {{kOdd}, 0x01, ADM_OK, 1}}},
                    Case{"unrepeatable command taken as it came while learning",
                         {{{kOdd}, 0xA0, ADM_OK, 1}, {{kGood}, 0xA0, ADM_OK, 1}}},
                    Case{"four odd replies end the learning",
                         {{{kOdd}, 0xA0, ADM_OK, 1},
                          {{WithChecksum(kData, 0x33)}, 0xA0, ADM_OK, 1},
                          {{WithChecksum(kData, 0x44)}, 0xA0, ADM_OK, 1},
                          {{WithChecksum(kData, 0x55)}, 0xA0, ADM_OK, 1},
                          {{kGood}, 0xA0, ADM_OK, 1},
                          {{kGood}, 0xA0, ADM_OK, 1},
                          {{kOdd}, 0x01, ADM_OK, 1}}}),
    Name);

// Replies of 255 bytes and more: the XOR with or without the two length
// bytes, until the reader has shown which it uses.
TEST(ReplyChecksumExtended, EitherSumUntilTheReaderShowsWhich) {
  ResetLine();
  const Bytes data(255, 0x41);
  std::string with = ExtendedReplyWire(data, 255);
  std::string without = with;
  {
    const std::size_t at = without.size() - 3;
    const Bytes sum = Unhex(without.substr(at, 2));
    without.replace(at, 2, Hex({static_cast<std::uint8_t>(sum[0] ^ 0x00 ^ 0xFF)}));  // 00 FF
  }
  std::vector<std::string> queue{ReplyWire(kData), ReplyWire(kData), without,
                                 without,          without,          with};
  Line().responder = [&queue](const Bytes&) {
    std::string next = queue.front();
    queue.erase(queue.begin());
    return next;
  };
  const Bytes frame{0x01, 0xA0, 0x00, 0xA1};
  std::array<unsigned char, ADM_MAX_REPLY> reply{};
  unsigned int length = 0;
  const std::array expected{ADM_OK, ADM_OK, ADM_OK, ADM_OK, ADM_OK, ADM_COMM_ERROR};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(Adm_Transmit(frame.data(), 4, reply.data(), &length), expected[i]) << i;
  }
}

}  // namespace
}  // namespace ttycard::test
