// A card backend that lends the card side to vsmartcard's vicc, a virtual
// ISO/IEC 7816-4 card written by other people, while the emulator keeps
// playing the reader (frames, T=0 unpacking, the card side of T=1).
//
// vicc is a TCP client: `vicc -t iso7816 -H 127.0.0.1 -P PORT`. It does not
// retry a failed connect, so the relay listens (Listen()) before vicc is
// started, and it exits when the connection closes. Every message, in both
// directions, is a 2-byte big-endian length followed by that many bytes:
//
//   length 1   a control code: 00 power off, 01 power on, 02 reset,
//              04 get ATR. Only 04 is answered (with the ATR).
//   length >1  a command APDU, answered with the response APDU.
//
// vicc answers nothing to an empty message or an unknown control code, so
// every wait has a deadline. An APDU still unanswered at its deadline gets
// 6F 00; one whose card hangs up (vicc exits on commands it cannot take)
// gets no answer at all, not even status bytes (CardResponse::nothing). A reply that comes after
// its deadline is owed: it is skipped when it arrives, so that later replies still match their
// commands. Each message goes out in one write (vicc reads a message with a
// single receive call).
//
// Only loopback is ever used: the relay binds 127.0.0.1.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "card_app.h"
#include "journal.h"

namespace ttycard::emu {

inline constexpr std::uint8_t kViccPowerOff = 0x00;
inline constexpr std::uint8_t kViccPowerOn = 0x01;
inline constexpr std::uint8_t kViccReset = 0x02;
inline constexpr std::uint8_t kViccGetAtr = 0x04;
// Status word of an APDU that a connected card left unanswered.
inline constexpr std::uint16_t kViccNoAnswerSw = 0x6F00;

struct ViccOptions {
  bool enabled = false;    // the emulator relays its card to vicc
  std::uint16_t port = 0;  // 0: an ephemeral port
  std::chrono::milliseconds reply_timeout{5000};
};

class ViccRelay : public CardBackend {
 public:
  // Trace lines go to `journal` (only from the CardBackend calls, which the
  // emulator makes while it holds its own lock).
  ViccRelay(ViccOptions options, Journal& journal);
  ~ViccRelay() override;
  ViccRelay(const ViccRelay&) = delete;
  ViccRelay& operator=(const ViccRelay&) = delete;

  // Binds 127.0.0.1:port and listens. False (errno set) on failure.
  bool Listen();
  std::uint16_t Port() const;
  // Waits until a card has connected (or `timeout` passes).
  bool WaitForClient(std::chrono::milliseconds timeout);
  // Closes the connection (vicc then exits) and the listening socket.
  void Close();
  // Exchanges that got no answer (timeout, closed connection, bad reply).
  std::size_t Failures() const;

  bool Present() override;
  std::optional<Bytes> PowerUp(bool warm) override;
  void PowerDown() override;
  CardResponse Process(std::span<const std::uint8_t> apdu) override;

 private:
  using Clock = std::chrono::steady_clock;

  bool AcceptLocked();  // takes a pending connection, if any
  bool SendLocked(std::span<const std::uint8_t> payload);
  // The next message that answers a request of ours, skipping owed ones.
  std::optional<Bytes> ReceiveLocked(Clock::time_point deadline);
  std::optional<Bytes> ReadMessageLocked(Clock::time_point deadline);
  // Bytes read before the deadline, a closed connection or an error.
  std::size_t ReadExactLocked(std::uint8_t* out, std::size_t n, Clock::time_point deadline);
  void DropClientLocked(const std::string& why);
  void Fail(const std::string& what);

  ViccOptions options_;
  Journal& journal_;
  mutable std::mutex mu_;
  int listen_fd_ = -1;
  int client_fd_ = -1;
  std::uint16_t port_ = 0;
  int owed_ = 0;  // replies that timed out and may still arrive
  std::size_t failures_ = 0;
  bool timed_out_ = false;  // why the last ReadExactLocked failed
};

}  // namespace ttycard::emu
