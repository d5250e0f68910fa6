// A token object in memory: where its record lies, its header and, once
// read, its attributes; and the maps that hold an area's objects.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "card/object_cache.h"
#include "card/secure_buffer.h"

namespace zorad::store {

// Attribute type -> value bytes, ascending by type. Templates and attribute
// sets travel between the session layer and the store in this form.
using AttributeList = std::map<uint32_t, std::vector<uint8_t>>;

inline constexpr size_t kHeaderSize = 17;
using HeaderBytes = std::array<uint8_t, kHeaderSize>;

// The 17-byte header that starts every record (host order here, big-endian
// on the card):
//   0 headerCrc  CRC32 of bytes 4..16
//   4 crc        CRC32 of the body
//   8 keyRef     card key slot of a key object, 0 for none
//   9 id         the object's identifier, unique within its area
//  13 updateCount  whole-record writes so far
//  15 size       body length
struct TokenObjectHeader {
  uint32_t headerCrc = 0;
  uint32_t crc = 0;
  uint8_t keyRef = 0;
  uint32_t id = 0;
  uint16_t updateCount = 0;
  uint16_t size = 0;

  // The card form, with headerCrc as held (not recomputed).
  HeaderBytes Encode() const;
  // Recomputes headerCrc from the other fields.
  void Seal();
  // The header from its card form; nullopt when headerCrc does not match.
  static std::optional<TokenObjectHeader> Decode(std::span<const uint8_t, kHeaderSize> bytes);

  bool operator==(const TokenObjectHeader&) const = default;
};

inline constexpr uint32_t kNoOffset = 0xFFFFFFFF;

struct TokenObject {
  uint32_t offs = kNoOffset;  // file offset of the header; kNoOffset while unallocated
  TokenObjectHeader toh;
  AttributeList attributes;   // empty until read from the card
  // The attributes are those of the record `toh` describes (read from the
  // card, or written by this module).
  bool attributesRead = false;
  // The card handed out the whole record and it fails its checks.
  bool damaged = false;
  // Body bytes read with the header when the object was first seen; used
  // up by the body's reading.
  std::vector<uint8_t> bodyStart;

  // The record changed: what was read of the old one goes.
  void ForgetBody() {
    attributes.clear();
    attributesRead = false;
    damaged = false;
    bodyStart.clear();
  }
};

// One area's objects by id, ascending.
using ObjectMap = std::map<uint32_t, TokenObject>;

// Zeroes every value of the list (the list keeps its entries).
inline void WipeAttributeValues(AttributeList& list) {
  for (auto& [type, value] : list) card::SecureWipe(value.data(), value.size());
}

// Wipes a list's values when the scope ends: for lists that may carry key
// material (an imported key's value), so that nothing of it stays behind in
// freed memory.
class WipedOnExit {
 public:
  explicit WipedOnExit(AttributeList& list) : list_(list) {}
  ~WipedOnExit() { WipeAttributeValues(list_); }
  WipedOnExit(const WipedOnExit&) = delete;
  WipedOnExit& operator=(const WipedOnExit&) = delete;

 private:
  AttributeList& list_;
};

// What names a token object: its area and its id. Ids are unique within an
// area only; the same id may stand in both.
struct ObjectKey {
  card::Area area = card::Area::kPublic;
  uint32_t id = 0;  // 0: no object

  bool operator==(const ObjectKey&) const = default;
  auto operator<=>(const ObjectKey&) const = default;
};

inline ObjectKey PublicObject(uint32_t id) { return {card::Area::kPublic, id}; }
inline ObjectKey PrivateObject(uint32_t id) { return {card::Area::kPrivate, id}; }

}  // namespace zorad::store
