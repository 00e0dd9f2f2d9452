// ttycard reader emulator: plays the serial smart-card reader, and a card
// behind it, on a pseudo-terminal, so that the driver can be tested without
// hardware; tests bind its terminal over a serial node only inside a private
// mount namespace, never opening a real port.
//
// Typical use in a test:
//
//   ttycard::emu::Emulator emu;                 // card present, T=1 ATR
//   ASSERT_TRUE(emu.Start());
//   open the driver on emu.SlavePath() ...
//   emu.InjectFault(FaultSpec::Of(Fault::kSilence).ForCommand(kCmdStatus));
//   ... drive the driver ...
//   ASSERT_TRUE(emu.WaitForFrames(2, 1s));
//   EXPECT_EQ(emu.Frames()[0].wire, "\x02" "01800081" "\x03");
//   EXPECT_THAT(emu.Violations(), IsEmpty());
//
// Everything the emulator receives is recorded (Frames(): raw characters,
// decoded bytes, the reply sent), malformed input included. Violations()
// lists everything a correct driver would never cause: malformed frames,
// unknown commands, wrong data lengths, exchanges with an unpowered card,
// T=0 layout errors and every T=1 protocol error (see t1_card.h). A test that
// expects a clean run asserts it is empty.
//
// A noisy line (options.noise_to_host / noise_to_reader, seeded by
// noise_seed) flips one bit in a character now and then, in either
// direction; with options.reject_malformed the reader answers what it cannot
// decode with a rejection (head 01 <command or 00> 01 00) instead of
// staying silent, as a reader on such a line does. options.reply_checksum
// selects the checksum rule of the replies (XOR, its complement, or 00).
//
// The reader commands (wire.h): 01 STATUS -> 16-byte record (reader.h), byte
// 15 = 00 no card / 01 present / 03 powered; 02 CARD TYPE (1 byte) -> empty;
// 06 NOTIFICATION (1 byte) -> empty; 80 RESET -> the ATR (empty reply when
// there is no card); 81 POWER DOWN -> empty; A0 T=0: CLA INS P1 P2 00 P3 for
// a 5-byte APDU, or the APDU + 00, -> response data + SW1 SW2 (as a T=0 card
// answers: 6C XX when P3 is not what it has, see reader.h); A1 T=1: one
// block + 1 byte -> the card's block (t1_card.h: IFSC/IFSD, misbehaviours
// such as kMissBlock, kResendPrevious, kAskAgain). The card application,
// extended APDUs included, is in card_app.h.
//
// With options.vicc.enabled the card is vsmartcard's vicc (vicc_relay.h):
// Start() also listens on 127.0.0.1:ViccPort(), vicc connects there, and
// the slot shows a card while it is connected.
//
// All methods are thread-safe; the serving thread runs between Start() and
// Stop()/destruction.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "card_app.h"
#include "fault.h"
#include "hex_codec.h"
#include "journal.h"
#include "line_noise.h"
#include "reader.h"
#include "t1_card.h"
#include "wire.h"

namespace ttycard::emu {

class Emulator {
 public:
  explicit Emulator(Options options = {});
  ~Emulator();
  Emulator(const Emulator&) = delete;
  Emulator& operator=(const Emulator&) = delete;

  // Opens the pseudo-terminal (both sides raw; the emulator keeps the slave
  // open too, so the line never hangs up under the driver) and starts
  // serving. False if the terminal cannot be opened or it was started before.
  bool Start();
  // Stops serving and closes the terminal. Idempotent; the destructor calls it.
  void Stop();
  // The slave device path, e.g. /dev/pts/7; empty before Start().
  const std::string& SlavePath() const;

  // vicc relay (options.vicc.enabled): the listening port once started (0
  // without the relay); true once vicc has connected (or a connection is
  // waiting); exchanges with vicc that got no answer.
  std::uint16_t ViccPort() const;
  bool WaitForVicc(std::chrono::milliseconds timeout);
  std::size_t ViccFailures() const;

  // Card slot.
  void SetAtr(Bytes atr);
  void SetCardPresent(bool present);  // removing the card also powers it down
  bool CardPresent() const;
  bool CardPowered() const;
  // Replaces the whole status record (e.g. a short one); nullopt: the normal one.
  void SetStatusRecord(std::optional<Bytes> record);
  std::uint8_t CardType() const;          // last CARD TYPE byte received
  std::uint8_t NotificationMode() const;  // last NOTIFICATION byte received

  // Faults: queued; each reply takes the first queued fault whose command
  // matches (or that has none) and uses up one of its count.
  void InjectFault(FaultSpec fault);
  void ClearFaults();
  std::size_t PendingFaults() const;  // faults not used up yet

  // T=1 card behaviours (t1_card.h) and direct access to the card.
  void ConfigureT1(T1Behaviour behaviour, int count = 1, std::uint8_t value = 0);
  void ClearT1Behaviours();
  // Runs `fn` with the card and its application while the serving thread is
  // held off; do not keep the references.
  void WithCard(const std::function<void(T1Card&, CardApp&)>& fn);

  // Records.
  std::vector<Frame> Frames() const;
  std::size_t FrameCount() const;
  // True once at least n frames (malformed ones included) have been recorded.
  bool WaitForFrames(std::size_t n, std::chrono::milliseconds timeout) const;
  std::vector<std::string> Violations() const;
  std::vector<T1Record> T1Blocks() const;
  // Malformed frames answered with a rejection (options.reject_malformed).
  std::size_t RejectedFrames() const;
  // Characters corrupted by line noise so far, per direction.
  std::size_t CorruptedToHost() const;
  std::size_t CorruptedToReader() const;
  void ClearFrames();
  void ClearRecords();  // frames, violations and T=1 blocks

  // Closes the master side now (the driver's reads then fail: EOF/EIO) and
  // stops serving. Also what Fault::kHangUp does in the middle of a reply.
  void HangUp();
  bool HungUp() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ttycard::emu
