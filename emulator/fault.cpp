#include "fault.h"

#include <algorithm>

#include "wire.h"

namespace ttycard::emu {
namespace {

constexpr std::array<std::string_view, kAllFaults.size()> kNames = {
    "None",   "Silence",   "CutInHead", "CutInExtLength", "CutInBody",      "Slow",
    "Delay",  "LowerCase", "NonHex",    "WrongChecksum",  "ExtendedLength", "ExtendedLengthValue",
    "HangUp", "RawReply",
};

// Characters that are neither hex digits nor STX/ETX.
constexpr std::string_view kGarbage = "GZ?x#g!~";

std::string Garbage(std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out.push_back(kGarbage[i % kGarbage.size()]);
  return out;
}

std::string LowerHex(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

}  // namespace

std::string_view FaultName(Fault fault) {
  const auto i = static_cast<std::size_t>(fault);
  return i < kNames.size() ? kNames[i] : "?";
}

ReplyPlan PlanReply(std::uint8_t command, std::span<const std::uint8_t> data,
                    const FaultSpec& fault, bool extended, ReplyStyle style) {
  ReplyPlan plan;
  ReplyParts parts = BuildReply(command, data, extended, {}, style);
  const auto cut = [&](std::size_t dflt, std::size_t max) {
    return std::min(fault.cut.value_or(dflt), max);
  };
  switch (fault.fault) {
    case Fault::kNone:
      break;
    case Fault::kSilence:
      return plan;
    case Fault::kCutInHead:
      plan.chars = parts.head.substr(0, cut(5, parts.head.size() - 1));
      return plan;
    case Fault::kCutInExtLength:
      parts = BuildReply(command, data, true, {}, style);
      plan.chars = parts.head + parts.ext.substr(0, cut(2, parts.ext.size() - 1));
      return plan;
    case Fault::kCutInBody: {
      const std::string body = parts.data + parts.trailer;
      plan.chars = parts.head + parts.ext + body.substr(0, cut(body.size() / 2, body.size() - 1));
      return plan;
    }
    case Fault::kSlow:
      plan.char_gap = fault.gap;
      break;
    case Fault::kDelay:
      plan.delay = fault.gap;
      break;
    case Fault::kLowerCase:
      parts.head = LowerHex(parts.head);
      parts.ext = LowerHex(parts.ext);
      parts.data = LowerHex(parts.data);
      parts.trailer = LowerHex(parts.trailer);
      break;
    case Fault::kNonHex:
      if (!parts.data.empty()) {
        parts.data = Garbage(parts.data.size());
      } else {
        parts.trailer = Garbage(2) + kEtx;
      }
      break;
    case Fault::kWrongChecksum: {
      const std::array<std::uint8_t, 1> bad = {static_cast<std::uint8_t>(~parts.checksum)};
      parts.trailer = ToHex(bad) + kEtx;
      break;
    }
    case Fault::kExtendedLength:
      parts = BuildReply(command, data, true, {}, style);
      break;
    case Fault::kExtendedLengthValue: {
      const std::size_t send = fault.ext_send.value_or(fault.ext_length);
      Bytes body(data.begin(), data.end());
      body.resize(send);
      for (std::size_t i = data.size(); i < send; ++i) {
        body[i] = static_cast<std::uint8_t>(i - data.size());
      }
      parts = BuildReply(command, body, true, fault.ext_length, style);
      if (send < fault.ext_length) parts.trailer.clear();
      break;
    }
    case Fault::kHangUp:
      plan.chars = parts.All().substr(0, fault.cut.value_or(0));
      plan.hang_up = true;
      return plan;
    case Fault::kRawReply:
      plan.chars = fault.raw;
      return plan;
  }
  plan.chars = parts.All();
  return plan;
}

}  // namespace ttycard::emu
