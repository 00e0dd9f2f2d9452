// T=1 exchange against a scripted card: the blocks on the wire, sequence
// numbers across exchanges, chaining both ways, waiting-time extensions.
// Each test starts from a fresh process, so the counters start at N(S) 0.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <numeric>

#include "blockproto.h"
#include "fake_line.h"
#include "linkcmds.h"
#include "t1_fixture.h"

namespace ttycard::test {
namespace {

const Bytes kGetChallenge{0x00, 0x84, 0x00, 0x00, 0x26};

using T1Test = T1Fixture;

Bytes Apdu(std::size_t n) {
  Bytes a(n);
  std::iota(a.begin(), a.end(), 1);
  return a;
}

TEST(T1Primitives, LrcAndClassification) {
  const std::array<unsigned char, 8> block{0x00, 0x00, 0x05, 0x00, 0x84, 0x00, 0x00, 0x26};
  EXPECT_EQ(T1CalculateLRC(block.data(), 8), 0xA7);
  EXPECT_EQ(T1CalculateLRC(block.data(), 0), 0x00);

  struct Case {
    unsigned char pcb;
    int type;
  };
  for (const Case c :
       {Case{0x00, T1_I_BLOCK}, Case{0x60, T1_I_BLOCK}, Case{0xC3, T1_S_BLOCK_REQUEST},
        Case{0xE1, T1_S_BLOCK_REQUEST}, Case{0xC0, T1_S_BLOCK}, Case{0xE0, T1_S_BLOCK},
        Case{0x91, T1_R_BLOCK_EDC_ERROR}, Case{0x93, T1_R_BLOCK_EDC_ERROR},
        Case{0x92, T1_R_BLOCK_OTHER_ERROR}}) {
    const std::array<unsigned char, 4> b{0x00, c.pcb, 0x00, 0x00};
    EXPECT_EQ(T1_GetResponseType(b.data(), 4), c.type) << std::hex << int{c.pcb};
  }
  for (unsigned char pcb : {0x80, 0x90, 0x81, 0x82}) {
    const std::array<unsigned char, 4> b{0x00, pcb, 0x00, 0x00};
    const int type = T1_GetResponseType(b.data(), 4);
    for (int code : {T1_I_BLOCK, T1_S_BLOCK, T1_S_BLOCK_REQUEST, T1_R_BLOCK_EDC_ERROR,
                     T1_R_BLOCK_OTHER_ERROR}) {
      EXPECT_NE(type, code) << std::hex << int{pcb};
    }
  }
}

TEST_F(T1Test, FirstExchangeAfterStartUpAndTheNext) {
  Card({Block(0x00, {0x11, 0x22, 0x90, 0x00}), Block(0x40, {0x90, 0x00})});
  EXPECT_EQ(Exchange(kGetChallenge), ADM_OK);
  EXPECT_EQ(Response(), (Bytes{0x11, 0x22, 0x90, 0x00}));
  ASSERT_EQ(Line().frames.size(), 1u);
  // 01 A1 0A, the block, the pass-through byte, the frame checksum.
  Bytes frame{0x01, 0xA1, 0x0A, 0x00, 0x00, 0x05, 0x00, 0x84, 0x00, 0x00, 0x26, 0xA7, 0x00};
  frame.push_back(Adm_CheckSum(frame.data(), static_cast<unsigned int>(frame.size())));
  EXPECT_EQ(Line().frames[0], frame);

  EXPECT_EQ(Exchange(kGetChallenge), ADM_OK);
  EXPECT_EQ(Sent()[1][1], 0x40);
}

TEST_F(T1Test, CommandChunking) {
  struct Case {
    std::size_t length;
    std::vector<std::pair<unsigned char, unsigned char>> blocks;  // PCB, LEN
  };
  const Case cases[] = {
      {0, {{0x00, 0}}},
      {15, {{0x00, 15}}},
      {17, {{0x00, 17}}},
      {19, {{0x00, 19}}},
      {40, {{0x20, 20}, {0x60, 20}, {0x00, 0}}},
      {45, {{0x20, 20}, {0x60, 20}, {0x00, 5}}},
  };
  unsigned char card_ns = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    card_ = ScriptedT1Card{};
    // N(S) of both ends runs on from exchange to exchange: acknowledge each
    // chained block asking for the next one, then answer with the card's
    // next N(S).
    Line().responder = [this, &card_ns](const Bytes& f) {
      const Bytes block(f.begin() + 3, f.end() - 2);
      const bool more = block[1] & 0x20;
      const unsigned char next = (block[1] & 0x40) ? 0x80 : 0x90;
      if (!more) {
        card_.answers.push_back(Block(card_ns ? 0x40 : 0x00, {0x90, 0x00}));
        card_ns ^= 1;
      } else {
        card_.answers.push_back(Block(next));
      }
      return card_(f);
    };
    EXPECT_EQ(Exchange(Apdu(c.length)), ADM_OK);
    ASSERT_EQ(Sent().size(), c.blocks.size());
    for (std::size_t i = 0; i < c.blocks.size(); ++i) {
      EXPECT_EQ(Sent()[i][1] & 0x20, c.blocks[i].first & 0x20) << i;
      EXPECT_EQ(Sent()[i][2], c.blocks[i].second) << i;
    }
  }
}

TEST_F(T1Test, ChainedCommandOnTheWire) {
  Card({Block(0x90), Block(0x80), Block(0x00, {0x90, 0x00})});
  EXPECT_EQ(Exchange(Apdu(45)), ADM_OK);
  ASSERT_EQ(Sent().size(), 3u);
  EXPECT_EQ(Sent()[0][1], 0x20);
  EXPECT_EQ(Sent()[1][1], 0x60);
  EXPECT_EQ(Sent()[2], (Bytes{0x00, 0x00, 0x05, 0x29, 0x2A, 0x2B, 0x2C, 0x2D, 0x2C}));
  Card({Block(0x40, {0x90, 0x00})});
  EXPECT_EQ(Exchange(kGetChallenge), ADM_OK);
  EXPECT_EQ(Sent()[3][1], 0x40);
}

TEST_F(T1Test, ChainedResponseCollectedWithRBlocks) {
  Card({Block(0x20, Bytes(10, 0xAA)), Block(0x40, Bytes(6, 0xBB))});
  EXPECT_EQ(Exchange(kGetChallenge), ADM_OK);
  Bytes expected(16, 0xBB);
  std::fill_n(expected.begin(), 10, 0xAA);
  EXPECT_EQ(Response(), expected);
  ASSERT_EQ(Sent().size(), 2u);
  EXPECT_EQ(Sent()[1], BlockWithLrc(0x90));
}

// After exchanges in which the card numbered its own I-blocks, the R-block
// asks for the N(S) the card will really send next, so nothing is appended
// twice.
TEST_F(T1Test, RBlockNumberFollowsTheCard) {
  Card({Block(0x00, {0x90, 0x00})});  // card N(S) 0
  ASSERT_EQ(Exchange(kGetChallenge), ADM_OK);
  Card({Block(0x60, {0x01}), Block(0x00, {0x02})});  // card N(S) 1 then 0
  ASSERT_EQ(Exchange(kGetChallenge), ADM_OK);
  EXPECT_EQ(Sent()[2], BlockWithLrc(0x80));
  EXPECT_EQ(Response(), (Bytes{0x01, 0x02}));

  // A card that repeats its previous block instead is asked again, and the
  // repeat is not appended.
  Card({Block(0x60, {0x03}), Block(0x60, {0x03}), Block(0x00, {0x04})});
  ASSERT_EQ(Exchange(kGetChallenge), ADM_OK);
  EXPECT_EQ(Response(), (Bytes{0x03, 0x04}));
  EXPECT_EQ(Sent()[4], BlockWithLrc(0x80));
  EXPECT_EQ(Sent()[5], BlockWithLrc(0x80));
}

TEST_F(T1Test, WaitingTimeExtensions) {
  Card({Block(0xC3, {0x05}), Block(0xC3, {0x02}), Block(0x00, {0x90, 0x00})});
  EXPECT_EQ(Exchange(kGetChallenge), ADM_OK);
  EXPECT_EQ(Response(), (Bytes{0x90, 0x00}));
  ASSERT_EQ(Sent().size(), 3u);
  EXPECT_EQ(Sent()[1], (Bytes{0x00, 0xE3, 0x01, 0x05, 0xE7}));
  EXPECT_EQ(Sent()[2], BlockWithLrc(0xE3, {0x02}));
  EXPECT_EQ(Line().blocktimes, (std::vector<int>{15, 6}));
}

TEST_F(T1Test, WaitingTimeExtensionInsideTheChainIsNotData) {
  Card({Block(0x20, {0x01, 0x02}), Block(0xC3, {0x07}), Block(0x40, {0x03})});
  EXPECT_EQ(Exchange(kGetChallenge), ADM_OK);
  EXPECT_EQ(Response(), (Bytes{0x01, 0x02, 0x03}));
  EXPECT_EQ(Sent()[2], BlockWithLrc(0xE3, {0x07}));
}

TEST_F(T1Test, IfsRequestGetsAnIfsResponseAndNoBlockTime) {
  Card({Block(0xC1, {0x20}), Block(0x00, {0x90, 0x00})});
  EXPECT_EQ(Exchange(kGetChallenge), ADM_OK);
  EXPECT_EQ(Sent()[1], (Bytes{0x00, 0xE1, 0x01, 0x20, 0xC0}));
  EXPECT_TRUE(Line().blocktimes.empty());
}

TEST_F(T1Test, FinalBlockOfAChainedCommandIsSettledLikeASingleOne) {
  // WTX and a chained response after the last block of a chained command.
  Card({Block(0x90), Block(0xC3, {0x01}), Block(0x20, {0x0A}), Block(0x40, {0x0B})});
  EXPECT_EQ(Exchange(Apdu(25)), ADM_OK);
  EXPECT_EQ(Response(), (Bytes{0x0A, 0x0B}));
  ASSERT_EQ(Sent().size(), 4u);
  EXPECT_EQ(Sent()[2], BlockWithLrc(0xE3, {0x01}));
  EXPECT_EQ(Sent()[3], BlockWithLrc(0x90));
}

TEST_F(T1Test, ChainedCommandAnsweredByALongChainedResponse) {
  // 255-byte command (12 chained chunks and 15 bytes), 260 bytes back.
  std::initializer_list<std::optional<Bytes>> acks = {Block(0x90), Block(0x80)};
  for (int i = 0; i < 6; ++i) Card(acks);
  Bytes expected;
  unsigned char ns = 0;
  for (int i = 0; i < 13; ++i) {
    const bool last = i == 12;
    Bytes inf(20, static_cast<unsigned char>(i));
    expected.insert(expected.end(), inf.begin(), inf.end());
    Card({Block(static_cast<unsigned char>((ns ? 0x40 : 0) | (last ? 0 : 0x20)), inf)});
    ns ^= 1;
  }
  EXPECT_EQ(Exchange(Apdu(255)), ADM_OK);
  EXPECT_EQ(Response(), expected);
  EXPECT_EQ(length_, 260u);
}

}  // namespace
}  // namespace ttycard::test
