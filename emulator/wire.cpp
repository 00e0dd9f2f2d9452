#include "wire.h"

#include <array>

namespace ttycard::emu {

Frame DecodeWireFrame(std::string wire) {
  Frame f;
  f.wire = std::move(wire);
  const std::string_view w = f.wire;
  if (w.empty() || w.front() != kStx) {
    f.error = "stray characters outside a frame";
    return f;
  }
  if (w.size() < 2 || w.back() != kEtx) {
    f.error = "frame without ETX";
    return f;
  }
  const auto decoded = FromHex(w.substr(1, w.size() - 2));
  if (!decoded) {
    f.error = "frame text is not upper-case hex of whole bytes";
    return f;
  }
  f.bytes = *decoded;
  const Bytes& b = f.bytes;
  if (b.size() < 4) {
    f.error = "frame shorter than 4 bytes";
    return f;
  }
  f.command = b[1];
  if (b[0] != 0x01) {
    f.error = "header byte is not 01";
    return f;
  }
  const std::size_t carried = b.size() - 4;
  if (carried != b[2] && !(carried > 255 && carried % 256 == b[2])) {
    f.error =
        "length byte " + std::to_string(b[2]) + " but " + std::to_string(carried) + " data bytes";
    return f;
  }
  const auto body = std::span(b).first(b.size() - 1);
  if (XorSum(body) != b.back()) {
    f.error = "checksum " + ToHex(std::span(&b.back(), 1)) + ", expected " +
              ToHex(std::array{XorSum(body)});
    return f;
  }
  f.data.assign(b.begin() + 3, b.end() - 1);
  return f;
}

std::vector<std::string> FrameSplitter::Feed(std::string_view chars) {
  std::vector<std::string> out;
  for (const char c : chars) {
    if (c == kStx) {
      if (!current_.empty()) out.push_back(std::move(current_));
      current_.assign(1, c);
      in_frame_ = true;
      continue;
    }
    current_.push_back(c);
    if (in_frame_ && c == kEtx) {
      out.push_back(std::move(current_));
      current_.clear();
      in_frame_ = false;
    } else if (current_.size() >= kMaxPiece) {
      out.push_back(std::move(current_));
      current_.clear();
      in_frame_ = false;
    }
  }
  return out;
}

std::optional<std::string> FrameSplitter::Flush() {
  if (in_frame_ || current_.empty()) return std::nullopt;
  std::string stray = std::move(current_);
  current_.clear();
  return stray;
}

ReplyParts BuildReply(std::uint8_t command, std::span<const std::uint8_t> data, bool extended,
                      std::optional<std::uint16_t> announced) {
  // A length byte of 0xFF announces the extended form, so 255 bytes need it too.
  extended = extended || announced.has_value() || data.size() >= 255;
  const std::array<std::uint8_t, 4> head = {
      0x01, command, 0x00, static_cast<std::uint8_t>(extended ? 0xFF : data.size())};
  ReplyParts r;
  r.head.assign(1, kStx);
  r.head += ToHex(head);
  std::uint8_t sum = XorSum(head);
  if (extended) {
    const auto len = announced.value_or(static_cast<std::uint16_t>(data.size()));
    const std::array<std::uint8_t, 2> ext = {static_cast<std::uint8_t>(len >> 8),
                                             static_cast<std::uint8_t>(len & 0xFF)};
    r.ext = ToHex(ext);
    sum ^= XorSum(ext);
  }
  r.data = ToHex(data);
  sum ^= XorSum(data);
  r.checksum = sum;
  r.trailer = ToHex(std::array{sum}) + kEtx;
  return r;
}

std::string EncodeCommand(std::uint8_t command, std::span<const std::uint8_t> data) {
  Bytes frame = {0x01, command, static_cast<std::uint8_t>(data.size() & 0xFF)};
  frame.insert(frame.end(), data.begin(), data.end());
  frame.push_back(XorSum(frame));
  std::string wire(1, kStx);
  wire += ToHex(frame);
  wire += kEtx;
  return wire;
}

}  // namespace ttycard::emu
