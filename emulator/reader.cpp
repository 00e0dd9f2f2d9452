#include "reader.h"

#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "wire.h"

namespace ttycard::emu {
namespace {

constexpr std::uint16_t kSwWrongLengthT0 = 0x6700;

std::string Hex1(std::uint8_t b) {
  return Spaced(std::array{b});
}

}  // namespace

Bytes DefaultT1Atr(std::uint8_t ifsc) {
  Bytes atr(kDefaultT1Atr.begin(), kDefaultT1Atr.end());
  atr[kAtrTa3] = ifsc;
  // TCK: the XOR of T0 up to the last historical byte.
  atr.back() = XorSum(std::span(atr).subspan(1, atr.size() - 2));
  return atr;
}

Reader::Reader(const Options& options, Journal& journal, CardBackend* backend)
    : journal_(journal),
      protocol_(options.protocol),
      unknown_reply_(options.unknown_command_reply),
      t0_cut_(options.t0_cut_long_replies),
      app_(options.challenge_seed, options.slow_wtx_default),
      backend_(backend != nullptr ? *backend : app_),
      card_(backend_, journal, options.t1),
      atr_(options.atr),
      present_(options.card_present),
      backend_present_(backend == nullptr),
      bridged_(backend != nullptr) {
  if (atr_.empty()) {
    if (protocol_ == CardProtocol::kT0) {
      atr_.assign(kDefaultT0Atr.begin(), kDefaultT0Atr.end());
    } else {
      atr_ = DefaultT1Atr(options.t1.ifsc);
    }
  }
}

void Reader::SetCardPresent(bool present) {
  present_ = present;
  if (!present) kept_t0_.reset();
  if (!present && powered_) {
    backend_.PowerDown();
    powered_ = false;
  }
  journal_.Trace(present ? "emu -- card inserted" : "emu -- card removed");
}

Bytes Reader::StatusRecord() const {
  if (status_override_) return *status_override_;
  Bytes s(kStatusSize, 0x00);
  s[0] = 'T';
  s[1] = 'T';
  s[2] = 'Y';
  s[3] = 0x01;
  s[5] = card_type_;
  s[6] = notification_;
  s[15] = !(present_ && backend_present_) ? kStatusNoCard
                                          : (powered_ ? kStatusPowered : kStatusPresent);
  return s;
}

void Reader::ExpectLength(std::string_view name, std::span<const std::uint8_t> data,
                          std::size_t n) {
  if (data.size() != n) {
    journal_.Violation(std::string(name) + " with " + std::to_string(data.size()) +
                       " data bytes, expected " + std::to_string(n));
  }
}

bool Reader::CardIn() {
  const bool was = backend_present_;
  backend_present_ = backend_.Present();
  if (was != backend_present_) {
    journal_.Trace(backend_present_ ? "emu -- card arrived" : "emu -- card left");
    if (!backend_present_) {
      powered_ = false;
      kept_t0_.reset();
    }
  }
  return present_ && backend_present_;
}

ReaderReply Reader::Handle(std::uint8_t command, std::span<const std::uint8_t> data) {
  // A kept T=0 answer lasts until the next command that reaches the card.
  KeptT0 kept;
  if (command == kCmdReset || command == kCmdPowerDown || command == kCmdT0 || command == kCmdT1) {
    kept = std::exchange(kept_t0_, std::nullopt);
  }
  switch (command) {
    case kCmdStatus: {
      journal_.Trace("emu <- STATUS");
      ExpectLength("STATUS", data, 0);
      CardIn();
      ReaderReply r{StatusRecord()};
      journal_.Trace("emu -> STATUS " + Spaced(r.data));
      return r;
    }
    case kCmdCardType:
      journal_.Trace("emu <- CARD TYPE " + Spaced(data));
      ExpectLength("CARD TYPE", data, 1);
      if (!data.empty()) card_type_ = data[0];
      journal_.Trace("emu -> OK (no data)");
      return {};
    case kCmdNotification:
      journal_.Trace("emu <- NOTIFICATION " + Spaced(data));
      ExpectLength("NOTIFICATION", data, 1);
      if (!data.empty()) notification_ = data[0];
      journal_.Trace("emu -> OK (no data)");
      return {};
    case kCmdReset:
      journal_.Trace("emu <- RESET");
      ExpectLength("RESET", data, 0);
      if (!CardIn()) {
        journal_.Trace("emu -> no card: empty reply");
        return {};
      }
      if (auto atr = backend_.PowerUp(powered_)) {
        if (!atr->empty()) atr_ = std::move(*atr);
      } else {
        powered_ = false;
        journal_.Trace("emu -> mute card: empty reply");
        return {};
      }
      powered_ = true;
      card_.Reset();
      journal_.Trace("emu -> ATR " + Spaced(atr_));
      return {atr_};
    case kCmdPowerDown:
      journal_.Trace("emu <- POWER DOWN");
      ExpectLength("POWER DOWN", data, 0);
      if (powered_) backend_.PowerDown();
      powered_ = false;
      journal_.Trace("emu -> OK (no data)");
      return {};
    case kCmdT0:
    case kCmdT1:
      return Exchange(command, data, std::move(kept));
    default:
      journal_.Trace("emu <- UNKNOWN " + Hex1(command) + " " + Spaced(data));
      journal_.Violation("unknown reader command " + Hex1(command));
      return {unknown_reply_};
  }
}

ReaderReply Reader::Exchange(std::uint8_t command, std::span<const std::uint8_t> data,
                             KeptT0 kept) {
  const bool t0 = command == kCmdT0;
  const char* name = t0 ? "T=0" : "T=1";
  if (!powered_) {
    journal_.Trace(std::string("emu <- ") + name + " " + Spaced(data));
    journal_.Violation(std::string(name) + " exchange while no card is powered");
    return {};
  }
  if ((t0 && protocol_ == CardProtocol::kT1) || (!t0 && protocol_ == CardProtocol::kT0)) {
    journal_.Trace(std::string("emu <- ") + name + " " + Spaced(data));
    journal_.Violation(std::string(name) + " exchange with a card of the other protocol");
    return {};
  }
  if (t0) return T0(data, std::move(kept));
  // One T=1 block, then one byte of the reader's own (not examined).
  if (data.empty()) {
    journal_.Violation("T=1 command without a block");
    return {};
  }
  return {card_.Receive(data.first(data.size() - 1))};
}

ReaderReply Reader::T0(std::span<const std::uint8_t> data, KeptT0 kept) {
  journal_.Trace("emu <- T=0 " + Spaced(data));
  Bytes apdu;
  std::optional<std::size_t> le;  // a 5-byte APDU: P3 is Le (00 = 256)
  if (data.size() == 6) {
    // CLA INS P1 P2 00 P3: a 5-byte APDU.
    if (data[4] != 0x00) journal_.Violation("T=0 layout of a 5-byte APDU without 00 before P3");
    apdu = {data[0], data[1], data[2], data[3], data[5]};
    le = data[5] == 0 ? 256 : data[5];
  } else if (data.size() > 6) {
    // The APDU followed by 00.
    if (data.back() != 0x00) journal_.Violation("T=0 layout without the trailing 00");
    apdu.assign(data.begin(), data.end() - 1);
  } else {
    journal_.Violation("T=0 command of " + std::to_string(data.size()) + " bytes");
    return {};
  }
  CardResponse response;
  if (apdu.size() >= 7 && apdu[4] == 0x00) {
    // Lc 00 then more bytes: an extended-length APDU, which T=0 cannot carry.
    response.sw = kSwWrongLengthT0;
  } else if (kept && le && std::equal(kept->header.begin(), kept->header.end(), apdu.begin()) &&
             kept->p3 == apdu[4]) {
    // The retry of the command answered 6C XX: the card already ran it.
    journal_.Trace("emu -- T=0 retry gets the kept answer; the command is not run again");
    response = std::move(kept->response);
  } else {
    response = backend_.Process(apdu);
  }
  const std::size_t n = response.data.size();
  if (le && n != 0 && n != *le && n <= 256) {
    // A T=0 card sends exactly P3 bytes or none: it announces how many it has.
    // A real card says so instead of running the command; a bridged card has
    // run it, so its answer waits for the retry.
    journal_.Trace("emu -- T=0 card has " + std::to_string(n) + " bytes, P3 asked for " +
                   std::to_string(*le) + (bridged_ ? "; answer kept for the retry" : ""));
    if (bridged_) {
      kept_t0_ = KeptT0Answer{{apdu[0], apdu[1], apdu[2], apdu[3]},
                              static_cast<std::uint8_t>(n & 0xFF),
                              std::move(response)};
    }
    response = CardResponse{};
    response.sw = static_cast<std::uint16_t>(0x6C00 | (n & 0xFF));
  }
  ReaderReply r{response.Apdu()};
  if (r.data.size() > 255 && t0_cut_) r.data.erase(r.data.begin() + 253, r.data.end() - 2);
  r.extended = r.data.size() >= 255;  // a length byte of FF announces the extended form
  journal_.Trace("emu -> T=0 " + Spaced(r.data));
  return r;
}

}  // namespace ttycard::emu
