// Learning whether a reader's replies carry the XOR of their bytes as their
// checksum, as command frames do, and what to do with each reply meanwhile.
//
// A line starts out learning. Two replies that follow the XOR rule (and
// arrive framed by STX and ETX) before four that do not make it checked:
// from then on a reply that breaks the rule is refused. Four that do not
// first, or the same characters twice in a row, make it unchecked: the
// reader has a rule of its own and every reply is taken as it comes (the
// log is told once). One noisy reply can do neither: noise cannot make a
// reader that never uses the XOR produce two correct ones, and a sound
// reader would need four damaged replies before two clean ones.
//
// While learning, a reply that breaks the rule, to a command that can
// safely be repeated, is asked for again once (three times in all, per
// line): a clean second reply shows the first was damaged, and a second
// reply identical to the first shows a reader with a rule of its own.
//
//   state      event                     next state           verdict
//   learning   clean (1st)               learning             accept
//   learning   clean (2nd)               checked              accept
//   learning   damaged, 4th              unchecked            conclude unchecked
//   learning   damaged, repeatable,      learning             ask again
//              asks left
//   learning   damaged, otherwise        learning             accept
//   (asked)    clean / damaged           as above             accept (the repeat)
//   (asked)    same characters again     unchecked            conclude unchecked
//   checked    clean                     checked              accept
//   checked    damaged                   checked              refuse
//   unchecked  any                       unchecked            accept
//
// Replies of 255 bytes and more carry their length in two extra bytes; a
// reader may or may not count them in its XOR. A checked line accepts
// either until the reader has shown which, by two replies that fit only one
// of the two sums and none that fits only the other (LengthSum below).
#pragma once

#include <cstdint>

namespace ttycard::link {

// What one reply shows of the reader's checksum rule.
struct ReplySum {
  bool extended = false;        // the reply carried the two-byte length
  bool with_length = false;     // framed, and its checksum is the XOR of every byte before it
  bool without_length = false;  // framed, extended, and the XOR leaves the two length bytes out
};

// What the transport does with a reply.
enum class Verdict : std::uint8_t {
  kAccept,             // it is the answer
  kRefuse,             // it is damaged: the exchange fails
  kAskAgain,           // send the same command once more and judge that answer (Repeated)
  kConcludeUnchecked,  // it is the answer, and the reader's checksums are not the XOR
};

struct ReplyChecksum {
  enum class State : std::uint8_t { kLearning, kChecked, kUnchecked };
  // Which XOR a reader's extended replies carry. Learnt on a checked line
  // only; *Once is one reply that fitted only that sum.
  enum class LengthSum : std::uint8_t {
    kUnknown,
    kWithOnce,
    kWithoutOnce,
    kWith,     // the length bytes counted: a reply fitting only the other sum is damaged
    kWithout,  // the length bytes left out: likewise
    kEither,   // the reader has used both: either is accepted
  };
  // A reply, as the learner judges it.
  enum class Event : std::uint8_t {
    kClean,      // follows the XOR rule as far as it is known
    kDamaged,    // does not
    kSameAgain,  // a repeat, character for character the reply it repeats
  };

  // The most replies of each kind the learning needs, and the repeats it
  // may ask for.
  static constexpr std::uint8_t kCleanToCheck = 2;
  static constexpr std::uint8_t kDamagedToGiveUp = 4;
  static constexpr std::uint8_t kRepeats = 3;

  // A reply to a command (`repeatable`: the command may safely be sent
  // twice).
  Verdict Reply(const ReplySum& reply, bool repeatable);
  // The answer to a command sent again after kAskAgain. (When the command
  // got no answer the second time, the first reply stands, as it came.)
  Verdict Repeated(const ReplySum& reply, bool same_characters);

  State state = State::kLearning;
  LengthSum length_sum = LengthSum::kUnknown;
  // While learning: the replies seen of each kind, and the repeats asked.
  std::uint8_t clean = 0;
  std::uint8_t damaged = 0;
  std::uint8_t repeats = 0;

 private:
  Event Judge(const ReplySum& reply) const;
  Verdict Learn(Event event, bool may_repeat);
  void LearnLengthSum(const ReplySum& reply);
};

}  // namespace ttycard::link
