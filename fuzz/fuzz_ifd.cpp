// Fuzzes the IFD handler entry points over a reader whose every reply comes
// from the input.
//
// Input: up to six calls. Each starts with a byte choosing the entry point
// (modulo 4): 0 IFD_Power_ICC (next byte: action), 1 IFD_Transmit_to_ICC
// (next bytes: protocol, transmit length as two bytes modulo 301, the
// caller's receive length as two bytes modulo 301, which does not size the
// receive buffer: that holds 255 bytes for T=0 and 272 for T=1),
// 2 IFD_Is_ICC_Present, 3 IFD_Get_Capabilities (next byte: tag). The reader's replies to whatever
// the call sends follow, one chunk per command (format in reader_line.h).

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "fuzz_check.h"
#include "ifdhandler.h"
#include "linkcmds.h"
#include "reader_line.h"
#include "t1_check.h"

namespace {

using namespace fuzzing;

using Frames = std::vector<std::vector<std::uint8_t>>;

constexpr int kMaxCalls = 6;
constexpr std::size_t kMaxLength = 300;
static_assert(sizeof ICC.ATR == 33, "the ATR record holds 33 bytes");

const std::vector<std::uint8_t> kReset{0x01, 0x80, 0x00, 0x81};
const std::vector<std::uint8_t> kNotification{0x01, 0x06, 0x01, 0x02, 0x04};
const std::vector<std::uint8_t> kPowerDown{0x01, 0x81, 0x00, 0x80};
const std::vector<std::uint8_t> kStatus{0x01, 0x01, 0x00, 0x00};

bool Documented(std::uint32_t code) {
  for (const std::uint32_t c : {0u, 600u, 602u, 605u, 606u, 607u, 608u, 612u, 614u, 615u, 616u}) {
    if (code == c) return true;
  }
  return false;
}

bool SameIcc(const ttycard_icc& a, const ttycard_icc& b) {
  return a.ATRLength == b.ATRLength && std::memcmp(a.ATR, b.ATR, sizeof a.ATR) == 0;
}

void CheckAtrRecord() {
  FUZZ_CHECK(ICC.ATRLength <= sizeof ICC.ATR, "ATR length at most 33");
  for (std::size_t i = ICC.ATRLength; i < sizeof ICC.ATR; ++i) {
    FUZZ_CHECK(ICC.ATR[i] == 0, "the ATR record is zero after the ATR");
  }
}

// Frames written since log entry `first`.
Frames FramesSince(std::size_t first) {
  Frames frames;
  for (std::size_t i = first; i < Log().size(); ++i) frames.push_back(Log()[i].frame);
  return frames;
}

void Power(std::uint8_t pick) {
  const std::uint32_t actions[] = {IFD_POWER_UP, IFD_POWER_DOWN, IFD_RESET, 1000u + pick};
  const std::uint32_t action = actions[pick % 4];
  const ttycard_icc before = ICC;
  const std::size_t first = Log().size();
  const std::uint32_t r = IFD_Power_ICC(action);
  const auto frames = FramesSince(first);
  FUZZ_CHECK(r == 0 || r == 608 || r == 614, "power results are 0, 608 or 614");
  if (r != 0) FUZZ_CHECK(SameIcc(ICC, before), "a failed power action keeps the ATR record");

  if (action == IFD_POWER_UP || action == IFD_RESET) {
    FUZZ_CHECK(frames == (Frames{kReset, kNotification}), "reset, then notification mode 2");
    // No ATR is longer than 33 bytes: a longer answer is not one.
    const Transaction& reset = Log()[first];
    const bool atr = reset.answered && reset.reply.size() <= 33;
    FUZZ_CHECK(r == (atr ? 0u : 608u), "an ATR powers up; silence or a longer answer fails");
    if (r == 0) {
      T1CardWasReset();
      FUZZ_CHECK(ICC.ATRLength == reset.reply.size(), "the whole ATR is stored");
      FUZZ_CHECK(
          reset.reply.empty() || std::memcmp(ICC.ATR, reset.reply.data(), reset.reply.size()) == 0,
          "the stored ATR is the card's");
    }
  } else if (action == IFD_POWER_DOWN) {
    FUZZ_CHECK(frames == (Frames{kPowerDown}), "power down sends 01 81 00 80");
    FUZZ_CHECK(r == (Log()[first].answered ? 0u : 608u), "power down result");
    if (r == 0) FUZZ_CHECK(SameIcc(ICC, ttycard_icc{}), "power down clears the ATR record");
  } else {
    FUZZ_CHECK(r == 614 && frames.empty(), "unknown power actions are refused untried");
  }
}

// The T=0 reader layout: CLA INS P1 P2 00 P3 for 5 bytes, else APDU + 00.
std::vector<std::uint8_t> T0Frame(std::vector<std::uint8_t> apdu) {
  if (apdu.size() == 5) {
    apdu.insert(apdu.begin() + 4, 0x00);
  } else {
    apdu.push_back(0x00);
  }
  return Frame(0xA0, apdu);
}

void Transmit(std::uint8_t pick, std::size_t txlen, std::size_t incoming) {
  const std::uint32_t protocol = pick % 4 < 2 ? pick % 4 : pick;
  std::vector<std::uint8_t> apdu(txlen);
  for (std::size_t i = 0; i < txlen; ++i) apdu[i] = static_cast<std::uint8_t>(i * 13 + pick);
  // Exact-size transmit buffer: a write into a fifth byte that is not there,
  // or any read past it, is caught.
  std::unique_ptr<std::uint8_t[]> tx(new std::uint8_t[txlen]);
  if (txlen > 0) std::memcpy(tx.get(), apdu.data(), txlen);
  const std::size_t rxcap = protocol == 0 ? 255 : 272;
  GuardedBuffer rx(rxcap);
  auto rxlen = static_cast<std::uint32_t>(incoming);
  const std::size_t first = Log().size();
  const std::uint32_t r = IFD_Transmit_to_ICC(ttycard_io_header{protocol, 0}, tx.get(),
                                              static_cast<std::uint32_t>(txlen), rx.data(), &rxlen);
  const auto frames = FramesSince(first);

  FUZZ_CHECK(r == 0 || r == 606 || r == 607 || r == 612 || r == 614, "transmit result codes");
  FUZZ_CHECK(rx.FencesIntact(), "nothing written around the receive buffer");
  FUZZ_CHECK(txlen == 0 || std::memcmp(tx.get(), apdu.data(), txlen) == 0,
             "the transmit buffer is not modified");
  if (r != 0) FUZZ_CHECK(rxlen == 0, "a failed transmission reports length 0");
  if (r == 0) {
    FUZZ_CHECK(rxlen <= rxcap, "never more than the receive buffer");
    FUZZ_CHECK(rx.UntouchedFrom(rxlen), "nothing written past the receive length");
  }
  if (txlen > 255 || incoming > 257 || txlen <= 3) {
    FUZZ_CHECK(r == 606 && frames.empty(), "unacceptable lengths are refused untried");
    return;
  }
  if (protocol == 0) {
    if (txlen == 4) apdu.push_back(0x00);  // a case 1 APDU gets P3 = 0 (Le 256) for T=0
    if (frames.empty()) {
      FUZZ_CHECK(r == 606 && txlen == 255, "only a frame that cannot be built is refused");
      return;
    }
    FUZZ_CHECK(frames == (Frames{T0Frame(apdu)}), "the APDU goes out in the T=0 layout");
    // A T=0 answer ends with SW1 SW2; for a 5-byte command it carries
    // exactly Le data bytes (P3, 0 meaning 256) or none. Anything else lost
    // data on the way.
    const Transaction& t = Log()[first];
    const std::size_t le = apdu.size() == 5 ? (apdu[4] == 0 ? 256 : apdu[4]) : 0;
    const std::size_t got = t.reply.size();
    const bool whole = t.answered && got >= 2 && (apdu.size() != 5 || got == 2 || got == le + 2);
    FUZZ_CHECK(r == (whole && got <= rxcap ? 0u : 612u),
               "a whole answer that fits is given, anything else is a communication error");
    if (r == 0) {
      FUZZ_CHECK(rxlen == t.reply.size(), "the whole response is given");
      FUZZ_CHECK(rxlen == 0 || std::memcmp(rx.data(), t.reply.data(), rxlen) == 0,
                 "the response is the card's");
    }
  } else if (protocol == 1) {
    // The four bytes of a case 1 APDU go alone: in T=1 a P3 of 0 would ask
    // for 256 bytes.
    const T1Outcome want = CheckT1Exchange(apdu, first);
    const bool fits = want.result == ADM_OK && want.response.size() <= rxcap;
    FUZZ_CHECK(r == (fits ? 0u : 612u), "a T=1 response that fits is given, else 612");
    if (r == 0) {
      FUZZ_CHECK(rxlen == want.response.size() &&
                     (rxlen == 0 || std::memcmp(rx.data(), want.response.data(), rxlen) == 0),
                 "the response is the card's");
    }
  } else {
    FUZZ_CHECK(r != 0 && frames.empty(), "other protocols are refused untried");
  }
}

void Present() {
  const std::size_t first = Log().size();
  const std::uint32_t r = IFD_Is_ICC_Present();
  FUZZ_CHECK(FramesSince(first) == (Frames{kStatus}), "presence reads the status record");
  FUZZ_CHECK(r == 612 || r == 615 || r == 616, "presence results are 612, 615 or 616");
  // A record too short to hold the card status byte (15) says nothing.
  const Transaction& t = Log()[first];
  std::uint32_t want = 612;
  if (t.answered && t.reply.size() > 15) want = t.reply[15] == 1 || t.reply[15] == 3 ? 615 : 616;
  FUZZ_CHECK(r == want, "presence from status byte 15 of a whole record");
}

void Capabilities(std::uint8_t pick) {
  const std::uint32_t tags[] = {TAG_IFD_ATR, TTYCARD_TAG_ACCEPTED, 0x1000u + pick};
  const std::uint32_t tag = tags[pick % 3];
  GuardedBuffer value(sizeof ICC.ATR);
  const std::uint32_t r = IFD_Get_Capabilities(tag, value.data());
  FUZZ_CHECK(Documented(r), "capability results are documented codes");
  FUZZ_CHECK(value.FencesIntact(), "nothing written around the 33-byte value buffer");
  if (tag == TAG_IFD_ATR) {
    FUZZ_CHECK(r == 0 && std::memcmp(value.data(), ICC.ATR, sizeof ICC.ATR) == 0,
               "the ATR capability is the whole record");
  }
  if (tag == TTYCARD_TAG_ACCEPTED) FUZZ_CHECK(r == 0 && value.UntouchedFrom(0), "accepted tag");
}

std::size_t Length(std::optional<std::uint8_t> hi, std::optional<std::uint8_t> lo) {
  return (static_cast<std::size_t>(hi.value_or(0)) << 8 | lo.value_or(0)) % (kMaxLength + 1);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  // The T=0 path prints one line per transmission.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  StartLine(LineMode::kReader, data, size);
  for (int n = 0; n < kMaxCalls; ++n) {
    const auto op = TakeByte();
    if (!op) break;
    switch (*op % 4) {
      case 0:
        Power(TakeByte().value_or(0));
        break;
      case 1: {
        const std::uint8_t protocol = TakeByte().value_or(0);
        const std::size_t txlen = Length(TakeByte(), TakeByte());
        Transmit(protocol, txlen, Length(TakeByte(), TakeByte()));
        break;
      }
      case 2:
        Present();
        break;
      default:
        Capabilities(TakeByte().value_or(0));
        break;
    }
    CheckAtrRecord();
  }
  return 0;
}
