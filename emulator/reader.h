// The reader itself: command dispatch, card slot state and the status record.
// Handle() maps one well-formed command to the data of its reply; I/O,
// framing and faults are the Emulator's business.
//
// T=0 (command A0) plays a real T=0 card: for a 5-byte APDU (P3 = Le, 00
// meaning 256) the card sends exactly P3 data bytes or only the status
// bytes, so an answer with 1..256 data bytes other than Le becomes 6C XX
// (XX = the bytes available, 00 for 256) for the host to re-issue; longer
// answers pass whole. The own card answers the retry afresh, as a real
// card would run it. A card behind a bridge (a backend given to the reader,
// such as vicc) has already run the command when the reader learns that P3
// was wrong, so the reader keeps that answer: the next command that reaches
// the card, if it is the retry (same CLA INS P1 P2, P3 = XX), gets it
// without the command running again; anything else that reaches the card
// (another APDU, a T=1 block, a reset, a power-down, the card leaving)
// drops it. STATUS, CARD TYPE and NOTIFICATION stay in the reader and do
// not. Extended-length APDUs (Lc 00 and more bytes) get
// 67 00: only T=1 carries them. Answers of 255 bytes and more (data + SW)
// go in the extended reply form, or, with t0_cut_long_replies, answers
// over 255 bytes are cut to 253 data bytes + SW.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <span>
#include <string_view>

#include "card_app.h"
#include "journal.h"
#include "t1_card.h"
#include "vicc_relay.h"
#include "wire.h"

namespace ttycard::emu {

// Which transmission protocol the emulated card speaks. kAny accepts both
// command 0xA0 (T=0) and 0xA1 (T=1); otherwise the other one is a violation
// and gets an empty reply.
enum class CardProtocol : std::uint8_t { kAny, kT0, kT1 };

// TS 3B, T0 84 (TD1, 4 historical bytes), TD1 81 (TD2, T=1), TD2 31 (TA3, TB3,
// T=1), TA3 20 (IFSC 32), TB3 45 (BWI 4, CWI 5), "TTYC", TCK 4B.
inline constexpr std::array<std::uint8_t, 11> kDefaultT1Atr = {0x3B, 0x84, 0x81, 0x31, 0x20, 0x45,
                                                               0x54, 0x54, 0x59, 0x43, 0x4B};
inline constexpr std::size_t kAtrTa3 = 4;
// kDefaultT1Atr announcing another IFSC in TA3, with its TCK recomputed.
// The reader uses it (with options.t1.ifsc) unless an ATR is given.
Bytes DefaultT1Atr(std::uint8_t ifsc);
// TS 3B, T0 02 (2 historical bytes, T=0 implied), 14 50.
inline constexpr std::array<std::uint8_t, 4> kDefaultT0Atr = {0x3B, 0x02, 0x14, 0x50};

// Status record (command 0x01), 16 bytes:
//   0..2  'T' 'T' 'Y'          3..4  firmware version 01 00
//   5     card type last selected (00 after start)
//   6     notification mode last set (00 after start)
//   7..14 00
//   15    card status: 00 no card, 01 card present (unpowered), 03 card powered
inline constexpr std::size_t kStatusSize = 16;
inline constexpr std::uint8_t kStatusNoCard = 0x00;
inline constexpr std::uint8_t kStatusPresent = 0x01;
inline constexpr std::uint8_t kStatusPowered = 0x03;

struct Options {
  Bytes atr;  // empty: kDefaultT0Atr for kT0, else kDefaultT1Atr
  CardProtocol protocol = CardProtocol::kAny;
  bool card_present = true;
  Bytes unknown_command_reply;    // reply data to unknown command codes
  bool answer_malformed = false;  // malformed frames: empty reply instead of silence
  // Malformed frames (bad hex, checksum or length byte, no ETX, stray
  // characters) are answered at once with an empty reply whose head is
  // 01 <command or 00> 01 00, and counted (Emulator::RejectedFrames())
  // instead of being violations. A frame without ETX is rejected once the
  // line has been quiet for 50 ms (a host must not pause that long inside
  // a frame). Use it whenever noise_to_reader > 0.
  bool reject_malformed = false;
  ReplyChecksum reply_checksum = ReplyChecksum::kXor;
  // Line noise: probability per character of one flipped bit, towards the
  // host (replies, after faults) and towards the reader (before framing).
  // Each direction has its own generator seeded from noise_seed.
  double noise_to_host = 0.0;
  double noise_to_reader = 0.0;
  std::uint64_t noise_seed = 0;
  // T=0 answers of 255 bytes and more go in the extended form; with this
  // set, answers over 255 bytes are cut to 253 data bytes + SW instead.
  bool t0_cut_long_replies = false;
  T1Config t1;                        // t1.ifsc also sets TA3 of the default T=1 ATR
  std::uint8_t slow_wtx_default = 3;  // WTX requests of INS C8 with P1 = 00
  std::uint32_t challenge_seed = 0x2545F491;
  std::function<void(std::string_view)> trace;  // trace lines; may be empty
  FILE* trace_file = nullptr;                   // trace lines also go here, one per line
  ViccOptions vicc;  // enabled: the card is vicc's, reached through a relay
};

struct ReaderReply {
  Bytes data;
  bool extended = false;  // send in the 0xFF extended-length form
};

// The card behind the contacts is `backend` when given (it must outlive the
// reader), else the reader's own CardApp. A backend that reports no card
// (Present()) empties the slot; its ATR, when it has one, replaces the
// configured one at each reset.
class Reader {
 public:
  Reader(const Options& options, Journal& journal, CardBackend* backend = nullptr);

  ReaderReply Handle(std::uint8_t command, std::span<const std::uint8_t> data);

  void SetAtr(Bytes atr) { atr_ = std::move(atr); }
  const Bytes& Atr() const { return atr_; }
  void SetCardPresent(bool present);
  bool CardPresent() const { return present_; }
  bool CardPowered() const { return powered_; }
  void SetStatusRecord(std::optional<Bytes> record) { status_override_ = std::move(record); }
  Bytes StatusRecord() const;
  std::uint8_t CardType() const { return card_type_; }
  std::uint8_t NotificationMode() const { return notification_; }

  CardApp& App() { return app_; }  // the own application, even when unused
  T1Card& Card() { return card_; }

 private:
  // A T=0 answer turned into 6C XX, kept for the retry.
  struct KeptT0Answer {
    std::array<std::uint8_t, 4> header;  // CLA INS P1 P2
    std::uint8_t p3;                     // XX
    CardResponse response;
  };
  using KeptT0 = std::optional<KeptT0Answer>;

  ReaderReply Exchange(std::uint8_t command, std::span<const std::uint8_t> data, KeptT0 kept);
  ReaderReply T0(std::span<const std::uint8_t> data, KeptT0 kept);
  void ExpectLength(std::string_view name, std::span<const std::uint8_t> data, std::size_t n);
  bool CardIn();  // present and, for the backend, still there

  Journal& journal_;
  CardProtocol protocol_;
  Bytes unknown_reply_;
  bool t0_cut_;
  CardApp app_;
  CardBackend& backend_;
  T1Card card_;
  Bytes atr_;
  bool present_;
  bool powered_ = false;
  bool backend_present_;
  const bool bridged_;  // the card is a backend that was given, not app_
  std::uint8_t card_type_ = 0;
  std::uint8_t notification_ = 0;
  std::optional<Bytes> status_override_;
  KeptT0 kept_t0_;
};

}  // namespace ttycard::emu
