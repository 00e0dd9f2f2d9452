#include "card_app.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace ttycard::emu {
namespace {

constexpr std::uint16_t kSwOk = 0x9000;
constexpr std::uint16_t kSwEndOfFile = 0x6282;
constexpr std::uint16_t kSwWrongLength = 0x6700;
constexpr std::uint16_t kSwNoCurrentEf = 0x6986;
constexpr std::uint16_t kSwFileNotFound = 0x6A82;
constexpr std::uint16_t kSwWrongP1P2 = 0x6A86;
constexpr std::uint16_t kSwOffsetOutside = 0x6B00;
constexpr std::uint16_t kSwInsUnknown = 0x6D00;
constexpr std::uint16_t kSwClaUnknown = 0x6E00;

constexpr std::size_t kLongFileSize = 300;
constexpr std::size_t kLargeFileSize = 8000;
constexpr std::string_view kShortFileText = "TTYCARD EMULATOR";

// APDU split into its parts (ISO/IEC 7816-4 cases 1 to 4, short or extended).
struct Apdu {
  std::uint8_t cla, ins, p1, p2;
  std::span<const std::uint8_t> data;
  std::optional<std::size_t> le;  // Ne; 256 for a Le byte of 00, 65536 for 00 00
  bool extended = false;
};

// Extended cases: 00 Le1 Le2 (2E), 00 Lc1 Lc2 data (3E), 00 Lc1 Lc2 data
// Le1 Le2 (4E); Lc 0000 is invalid, Le 0000 means 65536.
std::optional<Apdu> ParseExtended(std::span<const std::uint8_t> a, Apdu out) {
  out.extended = true;
  const auto word = [&](std::size_t i) { return std::size_t{a[i]} << 8 | a[i + 1]; };
  const auto le = [&](std::size_t i) { return word(i) == 0 ? std::size_t{65536} : word(i); };
  if (a.size() == 7) {
    out.le = le(5);
    return out;
  }
  const std::size_t lc = word(5);
  if (lc == 0) return std::nullopt;
  if (a.size() != 7 + lc && a.size() != 9 + lc) return std::nullopt;
  out.data = a.subspan(7, lc);
  if (a.size() == 9 + lc) out.le = le(7 + lc);
  return out;
}

std::optional<Apdu> Parse(std::span<const std::uint8_t> a) {
  if (a.size() < 4) return std::nullopt;
  Apdu out{a[0], a[1], a[2], a[3], {}, std::nullopt};
  if (a.size() == 4) return out;
  const auto le = [](std::uint8_t b) { return b == 0 ? std::size_t{256} : std::size_t{b}; };
  if (a.size() == 5) {
    out.le = le(a[4]);
    return out;
  }
  const std::size_t lc = a[4];
  if (lc == 0) return a.size() >= 7 ? ParseExtended(a, out) : std::nullopt;
  if (a.size() == 5 + lc) {
    out.data = a.subspan(5, lc);
  } else if (a.size() == 6 + lc) {
    out.data = a.subspan(5, lc);
    out.le = le(a[5 + lc]);
  } else {
    return std::nullopt;
  }
  return out;
}

CardResponse Status(std::uint16_t sw) {
  CardResponse r;
  r.sw = sw;
  return r;
}

}  // namespace

Bytes CardResponse::Apdu() const {
  if (nothing) return {};
  Bytes out = data;
  out.push_back(static_cast<std::uint8_t>(sw >> 8));
  out.push_back(static_cast<std::uint8_t>(sw & 0xFF));
  return out;
}

void CardApp::Reset() {
  current_ = kFileMf;
  rng_ = seed_;
}

std::uint8_t CardApp::FileByte(std::uint16_t fid, std::size_t offset) {
  if (fid == kFileLong && offset < kLongFileSize) {
    return static_cast<std::uint8_t>((offset * 7 + 1) ^ (offset >> 8));
  }
  if (fid == kFileLarge && offset < kLargeFileSize) {
    return static_cast<std::uint8_t>((offset * 13 + 5) ^ (offset >> 8) ^ (offset >> 11));
  }
  if (fid == kFileShort && offset < kShortFileText.size()) {
    return static_cast<std::uint8_t>(kShortFileText[offset]);
  }
  return 0;
}

Bytes CardApp::FileContent(std::uint16_t fid) {
  std::size_t size = 0;
  if (fid == kFileLong) size = kLongFileSize;
  if (fid == kFileShort) size = kShortFileText.size();
  if (fid == kFileLarge) size = kLargeFileSize;
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) out[i] = FileByte(fid, i);
  return out;
}

CardResponse CardApp::Process(std::span<const std::uint8_t> raw) {
  const auto apdu = Parse(raw);
  if (!apdu) return Status(kSwWrongLength);
  if (apdu->cla != 0x00 && apdu->cla != 0x80) return Status(kSwClaUnknown);
  const std::uint16_t p1p2 = static_cast<std::uint16_t>(apdu->p1 << 8 | apdu->p2);
  switch (apdu->ins) {
    case kInsGetChallenge:
      return GetChallenge(p1p2, !apdu->data.empty(), apdu->le.value_or(0));
    case kInsSelect:
      return Select(apdu->p1, apdu->data);
    case kInsReadBinary:
      if (!apdu->data.empty()) return Status(kSwWrongLength);
      return ReadBinary(apdu->p1, apdu->p2, apdu->le.value_or(0));
    case kInsSlow: {
      CardResponse r = Status(kSwOk);
      r.wtx_requests = apdu->p1 != 0 ? apdu->p1 : slow_wtx_default_;
      r.wtx_multiplier = apdu->p2 != 0 ? apdu->p2 : 1;
      return r;
    }
    case kInsEcho: {
      CardResponse r = Status(kSwOk);
      r.data.assign(apdu->data.begin(), apdu->data.end());
      const std::size_t want =
          std::min<std::size_t>(p1p2, apdu->extended ? kEchoMaxExtended : kEchoMax);
      for (std::size_t k = r.data.size(); k < want; ++k) {
        r.data.push_back(static_cast<std::uint8_t>(k & 0xFF));
      }
      return r;
    }
    default:
      return Status(kSwInsUnknown);
  }
}

CardResponse CardApp::GetChallenge(std::uint16_t p1p2, bool has_data, std::size_t le) {
  if (has_data) return Status(kSwWrongLength);
  if (p1p2 != 0) return Status(kSwWrongP1P2);
  CardResponse r = Status(kSwOk);
  for (std::size_t i = 0; i < le; ++i) {
    // xorshift32: cheap, deterministic per seed, never stuck at zero.
    rng_ ^= rng_ << 13;
    rng_ ^= rng_ >> 17;
    rng_ ^= rng_ << 5;
    r.data.push_back(static_cast<std::uint8_t>(rng_ >> 24));
  }
  return r;
}

CardResponse CardApp::Select(std::uint8_t p1, std::span<const std::uint8_t> data) {
  if (p1 != 0x00 && p1 != 0x04) return Status(kSwWrongP1P2);
  if (data.size() != 2) return Status(kSwWrongLength);
  const std::uint16_t fid = static_cast<std::uint16_t>(data[0] << 8 | data[1]);
  if (fid != kFileMf && fid != kFileLong && fid != kFileShort && fid != kFileLarge) {
    return Status(kSwFileNotFound);
  }
  current_ = fid;
  return Status(kSwOk);
}

CardResponse CardApp::ReadBinary(std::uint8_t p1, std::uint8_t p2, std::size_t le) {
  if (p1 & 0x80) return Status(kSwWrongP1P2);
  if (current_ == kFileMf) return Status(kSwNoCurrentEf);
  const Bytes file = FileContent(current_);
  const std::size_t offset = static_cast<std::size_t>(p1 << 8 | p2);
  if (offset >= file.size()) return Status(kSwOffsetOutside);
  const std::size_t n = std::min(le, file.size() - offset);
  CardResponse r = Status(n < le ? kSwEndOfFile : kSwOk);
  r.data.assign(file.begin() + static_cast<std::ptrdiff_t>(offset),
                file.begin() + static_cast<std::ptrdiff_t>(offset + n));
  return r;
}

}  // namespace ttycard::emu
