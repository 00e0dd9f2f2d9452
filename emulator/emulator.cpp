#include "emulator.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>

namespace ttycard::emu {
namespace {

constexpr int kIdlePollMs = 50;
// The two directions draw from differently seeded generators.
constexpr std::uint64_t kReaderSeedMix = 0x6A09E667F3BCC909ULL;

bool MakeRaw(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return false;
  cfmakeraw(&t);
  return tcsetattr(fd, TCSANOW, &t) == 0;
}

template <class F>
auto Locked(std::mutex& mu, F&& f) {
  std::lock_guard lock(mu);
  return f();
}

// The command code of a malformed frame when its first two bytes can be
// read, so that a rejection names it.
std::optional<std::uint8_t> CommandOf(const Frame& frame) {
  if (frame.bytes.size() >= 2) return frame.command;
  if (frame.wire.size() >= 5 && frame.wire[0] == kStx) {
    if (const auto head = FromHex(std::string_view(frame.wire).substr(1, 4))) return (*head)[1];
  }
  return std::nullopt;
}

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace

struct Emulator::Impl {
  explicit Impl(Options o)
      : options(std::move(o)),
        relay(options.vicc.enabled ? std::make_unique<ViccRelay>(options.vicc, journal) : nullptr),
        reader(options, journal, relay.get()),
        noise_to_host(options.noise_to_host, options.noise_seed),
        noise_to_reader(options.noise_to_reader, options.noise_seed ^ kReaderSeedMix) {
    journal.trace = [this](std::string_view line) {
      if (options.trace) options.trace(line);
      if (options.trace_file) {
        std::fprintf(options.trace_file, "%.*s\n", static_cast<int>(line.size()), line.data());
        std::fflush(options.trace_file);
      }
    };
  }

  void Serve();
  void HandlePiece(std::string piece);
  FaultSpec TakeFault(std::optional<std::uint8_t> command);
  void Execute(const ReplyPlan& plan);
  bool SleepFor(std::chrono::milliseconds d);  // false if stopping
  void WriteAll(std::string_view chars);
  void CloseMaster();
  // Waits until the host has read everything written (or `limit` passes).
  void WaitUntilRead(std::chrono::milliseconds limit);

  Options options;
  mutable std::mutex mu;
  mutable std::condition_variable cv;  // frames recorded, stop requested
  Journal journal;
  std::unique_ptr<ViccRelay> relay;  // the card's stand-in when relaying to vicc
  Reader reader;
  std::vector<Frame> frames;
  std::deque<FaultSpec> faults;
  LineNoise noise_to_host;
  LineNoise noise_to_reader;
  std::size_t rejected = 0;

  std::string slave_path;
  int master = -1;
  int slave = -1;
  std::array<int, 2> wake = {-1, -1};
  std::thread thread;
  std::atomic<bool> stop{false};
  std::atomic<bool> hangup_requested{false};
  std::atomic<bool> hung_up{false};
  bool started = false;
};

void Emulator::Impl::Serve() {
  FrameSplitter splitter;
  std::array<char, 512> buf{};
  while (!stop && !hangup_requested) {
    std::array<pollfd, 2> fds = {pollfd{master, POLLIN, 0}, pollfd{wake[0], POLLIN, 0}};
    const int n = poll(fds.data(), fds.size(), kIdlePollMs);
    if (stop || hangup_requested) break;
    if (n == 0) {
      if (auto stray = splitter.Flush(options.reject_malformed)) HandlePiece(std::move(*stray));
      continue;
    }
    if (n < 0 || !(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    const ssize_t got = read(master, buf.data(), buf.size());
    if (got <= 0) continue;
    std::string chars(buf.data(), static_cast<std::size_t>(got));
    Locked(mu, [&] { return noise_to_reader.Apply(chars); });
    for (std::string& piece : splitter.Feed(chars)) {
      HandlePiece(std::move(piece));
      if (hung_up) return;
    }
  }
  if (hangup_requested) CloseMaster();
}

FaultSpec Emulator::Impl::TakeFault(std::optional<std::uint8_t> command) {
  for (auto it = faults.begin(); it != faults.end(); ++it) {
    if (it->command && it->command != command) continue;
    FaultSpec fault_spec = *it;
    if (it->count > 0 && --it->count == 0) faults.erase(it);
    return fault_spec;
  }
  return {};
}

void Emulator::Impl::HandlePiece(std::string piece) {
  Frame frame = DecodeWireFrame(std::move(piece));
  frame.received = std::chrono::steady_clock::now();
  ReplyPlan plan;
  {
    std::lock_guard lock(mu);
    std::optional<std::uint8_t> command;
    ReaderReply reply;
    ReplyStyle style{kReplyOk, options.reply_checksum};
    bool answer = true;
    if (frame.ok()) {
      command = frame.command;
      reply = reader.Handle(frame.command, frame.data);
    } else {
      command = CommandOf(frame);
      if (options.reject_malformed) {
        ++rejected;
        style.status = kReplyRejected;
        journal.Trace("emu -- rejected frame (" + frame.error + "): " + Printable(frame.wire));
      } else {
        journal.Violation("malformed frame (" + frame.error + "): " + Printable(frame.wire));
        answer = options.answer_malformed;
      }
    }
    const FaultSpec fault = TakeFault(command);
    if (answer || fault.fault != Fault::kNone) {
      plan = PlanReply(command.value_or(0), reply.data, fault, reply.extended, style);
      if (noise_to_host.Apply(plan.chars) > 0) {
        journal.Trace("emu ~~ noise: " + Printable(plan.chars));
      }
    }
    if (fault.fault != Fault::kNone) {
      journal.Trace("emu ~~ fault " + std::string(FaultName(fault.fault)) + ": " +
                    Printable(plan.chars));
    }
    frame.reply = plan.chars;
    frames.push_back(std::move(frame));
  }
  cv.notify_all();
  Execute(plan);
}

bool Emulator::Impl::SleepFor(std::chrono::milliseconds d) {
  std::unique_lock lock(mu);
  return !cv.wait_for(lock, d, [this] { return stop.load() || hangup_requested.load(); });
}

void Emulator::Impl::WriteAll(std::string_view chars) {
  while (!chars.empty() && master >= 0) {
    const ssize_t n = write(master, chars.data(), chars.size());
    if (n <= 0) return;
    chars.remove_prefix(static_cast<std::size_t>(n));
  }
}

void Emulator::Impl::Execute(const ReplyPlan& plan) {
  if (plan.delay.count() > 0 && !SleepFor(plan.delay)) return;
  if (plan.char_gap.count() > 0) {
    for (std::size_t i = 0; i < plan.chars.size(); ++i) {
      if (i > 0 && !SleepFor(plan.char_gap)) return;
      WriteAll(std::string_view(plan.chars).substr(i, 1));
    }
  } else {
    WriteAll(plan.chars);
  }
  if (plan.hang_up) {
    // Closing the master discards what the host has not read yet; give it
    // the chance to read the characters sent so far.
    WaitUntilRead(std::chrono::seconds(2));
    CloseMaster();
  }
}

void Emulator::Impl::WaitUntilRead(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  // Characters written to the master reach the slave's input queue a moment
  // later; let them arrive before watching the queue drain.
  if (!SleepFor(std::chrono::milliseconds(20))) return;
  int pending = 0;
  while (ioctl(slave, FIONREAD, &pending) == 0 && pending > 0 &&
         std::chrono::steady_clock::now() < deadline) {
    if (!SleepFor(std::chrono::milliseconds(2))) return;
  }
}

void Emulator::Impl::CloseMaster() {
  std::lock_guard lock(mu);
  if (hung_up) return;
  // Marked before the close: whoever sees the line go sees HungUp() too.
  hung_up = true;
  CloseFd(master);
  journal.Trace("emu -- hang-up");
}

Emulator::Emulator(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Emulator::~Emulator() {
  Stop();
}

bool Emulator::Start() {
  Impl& d = *impl_;
  if (d.started) return false;
  if (d.relay && !d.relay->Listen()) return false;
  d.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (d.master < 0) return false;
  std::array<char, 128> name{};
  if (grantpt(d.master) != 0 || unlockpt(d.master) != 0 ||
      ptsname_r(d.master, name.data(), name.size()) != 0) {
    CloseFd(d.master);
    return false;
  }
  d.slave_path = name.data();
  d.slave = open(name.data(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (d.slave < 0 || !MakeRaw(d.slave) || !MakeRaw(d.master) ||
      pipe2(d.wake.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
    CloseFd(d.slave);
    CloseFd(d.master);
    return false;
  }
  d.started = true;
  d.thread = std::thread([&d] { d.Serve(); });
  return true;
}

void Emulator::Stop() {
  Impl& d = *impl_;
  d.stop = true;
  if (d.wake[1] >= 0) (void)!write(d.wake[1], "s", 1);
  d.cv.notify_all();
  if (d.thread.joinable()) d.thread.join();
  CloseFd(d.master);
  CloseFd(d.slave);
  CloseFd(d.wake[0]);
  CloseFd(d.wake[1]);
  if (d.relay) d.relay->Close();
}

void Emulator::HangUp() {
  Impl& d = *impl_;
  d.hangup_requested = true;
  if (d.wake[1] >= 0) (void)!write(d.wake[1], "h", 1);
  d.cv.notify_all();
  if (d.thread.joinable()) d.thread.join();
  d.CloseMaster();
}

std::uint16_t Emulator::ViccPort() const {
  return impl_->relay ? impl_->relay->Port() : 0;
}
bool Emulator::WaitForVicc(std::chrono::milliseconds timeout) {
  return impl_->relay && impl_->relay->WaitForClient(timeout);
}
std::size_t Emulator::ViccFailures() const {
  return impl_->relay ? impl_->relay->Failures() : 0;
}

bool Emulator::HungUp() const {
  return impl_->hung_up;
}
const std::string& Emulator::SlavePath() const {
  return impl_->slave_path;
}

void Emulator::SetAtr(Bytes atr) {
  Locked(impl_->mu, [&] { impl_->reader.SetAtr(std::move(atr)); });
}
void Emulator::SetCardPresent(bool present) {
  Locked(impl_->mu, [&] { impl_->reader.SetCardPresent(present); });
}
bool Emulator::CardPresent() const {
  return Locked(impl_->mu, [&] { return impl_->reader.CardPresent(); });
}
bool Emulator::CardPowered() const {
  return Locked(impl_->mu, [&] { return impl_->reader.CardPowered(); });
}
void Emulator::SetStatusRecord(std::optional<Bytes> record) {
  Locked(impl_->mu, [&] { impl_->reader.SetStatusRecord(std::move(record)); });
}
std::uint8_t Emulator::CardType() const {
  return Locked(impl_->mu, [&] { return impl_->reader.CardType(); });
}
std::uint8_t Emulator::NotificationMode() const {
  return Locked(impl_->mu, [&] { return impl_->reader.NotificationMode(); });
}
void Emulator::InjectFault(FaultSpec fault) {
  Locked(impl_->mu, [&] { impl_->faults.push_back(std::move(fault)); });
}
void Emulator::ClearFaults() {
  Locked(impl_->mu, [&] { impl_->faults.clear(); });
}
std::size_t Emulator::PendingFaults() const {
  return Locked(impl_->mu, [&] { return impl_->faults.size(); });
}
void Emulator::ConfigureT1(T1Behaviour behaviour, int count, std::uint8_t value) {
  Locked(impl_->mu, [&] { impl_->reader.Card().Configure(behaviour, count, value); });
}
void Emulator::ClearT1Behaviours() {
  Locked(impl_->mu, [&] { impl_->reader.Card().ClearBehaviours(); });
}
void Emulator::WithCard(const std::function<void(T1Card&, CardApp&)>& fn) {
  Locked(impl_->mu, [&] { fn(impl_->reader.Card(), impl_->reader.App()); });
}
std::vector<Frame> Emulator::Frames() const {
  return Locked(impl_->mu, [&] { return impl_->frames; });
}
std::size_t Emulator::FrameCount() const {
  return Locked(impl_->mu, [&] { return impl_->frames.size(); });
}
std::vector<std::string> Emulator::Violations() const {
  return Locked(impl_->mu, [&] { return impl_->journal.violations; });
}
std::vector<T1Record> Emulator::T1Blocks() const {
  return Locked(impl_->mu, [&] { return impl_->journal.t1_blocks; });
}
void Emulator::ClearFrames() {
  Locked(impl_->mu, [&] { impl_->frames.clear(); });
}
void Emulator::ClearRecords() {
  Locked(impl_->mu, [&] {
    impl_->frames.clear();
    impl_->journal.violations.clear();
    impl_->journal.t1_blocks.clear();
  });
}

std::size_t Emulator::RejectedFrames() const {
  return Locked(impl_->mu, [&] { return impl_->rejected; });
}
std::size_t Emulator::CorruptedToHost() const {
  return Locked(impl_->mu, [&] { return impl_->noise_to_host.Corrupted(); });
}
std::size_t Emulator::CorruptedToReader() const {
  return Locked(impl_->mu, [&] { return impl_->noise_to_reader.Corrupted(); });
}

bool Emulator::WaitForFrames(std::size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mu);
  return impl_->cv.wait_for(lock, timeout, [&] { return impl_->frames.size() >= n; });
}

}  // namespace ttycard::emu
