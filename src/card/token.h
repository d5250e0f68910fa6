// The module's picture of one card of the family: its identity, read from
// the token information file, and the cache of its objects.
#pragma once

#include <array>
#include <cstdint>

#include "card/object_cache.h"
#include "platform/cryptoki.h"

namespace zorad::card {

inline constexpr size_t kTokenInfoFileSize = 72;
inline constexpr size_t kLabelSize = 32;
inline constexpr size_t kModelSize = 16;
inline constexpr size_t kSerialFieldSize = 16;

// The serial number as the token reports it: 14 upper-case hexadecimal
// characters of the card's chip serial number, then 2 blanks.
using SerialNumberField = std::array<uint8_t, kSerialFieldSize>;

// Where an area's blocks and allocation table lie in its file.
struct AreaDescriptor {
  uint32_t capacity = 0;  // object space in bytes; the table starts at capacity + 128
  uint16_t reserved = 0;
  uint16_t blockCount = 0;
  uint16_t blockSize = 0;
};

// The token information file, decoded (host order). All zero for a blank
// card or a file that failed validation.
struct TokenInfoFile {
  uint32_t infoCrc = 0;
  uint8_t formatMajor = 0;
  uint8_t formatMinor = 0;
  std::array<uint8_t, 32> manufacturer{};
  uint16_t writeChunk = 0;  // 0 on the card means 255
  uint8_t pinTryThreshold = 0;
  uint8_t minPinLen = 0;
  uint8_t maxPinLen = 0;
  AreaDescriptor publicArea;
  AreaDescriptor privateArea;
  uint8_t gostParamSet = 0;
  uint8_t privateKeyRefFirst = 0;
  uint8_t privateKeyRefLast = 0;
  uint8_t publicKeyRefFirst = 0;
  uint8_t publicKeyRefLast = 0;
};

struct Token {
  // Identity.
  std::array<uint8_t, kTokenInfoFileSize> infoFile{};  // the file as read from the card
  TokenInfoFile info;
  std::array<uint8_t, kLabelSize> label{};
  std::array<uint8_t, kModelSize> model{};
  SerialNumberField serialNumber{};
  CK_FLAGS tokenFlags = 0;
  uint32_t freePublicMemory = 0;
  uint32_t freePrivateMemory = 0;
  bool infoRead = false;
  // What the token information may be answered from without the card: the
  // identity until a card reset or an area table changed by another
  // process; the PIN state flags until the next table read or write, login,
  // logout or PIN operation.
  bool identityCurrent = false;
  bool pinStatesCurrent = false;

  // Object cache: areas, allocation table, object maps.
  ObjectCache objects;

  Token() {
    label.fill(' ');
    model.fill(' ');
    serialNumber.fill(' ');
  }
};

}  // namespace zorad::card
