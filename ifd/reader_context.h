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

#include <cstddef>
#include <cstdint>
#include <span>

#include "ifdhandler.h"
#include "link.h"
#include "port.h"
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
inline constexpr std::size_t kMaxT0Command = 254;  // the reader's T=0 frame
// The IFSD asked of T=1 cards: the largest whose block (INF and 4 bytes) one
// reply of the reader carries.
inline constexpr unsigned int kIfsd = ADM_MAX_WIDE_REPLY - 4;

class Reader {
 public:
  // The seconds a reader command's reply is awaited, and a T=0 exchange's
  // (4 and 60 for the real reader; tests of noisy lines use less).
  explicit Reader(ReaderEvents& events, int command_block_time = ADM_COMMAND_BLOCK_TIME,
                  int t0_block_time = 60);
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // Opens `device` and waits for the reader to settle (3.4 s). On failure
  // *err_no holds the errno of the failing call.
  serial::OpenError Open(const char* device, int* err_no);
  void Close();
  bool IsOpen() const { return port_.open; }
  bool Lost() const { return port_.lost; }  // hung up or failed: reopen it

  // IFD result codes.
  std::uint32_t PowerUp(bool reset);
  std::uint32_t PowerDown();
  std::uint32_t Presence();  // IFD_ICC_PRESENT, IFD_ICC_NOT_PRESENT, IFD_COMMUNICATION_ERROR
  // protocol 0 (T=0) or 1 (T=1); `rx` holds `capacity` bytes.
  std::uint32_t Transmit(std::uint32_t protocol, std::span<const unsigned char> tx,
                         unsigned char* rx, std::size_t capacity, std::size_t* rxlen);

  std::span<const unsigned char> Atr() const { return {atr_.data(), atr_length_}; }
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
};

}  // namespace ttycard::ifd
