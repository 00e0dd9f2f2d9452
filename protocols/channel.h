// What the card protocols need from the reader: one frame out, one reply
// back, and the block time for the replies.
//
// The process's one reader is reached through Adm_Transmit and Adm_SetWWT
// (AdmChannel below); a host that drives several readers hands the protocols
// a channel of each reader's own. The protocol code is the same for both.
#pragma once

#include "linkcmds.h"

namespace ttycard::proto {

// (Plain virtual functions with failing defaults and a protected destructor:
// the protocol modules link against nothing but three link functions.)
class Channel {
 public:
  virtual int Transmit(const unsigned char* /*frame*/, int /*len*/, unsigned char* /*reply*/,
                       unsigned int* /*replylen*/) {
    return ADM_COMM_ERROR;
  }
  virtual void SetBlockTime(int /*seconds*/) {}

 protected:
  ~Channel() = default;
};

class AdmChannel final : public Channel {
 public:
  int Transmit(const unsigned char* frame, int len, unsigned char* reply,
               unsigned int* replylen) override {
    return Adm_Transmit(frame, len, reply, replylen);
  }
  void SetBlockTime(int seconds) override { Adm_SetWWT(seconds); }
};

}  // namespace ttycard::proto
