// The reader link as an object: one serial line, what the link has learnt
// about the reader's replies, and the limits of the road it serves.
//
// The Adm_ functions run on the link of the process's one port (the IO_
// functions); a host that drives several readers gives each its own Link over
// its own line. Both run the same transport and the same reader commands.
#pragma once

#include <chrono>
#include <span>

#include "linkcmds.h"
#include "reply_checksum.h"

namespace ttycard::link {

// The serial line under a link.
// (Plain virtual functions with failing defaults and a protected destructor:
// the link module must link against nothing but the serial functions and the
// C library, so no pure-virtual or deleting-destructor runtime hooks.)
class Line {
 public:
  // The whole count within the block time: the first characters of a reply,
  // whenever the reader has them ready.
  virtual bool Read(int /*count*/, unsigned char* /*buf*/) { return false; }
  // The same for characters that follow those already read of a reply: they
  // come at the line's pace, and a line may wait for the time it needs to
  // deliver them before it looks.
  virtual bool ReadRest(int count, unsigned char* buf) { return Read(count, buf); }
  virtual bool Write(int /*count*/, const unsigned char* /*data*/) { return false; }
  virtual bool Flush() { return false; }  // discard pending input

 protected:
  ~Line() = default;
};

// Sees every frame on the wire (only installed when someone wants to look).
class FrameWatcher {
 public:
  // The characters written, and then the characters read back (possibly none
  // or a part), with the time from the end of the write to the end of the read.
  virtual void Sent(std::span<const char> /*wire*/) {}
  virtual void Received(std::span<const unsigned char> /*chars*/, bool /*accepted*/,
                        long /*turnaround_us*/) {}

 protected:
  ~FrameWatcher() = default;
};

struct Link {
  constexpr explicit Link(Line& l, unsigned int reply_limit = ADM_MAX_REPLY)
      : line(l), max_reply(reply_limit) {}

  Line& line;
  unsigned int max_reply;    // most data bytes one reply may deliver
  ReplyChecksum checksum;    // what the link has learnt of the reader's reply checksums
  bool out_of_step = false;  // a refused reply could not be read off the line
  FrameWatcher* watcher = nullptr;
  // Called once when the link concludes the reader's checksums are not XOR.
  void (*unchecked_notice)(void* context) = nullptr;
  void* notice_context = nullptr;

  // Forget what was learnt about the reader: a new line, or a new reader on it.
  void Restart() {
    checksum = {};
    out_of_step = false;
  }
};

// The link of the process's one port, on the IO_ functions (the Adm_ functions).
Link& DefaultLink();

// Sends one command frame and returns the reply's data (at most
// link.max_reply bytes; `reply` must hold that many). ADM_OK or ADM_COMM_ERROR;
// on failure neither `reply` nor `replylen` is written.
int Transmit(Link& link, const unsigned char* frame, int len, unsigned char* reply,
             unsigned int* replylen);

// The reader's commands on a link (the Adm_ functions of the same names).
int ResetIcc(Link& link, unsigned char* atr, unsigned int* atrlen);
int UnpowerIcc(Link& link);
int SelectCard(Link& link, unsigned char type);
int SetNotification(Link& link, unsigned char mode);
// ADM_OK a card is present, ADM_FAILURE none, ADM_COMM_ERROR the status
// record could not be read or is too short to say.
int IccPresence(Link& link);
// The status record into `status` (link.max_reply bytes) and its length.
int ReadStatus(Link& link, unsigned char* status, unsigned int* length);

// The reader's line settings and timing.
inline constexpr int kBaud = 9600;
inline constexpr int kDataBits = 8;
inline constexpr int kParity = 'N';
inline constexpr auto kReaderSettle = std::chrono::seconds(3);

}  // namespace ttycard::link
