// One reader as an object, for hosts that drive several readers at once:
// its own serial line, reader link, card record, T=1 numbering and sizes.
//
// The version 1.0 entry points are the process's one reader, kept in the
// module records (ioport, ICC, the T=1 counters); a Reader runs the same
// serial, link and protocol code on state of its own, with the limits of a
// PC/SC host: the card's own T=1 block sizes, APDUs of any length, answers
// up to 65536 bytes and SW1 SW2, and every reader command awaited for the
// reader-command block time whatever an earlier exchange needed.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

#include "ifdhandler.h"
#include "link.h"
#include "port.h"
#include "t0_engine.h"
#include "t1_engine.h"

namespace ttycard::ifd {

// What a host wants to hear about a reader.
class ReaderEvents {
 public:
  virtual void BlockTime(int /*seconds*/) {}  // the reply timeout changed
  virtual void UncheckedReader() {}           // its reply checksums are not the XOR

 protected:
  ~ReaderEvents() = default;
};

// Longest command and response through Reader::Transmit.
inline constexpr std::size_t kMaxCommand = 4 + 3 + 65535 + 2;  // extended case 4
inline constexpr std::size_t kMaxResponse = 65536 + 2;
// The IFSD asked of T=1 cards: the largest whose block (INF and 4 bytes) one
// reply of the reader carries.
inline constexpr unsigned int kIfsd = ADM_MAX_WIDE_REPLY - 4;
// Reader::Protocol(): the values of SCARD_PROTOCOL_T0 and SCARD_PROTOCOL_T1.
inline constexpr std::uint32_t kRunsT0 = 1;
inline constexpr std::uint32_t kRunsT1 = 2;

class Reader {
 public:
  // The seconds a reader command's reply is awaited, and a T=0 exchange's
  // (4 and 60 for the real reader; tests of noisy lines use less).
  explicit Reader(ReaderEvents& events, int command_block_time = ADM_COMMAND_BLOCK_TIME,
                  int t0_block_time = 60);
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // The time from configuring the line to the first command: the UART's
  // pause, then the reader's own start-up.
  static constexpr auto kSettleTime = serial::kUartPause + link::kReaderSettle;

  // Opens and configures `device` and returns at once; the reader then
  // settles until SettleDeadline(), and nothing may be sent before Settle()
  // says so. On failure *err_no holds the errno of the failing call.
  serial::OpenError Start(const char* device, int* err_no);
  // Start, then wait for the reader to settle (3.4 s).
  serial::OpenError Open(const char* device, int* err_no);
  // True once the line may carry commands. The first call after the settle
  // time discards what the line received meanwhile; before it, false at once.
  bool Settle();
  bool Settling() const { return settling_; }
  // The end of the settle time of the line started last (the clock's epoch
  // when none is pending); read without the reader's lock, from any thread.
  std::chrono::steady_clock::time_point SettleDeadline() const {
    return std::chrono::steady_clock::time_point(
        std::chrono::steady_clock::duration(settle_until_.load(std::memory_order_relaxed)));
  }
  void Close();
  bool IsOpen() const { return port_.open; }
  bool Lost() const { return port_.lost; }  // hung up or failed: reopen it

  // IFD result codes. A power action starts a new card session: the ATR,
  // the T=1 state and the protocol the card runs.
  std::uint32_t PowerUp(bool reset);
  std::uint32_t PowerDown();
  // IFD_ICC_PRESENT, IFD_ICC_NOT_PRESENT (also, without a byte on the line,
  // while the reader settles), IFD_COMMUNICATION_ERROR when `tries` status
  // queries got no usable answer.
  static constexpr int kCommandTries = 3;
  std::uint32_t Presence(int tries = kCommandTries);
  // protocol 0 (T=0) or 1 (T=1), which must be the one the card runs
  // (IFD_PROTOCOL_NOT_SUPPORTED otherwise, before anything is sent); `rx`
  // holds `capacity` bytes.
  std::uint32_t Transmit(std::uint32_t protocol, std::span<const unsigned char> tx,
                         unsigned char* rx, std::size_t capacity, std::size_t* rxlen);

  std::span<const unsigned char> Atr() const { return {atr_.data(), atr_length_}; }
  // The protocol the powered card runs: the reader cannot send a PPS, so
  // it is the one the ATR sets (atr::Info::runs). kRunsT0 or kRunsT1; 0
  // with no card powered, or when the card runs a protocol this driver
  // cannot (T=2 and up, or T=15 named by TD1 or TA2).
  std::uint32_t Protocol() const { return protocol_; }
  const t1::State& T1() const { return t1_; }
  int Handle() const { return port_.open ? record_.handle : -1; }
  void Watch(link::FrameWatcher* watcher) { link_.watcher = watcher; }

 private:
  class Line final : public link::Line {
   public:
    // The line of a PC/SC host's reader: frames go out in one write, replies
    // are read ahead and their rest awaited at the line's pace.
    explicit Line(Reader& r);
    bool Read(int count, unsigned char* buf) override;
    bool ReadRest(int count, unsigned char* buf) override;
    bool Write(int count, const unsigned char* data) override;
    bool Flush() override;
    void SetBlockTime(int seconds);

   private:
    Reader& r_;
  };
  class Channel final : public proto::Channel {
   public:
    explicit Channel(Reader& r) : r_(r) {}
    int Transmit(const unsigned char* frame, int len, unsigned char* reply,
                 unsigned int* replylen) override;
    void SetBlockTime(int seconds) override { r_.line_.SetBlockTime(seconds); }

   private:
    Reader& r_;
  };
  static void Unchecked(void* self);
  void ForgetCard();

  ReaderEvents& events_;
  const int command_block_time_;
  const int t0_block_time_;
  IO_Port record_{};
  serial::Port port_{record_};
  Line line_{*this};
  link::Link link_{line_, ADM_MAX_WIDE_REPLY};
  Channel channel_{*this};
  unsigned char ns_ = 0;
  unsigned char nr_ = 0;
  t1::Config t1_config_;
  t1::State t1_{&ns_, &nr_};
  std::array<unsigned char, TTYCARD_ATR_SIZE> atr_{};
  std::size_t atr_length_ = 0;
  std::uint32_t protocol_ = 0;
  bool settling_ = false;
  std::atomic<std::chrono::steady_clock::rep> settle_until_{0};
};

}  // namespace ttycard::ifd
