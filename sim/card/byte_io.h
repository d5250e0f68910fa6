// Big-endian writer and a bounds-checked reader for the card image format.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace zorad::sim {

class ByteWriter {
 public:
  void U8(uint8_t v) { out_.push_back(v); }
  void U16(uint16_t v) {
    U8(static_cast<uint8_t>(v >> 8));
    U8(static_cast<uint8_t>(v));
  }
  void U32(uint32_t v) {
    U16(static_cast<uint16_t>(v >> 16));
    U16(static_cast<uint16_t>(v));
  }
  void Bytes(std::span<const uint8_t> b) { out_.insert(out_.end(), b.begin(), b.end()); }
  std::vector<uint8_t>& Data() { return out_; }

 private:
  std::vector<uint8_t> out_;
};

// Every read checks the remaining length; after the first short read the
// reader stays failed and returns zeros, so callers check Ok() once at the end
// of a group of reads.
class ByteReader {
 public:
  explicit ByteReader(std::span<const uint8_t> in) : in_(in) {}

  bool Ok() const { return ok_; }
  size_t Remaining() const { return ok_ ? in_.size() - pos_ : 0; }

  uint8_t U8() {
    if (!Need(1)) return 0;
    return in_[pos_++];
  }
  uint16_t U16() {
    uint16_t hi = U8();
    return static_cast<uint16_t>((hi << 8) | U8());
  }
  uint32_t U32() {
    uint32_t hi = U16();
    return (hi << 16) | U16();
  }
  std::span<const uint8_t> Bytes(size_t n) {
    if (!Need(n)) return {};
    auto s = in_.subspan(pos_, n);
    pos_ += n;
    return s;
  }

 private:
  bool Need(size_t n) {
    if (!ok_ || in_.size() - pos_ < n) ok_ = false;
    return ok_;
  }

  std::span<const uint8_t> in_;
  size_t pos_ = 0;
  bool ok_ = true;
};

}  // namespace zorad::sim
