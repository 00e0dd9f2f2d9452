// ttycard-vm-relay: a 9600-baud 8N2 stretch of line between the virtual
// PC's UART and a reader emulator.
//
//   ttycard-vm-relay FAR-PTY
//
// The emulated 16550 hands every character on at once, whatever the baud
// rate; this relay carries each one no sooner than a real line would (one
// character time after the later of its hand-over and the previous
// character's arrival, both directions independent). The first line of
// standard output is the pseudo-terminal to give QEMU; the relay runs until
// SIGTERM or SIGINT, then prints what it carried on standard error.
#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <cstdio>

#include "pacing_relay.h"

namespace {

void Report(const char* direction, const ttycard::bench::DirectionStats& s) {
  using std::chrono::duration;
  const double mean_us =
      s.bursts ? duration<double, std::micro>(s.late_sum).count() / static_cast<double>(s.bursts)
               : 0;
  std::fprintf(stderr, "relay %s: %llu characters, late by %.0f us at worst, %.0f us mean\n",
               direction, static_cast<unsigned long long>(s.chars),
               duration<double, std::micro>(s.late_max).count(), mean_us);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: ttycard-vm-relay FAR-PTY\n");
    return 2;
  }
  // Blocked before the forwarding threads exist, so only sigwait takes them.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  ttycard::bench::PacingRelay relay;  // 9600 baud, 11 bits per character
  if (!relay.Start(argv[1])) {
    std::fprintf(stderr, "ttycard-vm-relay: cannot open %s or a pseudo-terminal\n", argv[1]);
    return 1;
  }
  std::printf("%s\n", relay.NearPath().c_str());
  std::fflush(stdout);
  int sig = 0;
  sigwait(&stop, &sig);
  Report("to the reader", relay.ToFar());
  Report("to the PC", relay.ToNear());
  relay.Stop();
  return 0;
}
