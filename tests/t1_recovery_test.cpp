// T=1 error handling: what the driver does when the card asks for a block
// again, sends a damaged block, misbehaves without end or falls silent.
#include <gtest/gtest.h>

#include <array>

#include "blockproto.h"
#include "fake_line.h"
#include "linkcmds.h"
#include "t1_fixture.h"

namespace ttycard::test {
namespace {

const Bytes kApdu{0x00, 0x84, 0x00, 0x00, 0x08};

class T1RecoveryTest : public T1Fixture {
 protected:
  int Exchange(const Bytes& apdu = kApdu) { return T1Fixture::Exchange(apdu); }
};

// The card answers the single I-block (N(S) 0) with an R-block reporting an
// error and naming N(S) 1: it did not take the block and expects the other
// number (the two numberings parted). The same APDU goes out again under that
// number; without an error bit the R-block acknowledges nothing and the
// driver asks for the card's I-block instead, never sending the command again.
TEST_F(T1RecoveryTest, RBlockNamingTheOtherNumberAfterTheLastBlock) {
  Card({Block(0x92), Block(0x00, {0x90, 0x00})});
  EXPECT_EQ(Exchange(), ADM_OK);
  EXPECT_EQ(Pcbs(), (std::vector<unsigned char>{0x00, 0x40}));
  EXPECT_EQ(Bytes(card_.received[0].begin() + 2, card_.received[0].end() - 1),
            Bytes(card_.received[1].begin() + 2, card_.received[1].end() - 1));
  EXPECT_EQ(Response(), (Bytes{0x90, 0x00}));

  Card({Block(0x90), Block(0x40, {0x90, 0x00})});
  EXPECT_EQ(Exchange(), ADM_OK);
  EXPECT_EQ(Pcbs(), (std::vector<unsigned char>{0x00, 0x40, 0x00, 0x92}));
  EXPECT_EQ(Response(), (Bytes{0x90, 0x00}));
}

// A chained block the card did not take (error, the other N(S)) is sent
// again under that number, never taken as acknowledged: the card gets the
// whole command.
TEST_F(T1RecoveryTest, ChainedBlockRefusedWithTheOtherNumberIsRenumbered) {
  Card({Block(0x92), Block(0x80), Block(0x00, {0x90, 0x00})});
  EXPECT_EQ(Exchange(Bytes(30, 0x22)), ADM_OK);
  EXPECT_EQ(Pcbs(), (std::vector<unsigned char>{0x20, 0x60, 0x00}));
  EXPECT_EQ(card_.received[0][3], card_.received[1][3]);
}

// An error R-block naming the number of a block the card acknowledged says
// it lost that block: no block goes again under that number (that would
// splice the next chunk into the command), the card is resynchronised, so it
// drops what it holds, and the exchange fails; when the card will not
// resynchronise, the next exchange tries first.
TEST_F(T1RecoveryTest, LostAcknowledgedBlockIsResynchronisedAndFails) {
  const Bytes answer = Block(0x00, {0x90, 0x00});
  struct Case {
    const char* name;
    std::size_t apdu;
    std::vector<std::optional<Bytes>> answers;  // to the failing exchange and the next
    std::vector<unsigned char> pcbs;            // of every block the driver sends
  };
  // Each case leaves both N(S) at 1.
  const Case cases[] = {
      {"second of three chunks",
       45,
       {Block(0x90), Block(0x82), Block(0xE0), answer},
       {0x20, 0x60, 0xC0, 0x00}},
      {"last block after a chunk",
       25,
       {Block(0x80), Block(0x92), Block(0xE0), answer},
       {0x60, 0x00, 0xC0, 0x00}},
      {"first block, after an R-block of ours",
       5,
       {std::nullopt, Block(0x82), Block(0xE0), answer},
       {0x40, 0x91, 0xC0, 0x00}},
      {"resynchronisation refused: the next exchange tries first",
       45,
       {Block(0x80), Block(0x92), Block(0x92), Block(0x92), Block(0x92), Block(0xE0), answer},
       {0x60, 0x20, 0xC0, 0xC0, 0xC0, 0xC0, 0x00}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    card_ = ScriptedT1Card{};
    Line().responder = [this](const Bytes& f) { return card_(f); };
    for (const auto& a : c.answers) card_.answers.push_back(a);
    EXPECT_EQ(Exchange(Bytes(c.apdu, 0x33)), ADM_COMM_ERROR);
    EXPECT_EQ(length_, 0u);
    EXPECT_EQ(Exchange(), ADM_OK);
    EXPECT_EQ(Pcbs(), c.pcbs);
    for (const Bytes& b : Sent()) {
      if (b[1] == 0xC0) {
        EXPECT_EQ(b, (Bytes{0x00, 0xC0, 0x00, 0xC0}));
      }
    }
  }
}

TEST_F(T1RecoveryTest, EdcErrorWithSameNrResendsTheSameBlock) {
  Card({Block(0x81), Block(0x00, {0x90, 0x00})});
  EXPECT_EQ(Exchange(), ADM_OK);
  EXPECT_EQ(Pcbs(), (std::vector<unsigned char>{0x00, 0x00}));
}

TEST_F(T1RecoveryTest, RBlockWithNr1WithoutErrorIsNotAnEmptyResponse) {
  Card({Block(0x91), Block(0x00, {0x6A, 0x82})});
  EXPECT_EQ(Exchange(), ADM_OK);
  EXPECT_EQ(Response(), (Bytes{0x6A, 0x82}));
  EXPECT_EQ(Pcbs(), (std::vector<unsigned char>{0x00, 0x40}));
}

// The card's previous I-block again (N(S) not the one expected) is never the
// new command's answer; neither is an I-block answering a chained block an
// acknowledgement.
TEST_F(T1RecoveryTest, StaleOrEarlyIBlocksAreRepairedNotTaken) {
  Card({Block(0x40, {0x61, 0x00}), Block(0x00, {0x90, 0x00})});
  EXPECT_EQ(Exchange(), ADM_OK);
  EXPECT_EQ(Response(), (Bytes{0x90, 0x00}));
  EXPECT_EQ(Pcbs(), (std::vector<unsigned char>{0x00, 0x82}));

  // A 30-byte command: its first, chained block answered with an I-block.
  Card({Block(0x00, {0x90, 0x00}), Block(0x80), Block(0x40, {0x90, 0x00})});
  EXPECT_EQ(Exchange(Bytes(30, 0x11)), ADM_OK);
  EXPECT_EQ(Response(), (Bytes{0x90, 0x00}));
  EXPECT_EQ(Pcbs(), (std::vector<unsigned char>{0x00, 0x82, 0x60, 0x92, 0x00}));
}

TEST_F(T1RecoveryTest, ChainedBlockAskedForAgain) {
  Bytes apdu(30, 0x5A);
  Card({Block(0x82), Block(0x90), Block(0x00, {0x90, 0x00})});
  EXPECT_EQ(Exchange(apdu), ADM_OK);
  EXPECT_EQ(Pcbs(), (std::vector<unsigned char>{0x20, 0x20, 0x40}));
}

TEST_F(T1RecoveryTest, DamagedBlocksAreAskedForWithAnEdcRBlock) {
  struct Case {
    const char* name;
    Bytes damaged;  // as sent, LRC included
  };
  Bytes wrong_lrc = BlockWithLrc(0x00, {0x90, 0x00});
  wrong_lrc.back() ^= 0xFF;
  Bytes long_len = BlockWithLrc(0x00, {0x90, 0x00});
  long_len[2] = 3;
  const Case cases[] = {{"wrong LRC", wrong_lrc},
                        {"LEN beyond the block", long_len},
                        {"too short", Bytes{0x00, 0x00}},
                        {"empty", Bytes{}}};
  // The card numbers its I-blocks 0, 1, 0, ...: the R-block asks for the
  // N(S) the card has to send next.
  unsigned char card_ns = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    card_ = ScriptedT1Card{};
    card_.add_lrc = false;
    Line().responder = [this](const Bytes& f) { return card_(f); };
    card_.answers.push_back(c.damaged);
    card_.answers.push_back(BlockWithLrc(card_ns ? 0x40 : 0x00, {0x90, 0x00}));
    EXPECT_EQ(Exchange(), ADM_OK);
    EXPECT_EQ(length_, 2u);
    ASSERT_EQ(card_.received.size(), 2u);
    EXPECT_EQ(card_.received[1], BlockWithLrc(card_ns ? 0x91 : 0x81));
    card_ns ^= 1;
  }
}

// Whatever the card keeps doing, the exchange ends, with an error.
TEST_F(T1RecoveryTest, EndlessMisbehaviourIsBounded) {
  struct Case {
    const char* name;
    Bytes answer;
    int result;
    std::size_t max_blocks;
  };
  const Case cases[] = {
      {"retransmission requests", Block(0x92), ADM_COMM_ERROR, 4},
      {"waiting-time extensions", Block(0xC3, {0x00}), ADM_COMM_ERROR, 66},
      {"IFS requests", Block(0xC1, {0x20}), ADM_COMM_ERROR, 66},
      {"resynchronisation from the card", Block(0xC0), ADM_COMM_ERROR, 5},
      {"unexpected S response", Block(0xE3, {0x01}), ADM_COMM_ERROR, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    card_ = ScriptedT1Card{};
    Line().responder = [this, c](const Bytes& f) {
      card_.answers.push_back(c.answer);
      return card_(f);
    };
    EXPECT_EQ(Exchange(), c.result);
    EXPECT_EQ(length_, 0u);
    EXPECT_LE(card_.received.size(), c.max_blocks);
    EXPECT_GE(card_.received.size(), 2u);
  }
}

TEST_F(T1RecoveryTest, ChainedResponseThatNeverEnds) {
  unsigned char ns = 0;
  Line().responder = [this, &ns](const Bytes& f) {
    card_.answers.push_back(Block(static_cast<unsigned char>((ns ? 0x40 : 0) | 0x20), {0x01}));
    ns ^= 1;
    return card_(f);
  };
  EXPECT_EQ(Exchange(), T1_CHAIN_ERROR);
  EXPECT_EQ(length_, 0xDEADu) << "the caller's length stays as it was";
  EXPECT_EQ(response_[0], 0xEE);
  EXPECT_LE(card_.received.size(), 273u);
}

TEST_F(T1RecoveryTest, EmptyChainedBlocksWithoutEndAreBounded) {
  unsigned char ns = 0;
  Line().responder = [this, &ns](const Bytes& f) {
    card_.answers.push_back(Block(static_cast<unsigned char>((ns ? 0x40 : 0) | 0x20)));
    ns ^= 1;
    return card_(f);
  };
  EXPECT_NE(Exchange(), ADM_OK);
  EXPECT_LE(card_.received.size(), 1024u);
}

// No reply at all is asked for again like a damaged one, three times; the
// card may have taken the block, so the next exchange resynchronises first.
TEST_F(T1RecoveryTest, SilentCardIsAskedAgainThenResynchronised) {
  Card({std::nullopt});
  EXPECT_EQ(Exchange(), ADM_COMM_ERROR);
  EXPECT_EQ(length_, 0u);
  EXPECT_EQ(Pcbs(), (std::vector<unsigned char>{0x00, 0x81, 0x81, 0x81}));
  Card({Block(0xE0), Block(0x00, {0x90, 0x00})});
  EXPECT_EQ(Exchange(), ADM_OK);
  EXPECT_EQ(Pcbs(), (std::vector<unsigned char>{0x00, 0x81, 0x81, 0x81, 0xC0, 0x00}));
}

// An exchange given up half-way: 32 or 4, and the caller's buffers as the
// result says.
TEST_F(T1RecoveryTest, ExchangesGivenUpHalfWay) {
  struct Case {
    const char* name;
    Bytes apdu;
    std::vector<std::optional<Bytes>> answers;
    int result;
    bool length_untouched;
  };
  const Case cases[] = {
      {"R-block of a response chain unanswered",
       kApdu,
       {Block(0x20, {0x01}), std::nullopt},
       T1_CHAIN_ERROR,
       true},
      {"waiting-time extension response unanswered",
       kApdu,
       {Block(0xC3, {0x01}), std::nullopt},
       ADM_COMM_ERROR,
       false},
      {"chained block unanswered", Bytes(30, 0x01), {std::nullopt}, ADM_COMM_ERROR, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    card_ = ScriptedT1Card{};
    Line().responder = [this](const Bytes& f) { return card_(f); };
    T1_CardReset();  // no resynchronisation left over from the previous case
    for (const auto& a : c.answers) card_.answers.push_back(a);
    EXPECT_EQ(Exchange(c.apdu), c.result);
    if (c.length_untouched) {
      EXPECT_EQ(length_, 0xDEADu);
      EXPECT_EQ(response_[0], 0xEE);
    } else {
      EXPECT_EQ(length_, 0u);
    }
  }
}

// After an exchange given up half-way the card may still be in it: the next
// exchange first resynchronises (both ends back to N(S) 0).
TEST_F(T1RecoveryTest, NextExchangeResynchronisesFirst) {
  Card({Block(0x20, {0x01}), std::nullopt});
  ASSERT_EQ(Exchange(), T1_CHAIN_ERROR);
  // I-block, R-block, then that R-block asked for again three times.
  ASSERT_EQ(card_.received.size(), 5u);
  Card({Block(0xE0), Block(0x00, {0x90, 0x00})});
  EXPECT_EQ(Exchange(), ADM_OK);
  EXPECT_EQ(Bytes(response_.begin(), response_.begin() + length_), (Bytes{0x90, 0x00}));
  ASSERT_EQ(card_.received.size(), 7u);
  EXPECT_EQ(card_.received[5], (Bytes{0x00, 0xC0, 0x00, 0xC0}));
  EXPECT_EQ(card_.received[6][1], 0x00) << "N(S) 0 after resynchronisation";
  // The card's numbering restarted too: after its I(0) it sends I(1), then
  // is asked for I(0).
  Card({Block(0x60, {0x01}), Block(0x00, {0x02})});
  EXPECT_EQ(Exchange(), ADM_OK);
  EXPECT_EQ(card_.received.back(), BlockWithLrc(0x80));
}

TEST_F(T1RecoveryTest, ResynchronisationRefusedMeansNoCommand) {
  Card({Block(0x20, {0x01}), std::nullopt});
  ASSERT_EQ(Exchange(), T1_CHAIN_ERROR);
  // Three requests answered with anything but S(RESYNCH response).
  Card({Block(0x00, {0x90, 0x00}), Block(0x92), BlockWithLrc(0xE0)});
  EXPECT_EQ(Exchange(), ADM_COMM_ERROR);
  EXPECT_EQ(length_, 0u);
  for (std::size_t i = 5; i < card_.received.size(); ++i) {
    EXPECT_EQ(card_.received[i], (Bytes{0x00, 0xC0, 0x00, 0xC0})) << "no I-block went out";
  }
  EXPECT_EQ(card_.received.size(), 8u);
  // A card reset needs no resynchronisation.
  T1_CardReset();
  Card({Block(0x00, {0x90, 0x00})});
  EXPECT_EQ(Exchange(), ADM_OK);
  EXPECT_EQ(card_.received.back()[1] & 0x80, 0x00);
}

TEST_F(T1RecoveryTest, AbortRequestIsConfirmedAndFails) {
  Card({Block(0xC2), Block(0x00)});
  EXPECT_EQ(Exchange(), ADM_COMM_ERROR);
  ASSERT_EQ(card_.received.size(), 2u);
  EXPECT_EQ(card_.received[1], BlockWithLrc(0xE2));
}

}  // namespace
}  // namespace ttycard::test
