// One reader entry of pcscd (one Lun): its reader (with the card session
// in it), its polling wait and whether its device went away.
//
// pcscd numbers the readers of one driver in the high 16 bits of the Lun;
// the low 16 bits are the slot, and a reader of ours has one slot, 0.
#ifndef TTYCARD_PCSC_CONTEXT_H
#define TTYCARD_PCSC_CONTEXT_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

// pcsc-lite's header before the driver's own (see pcsclite_api.h).
#include "pcsclite_api.h"
#include "reader_context.h"

namespace ttycard::pcsc {

// As many readers as pcscd keeps (PCSCLITE_MAX_READERS_CONTEXTS).
inline constexpr unsigned int kMaxReaders = 16;

struct Context final : ifd::ReaderEvents, link::FrameWatcher {
  Context(std::string device_name, std::uint32_t channel);

  // ReaderEvents
  void BlockTime(int seconds) override;
  void UncheckedReader() override;
  // FrameWatcher (installed only while frames are traced)
  void Sent(std::span<const char> wire) override;
  void Received(std::span<const unsigned char> chars, bool accepted, long turnaround_us) override;

  // What an entry point does with a reader that is still settling.
  enum class Settling {
    kWait,       // wait for the rest of the settle time, with `mu` released
    kAnswerNow,  // go on: the reader answers without its line meanwhile
  };
  // Called with `mu` held: true when the reader can be used; a reader whose
  // device went away is reopened here (at most every few seconds), and then
  // settles like a fresh one. With kWait, `mu` is released while waiting
  // (so other entry points go on meanwhile) and held again on return.
  bool Available(Settling settling = Settling::kWait);
  // After a failed call: notices a device that went away (logged once).
  void CheckLost();
  // After a presence query the reader did not answer usably (a reader
  // switched off behind a port that stays): logged once, and its slot reads
  // as empty until it answers again.
  void Unanswered();
  // After a presence answer: a reader that had gone away or fallen silent
  // has answered on its line again (logged once).
  void Answered();

  std::mutex mu;  // one call into the reader at a time
  ifd::Reader reader{*this};
  const std::string device;
  const std::uint32_t channel_id;  // 0x0001PPPP when known, else 0
  bool gone = false;               // the device went away; reopening
  bool silent = false;             // the reader stopped answering its status query
  bool away_logged = false;        // its loss is in the log, its return not yet
  std::chrono::steady_clock::time_point next_reopen{};
  std::condition_variable settle_wake;  // ends waits for the settle (close)

  // Card-event wait (polling.cpp).
  std::mutex wait_mu;
  std::condition_variable wake;
  bool wake_pending = false;
};

// The open reader of a Lun, or null.
std::shared_ptr<Context> Find(unsigned long lun);
// Opens a reader for `lun`: IFD_SUCCESS, or IFD_COMMUNICATION_ERROR with
// the reason in pcscd's log.
long OpenContext(unsigned long lun, const char* device, std::uint32_t channel);
// Closes it (powering the card down first): IFD_SUCCESS or an error code.
long CloseContext(unsigned long lun);

}  // namespace ttycard::pcsc

#endif  // TTYCARD_PCSC_CONTEXT_H
