// Reading a fuzz input field by field, and writing one (fuzz_make_seeds).
//
// FuzzInput hands out the input's bytes front to back; once they run out
// every read gives zeros or empty spans, so a harness never has to check.
// FuzzOutput writes the same fields in the same order, so a seed and the
// harness that reads it share one description.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zorad::fuzz {

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : bytes_(data, size) {}
  explicit FuzzInput(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  bool empty() const { return pos_ >= bytes_.size(); }
  size_t remaining() const { return bytes_.size() - pos_; }

  uint8_t Byte() { return empty() ? 0 : bytes_[pos_++]; }
  uint16_t U16() { return static_cast<uint16_t>(Byte() << 8 | Byte()); }
  uint32_t U32() { return uint32_t{U16()} << 16 | U16(); }

  // Up to `n` bytes: fewer when the input ends first.
  std::span<const uint8_t> Bytes(size_t n) {
    const size_t k = std::min(n, remaining());
    const auto out = bytes_.subspan(pos_, k);
    pos_ += k;
    return out;
  }
  // Exactly `n` bytes, zero-filled past the end of the input.
  std::vector<uint8_t> Padded(size_t n) {
    const auto got = Bytes(n);
    std::vector<uint8_t> out(got.begin(), got.end());
    out.resize(n, 0);
    return out;
  }
  // A chunk with a one-byte length in front.
  std::span<const uint8_t> Chunk() { return Bytes(Byte()); }
  // A chunk with a two-byte length in front.
  std::span<const uint8_t> LongChunk() { return Bytes(U16()); }
  std::span<const uint8_t> Rest() { return Bytes(remaining()); }

 private:
  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
};

class FuzzOutput {
 public:
  FuzzOutput& Byte(uint8_t b) {
    bytes_.push_back(b);
    return *this;
  }
  FuzzOutput& U16(uint16_t v) {
    return Byte(static_cast<uint8_t>(v >> 8)).Byte(static_cast<uint8_t>(v));
  }
  FuzzOutput& U32(uint32_t v) {
    return U16(static_cast<uint16_t>(v >> 16)).U16(static_cast<uint16_t>(v));
  }
  FuzzOutput& Bytes(std::span<const uint8_t> b) {
    bytes_.insert(bytes_.end(), b.begin(), b.end());
    return *this;
  }
  FuzzOutput& Chunk(std::span<const uint8_t> b) {
    const size_t n = std::min<size_t>(b.size(), 0xFF);
    return Byte(static_cast<uint8_t>(n)).Bytes(b.first(n));
  }
  FuzzOutput& LongChunk(std::span<const uint8_t> b) {
    const size_t n = std::min<size_t>(b.size(), 0xFFFF);
    return U16(static_cast<uint16_t>(n)).Bytes(b.first(n));
  }

  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

// Stops the run so that libFuzzer (or the replay) reports the input: for
// broken invariants that no sanitizer sees.
[[noreturn]] void Fail(const char* what);

// Fail unless `condition` holds.
inline void Check(bool condition, const char* what) {
  if (!condition) Fail(what);
}

}  // namespace zorad::fuzz
