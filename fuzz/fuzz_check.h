// Helpers shared by the fuzz targets: an invariant check that stops the run,
// caller buffers fenced by canary bytes, and the reader's hex text form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

// A broken invariant is a finding: say which one, then trap so that libFuzzer
// saves the input.
#define FUZZ_CHECK(cond, what)                                                               \
  do {                                                                                       \
    if (!(cond)) {                                                                           \
      std::fprintf(stderr, "INVARIANT FAILED at %s:%d: %s [%s]\n", __FILE__, __LINE__, what, \
                   #cond);                                                                   \
      __builtin_trap();                                                                      \
    }                                                                                        \
  } while (0)

namespace fuzzing {

// A caller's buffer of `capacity` bytes with canary bytes before and after it,
// all on the heap in one block so that AddressSanitizer also sees accesses
// beyond the fences.
class GuardedBuffer {
 public:
  static constexpr std::size_t kGuard = 32;
  static constexpr std::uint8_t kCanary = 0xA5;

  explicit GuardedBuffer(std::size_t capacity)
      : capacity_(capacity), block_(new std::uint8_t[capacity + 2 * kGuard]) {
    std::memset(block_.get(), kCanary, capacity + 2 * kGuard);
  }

  std::uint8_t* data() { return block_.get() + kGuard; }
  const std::uint8_t* data() const { return block_.get() + kGuard; }
  std::size_t capacity() const { return capacity_; }

  bool FencesIntact() const {
    for (std::size_t i = 0; i < kGuard; ++i) {
      if (block_[i] != kCanary || block_[kGuard + capacity_ + i] != kCanary) return false;
    }
    return true;
  }

  // True when nothing was written from `from` to the end of the buffer.
  bool UntouchedFrom(std::size_t from) const {
    for (std::size_t i = from; i < capacity_; ++i) {
      if (data()[i] != kCanary) return false;
    }
    return true;
  }

 private:
  std::size_t capacity_;
  std::unique_ptr<std::uint8_t[]> block_;
};

constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEtx = 0x03;

// Value of an upper-case hex digit; false for anything else.
inline bool HexValue(std::uint8_t c, std::uint8_t& value) {
  if (c >= '0' && c <= '9') {
    value = static_cast<std::uint8_t>(c - '0');
    return true;
  }
  if (c >= 'A' && c <= 'F') {
    value = static_cast<std::uint8_t>(c - 'A' + 10);
    return true;
  }
  return false;
}

inline void AppendHex(std::vector<std::uint8_t>& out, std::uint8_t byte) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  out.push_back(static_cast<std::uint8_t>(kDigits[byte >> 4]));
  out.push_back(static_cast<std::uint8_t>(kDigits[byte & 0x0F]));
}

// STX, the frame in hex, ETX: what the driver must write for `frame`.
inline std::vector<std::uint8_t> WireText(const std::vector<std::uint8_t>& frame) {
  std::vector<std::uint8_t> text{kStx};
  for (const std::uint8_t b : frame) AppendHex(text, b);
  text.push_back(kEtx);
  return text;
}

inline std::uint8_t Xor(const std::uint8_t* data, std::size_t n) {
  std::uint8_t x = 0;
  for (std::size_t i = 0; i < n; ++i) x ^= data[i];
  return x;
}

// A reader frame 01 | code | N | data | XOR.
inline std::vector<std::uint8_t> Frame(std::uint8_t code, const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> f{0x01, code, static_cast<std::uint8_t>(data.size())};
  f.insert(f.end(), data.begin(), data.end());
  f.push_back(Xor(f.data(), f.size()));
  return f;
}

}  // namespace fuzzing
