// One fault at every transaction of a few T=1 exchange shapes, against the
// emulator's strict card (in process: its T=1 card behind a channel that can
// damage, drop or replace any one reply). Whatever the fault, success
// carries exactly the card's answer, the card ran the command once and whole
// (or not at all), and the next exchange works. A chained block the card
// acknowledged and dropped cannot be recovered: that exchange fails and
// nothing runs.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "card_app.h"
#include "channel.h"
#include "echo_apdu.h"
#include "journal.h"
#include "reader.h"
#include "t1_engine.h"
#include "wire.h"

namespace {

using ttycard::emu::Bytes;
using ttycard::emu::CardApp;
using ttycard::emu::CardBackend;
using ttycard::emu::CardResponse;
using ttycard::emu::T1Behaviour;

// The card application, recording every command it ran.
class Recorder final : public CardBackend {
 public:
  std::optional<Bytes> PowerUp(bool warm) override { return app_.PowerUp(warm); }
  CardResponse Process(std::span<const std::uint8_t> apdu) override {
    ran.emplace_back(apdu.begin(), apdu.end());
    return app_.Process(apdu);
  }
  std::vector<Bytes> ran;

 private:
  CardApp app_;
};

enum class Fault {
  kNone,
  kBadLrc,          // the reply's last byte changed
  kWrongLen,        // the reply's LEN one more
  kNoReply,         // the link refuses the reply (silence, non-hex, cut short)
  kMissBlock,       // the card does not take the block: R(expected, EDC)
  kResendPrevious,  // the card does not take it and sends its previous block again
  kAskAgain,        // the card asks for the very block again
  kWtx,             // the card asks for more time first
  kIfsRequest,      // the card announces another IFSC first
  kAckNotKept,      // a chained block acknowledged, dropped, then asked for by its number
};

constexpr std::array kFaults{Fault::kBadLrc,    Fault::kWrongLen,       Fault::kNoReply,
                             Fault::kMissBlock, Fault::kResendPrevious, Fault::kAskAgain,
                             Fault::kWtx,       Fault::kIfsRequest,     Fault::kAckNotKept};

const char* Name(Fault f) {
  constexpr std::array kNames{"none",         "bad LRC",
                              "wrong LEN",    "no reply",
                              "missed block", "previous block again",
                              "asked again",  "WTX",
                              "IFS request",  "chained block acknowledged, not kept"};
  return kNames[static_cast<std::size_t>(f)];
}

// The reader's pass-through command against the emulated reader, with one
// fault at transaction `at`.
class SweepChannel final : public ttycard::proto::Channel {
 public:
  SweepChannel(ttycard::emu::Reader& reader) : reader_(reader) {}
  int Transmit(const unsigned char* frame, int len, unsigned char* reply,
               unsigned int* replylen) override {
    const int index = count_++;
    const std::span<const std::uint8_t> data(frame + 3, static_cast<std::size_t>(len - 4));
    if (index == at_) Arm(data);
    Bytes answer = reader_.Handle(frame[1], data).data;
    if (index == at_) {
      if (fault_ == Fault::kNoReply) return 4;
      if (fault_ == Fault::kBadLrc && !answer.empty()) answer.back() ^= 0x5A;
      if (fault_ == Fault::kWrongLen && answer.size() > 2) answer[2] += 1;
    }
    std::copy(answer.begin(), answer.end(), reply);
    *replylen = static_cast<unsigned int>(answer.size());
    return 0;
  }
  void Plan(Fault fault, int at) {
    fault_ = fault;
    at_ = at;
    count_ = 0;
    dropped_ = false;
  }
  int Count() const { return count_; }
  bool Dropped() const { return dropped_; }

 private:
  void Arm(std::span<const std::uint8_t> block) {
    auto& card = reader_.Card();
    switch (fault_) {
      case Fault::kAckNotKept:
        dropped_ = block.size() > 1 && (block[1] & 0xA0) == 0x20;  // a chained I-block
        if (dropped_) card.Configure(T1Behaviour::kAckNotKept, 1);
        break;
      case Fault::kMissBlock:
        card.Configure(T1Behaviour::kMissBlock, 1);
        break;
      case Fault::kResendPrevious:
        card.Configure(T1Behaviour::kResendPrevious, 1);
        break;
      case Fault::kAskAgain:
        card.Configure(T1Behaviour::kAskAgain, 1);
        break;
      case Fault::kWtx:
        card.Configure(T1Behaviour::kWtx, 1, 2);
        break;
      case Fault::kIfsRequest:
        card.Configure(T1Behaviour::kIfsRequest, 1, 40);
        break;
      default:
        break;
    }
  }

  ttycard::emu::Reader& reader_;
  Fault fault_ = Fault::kNone;
  int at_ = -1;
  int count_ = 0;
  bool dropped_ = false;
};

struct Shape {
  const char* name;
  std::size_t data;
  std::size_t answer;
};

constexpr std::array kShapes{Shape{"short", 3, 3}, Shape{"45-byte command", 40, 2},
                             Shape{"chained answer", 2, 70}, Shape{"both chained", 40, 70}};

struct Road {
  const char* name;
  ttycard::t1::Config config;
};

const std::array kRoads{
    Road{"fixed chunks", ttycard::t1::Config{}},
    Road{"card sizes", ttycard::t1::Config{.fixed_chunks = false,
                                           .per_block_waits = true,
                                           .base_block_time = ADM_COMMAND_BLOCK_TIME,
                                           .max_response = 65538,
                                           .max_transactions = 20000,
                                           .ifsd_wanted = 0}},
};

TEST(T1Sweep, OneFaultAtEveryTransaction) {
  int runs = 0;
  for (const Road& road : kRoads) {
    int successes = 0;
    int errors = 0;
    int spliced = 0;
    for (const Shape& shape : kShapes) {
      for (const Fault fault : kFaults) {
        for (int at = 0;; ++at) {
          SCOPED_TRACE(std::string(road.name) + ", " + shape.name + ", " + Name(fault) + " at " +
                       std::to_string(at));
          Recorder card;
          ttycard::emu::Journal journal;
          ttycard::emu::Options options;
          options.t1.ifsc = 20;  // a 40-byte command is chained on both roads
          ttycard::emu::Reader reader(options, journal, &card);
          ASSERT_FALSE(reader.Handle(0x80, {}).data.empty());
          SweepChannel channel(reader);
          unsigned char ns = 0;
          unsigned char nr = 0;
          ttycard::t1::State state{&ns, &nr};
          ttycard::t1::CardReset(state, 20, true, road.config);

          const Bytes apdu = ttycard::test::EchoApdu(shape.data, shape.answer);
          std::array<unsigned char, 512> out{};
          std::size_t length = 0;
          channel.Plan(fault, at);
          const int result = ttycard::t1::Exchange(channel, road.config, state, apdu, out, &length);
          const bool fault_played = at < channel.Count();
          (result == 0 ? successes : errors) += 1;
          if (channel.Dropped()) {
            // The card lost a block it acknowledged: nothing may run, the
            // exchange fails.
            EXPECT_NE(result, 0);
            EXPECT_TRUE(card.ran.empty()) << "the card ran a command nobody sent";
          } else {
            // Any other fault is recovered from within the exchange.
            EXPECT_EQ(result, 0);
          }
          if (result == 0) {
            EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<long>(length)),
                      ttycard::test::EchoAnswer(apdu, shape.answer));
            ASSERT_EQ(card.ran.size(), 1u);
          } else {
            EXPECT_LE(card.ran.size(), 1u) << "a command ran twice";
          }
          for (const Bytes& ran : card.ran) {
            EXPECT_EQ(ran, apdu) << "a cut or spliced command ran";
            spliced += ran != apdu ? 1 : 0;
          }
          EXPECT_TRUE(journal.violations.empty()) << journal.violations.front();

          // The next exchange works, whatever the card was left holding.
          card.ran.clear();
          channel.Plan(Fault::kNone, -1);
          const Bytes next = ttycard::test::EchoApdu(5, 6);
          ASSERT_EQ(ttycard::t1::Exchange(channel, road.config, state, next, out, &length), 0);
          EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<long>(length)),
                    ttycard::test::EchoAnswer(next, 6));
          EXPECT_EQ(card.ran, std::vector<Bytes>{next});
          ++runs;
          if (!fault_played) break;
        }
      }
    }
    std::printf("%s: %d combinations, %d success, %d error, %d spliced\n", road.name,
                successes + errors, successes, errors, spliced);
  }
  EXPECT_GT(runs, 200);
}

}  // namespace
