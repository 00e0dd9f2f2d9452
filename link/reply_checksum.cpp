// The reply checksum learner (see reply_checksum.h).

#include "reply_checksum.h"

namespace ttycard::link {

ReplyChecksum::Event ReplyChecksum::Judge(const ReplySum& reply) const {
  if (!reply.extended) return reply.with_length ? Event::kClean : Event::kDamaged;
  const bool with_allowed = length_sum != LengthSum::kWithout;
  const bool without_allowed = length_sum != LengthSum::kWith;
  return (with_allowed && reply.with_length) || (without_allowed && reply.without_length)
             ? Event::kClean
             : Event::kDamaged;
}

// A clean reply on a checked line that fits only one of the two sums shows
// which one the reader uses.
void ReplyChecksum::LearnLengthSum(const ReplySum& reply) {
  if (!reply.extended || reply.with_length == reply.without_length) return;
  const bool with = reply.with_length;
  switch (length_sum) {
    case LengthSum::kUnknown:
      length_sum = with ? LengthSum::kWithOnce : LengthSum::kWithoutOnce;
      break;
    case LengthSum::kWithOnce:
      length_sum = with ? LengthSum::kWith : LengthSum::kEither;
      break;
    case LengthSum::kWithoutOnce:
      length_sum = with ? LengthSum::kEither : LengthSum::kWithout;
      break;
    case LengthSum::kWith:
    case LengthSum::kWithout:
    case LengthSum::kEither:
      break;  // settled (a reply fitting only the other sum was not clean)
  }
}

// One step of the learning state. `may_repeat`: a damaged reply may be
// asked for again.
Verdict ReplyChecksum::Learn(Event event, bool may_repeat) {
  switch (event) {
    case Event::kClean:
      if (++clean >= kCleanToCheck) state = State::kChecked;
      return Verdict::kAccept;
    case Event::kDamaged:
      if (++damaged >= kDamagedToGiveUp) break;
      if (!may_repeat || repeats >= kRepeats) return Verdict::kAccept;
      ++repeats;
      return Verdict::kAskAgain;
    case Event::kSameAgain:
      break;
  }
  state = State::kUnchecked;
  return Verdict::kConcludeUnchecked;
}

Verdict ReplyChecksum::Reply(const ReplySum& reply, bool repeatable) {
  const Event event = Judge(reply);
  switch (state) {
    case State::kLearning:
      return Learn(event, repeatable);
    case State::kChecked:
      if (event != Event::kClean) return Verdict::kRefuse;
      LearnLengthSum(reply);
      return Verdict::kAccept;
    case State::kUnchecked:
      break;
  }
  return Verdict::kAccept;
}

Verdict ReplyChecksum::Repeated(const ReplySum& reply, bool same_characters) {
  if (state != State::kLearning) return Verdict::kAccept;
  Event event = Judge(reply);
  if (event == Event::kDamaged && same_characters) event = Event::kSameAgain;
  return Learn(event, false);
}

}  // namespace ttycard::link
