// Everything the simulated card keeps across power cycles: its settings, its
// files, its PINs and its key slots. This is what personalisation produces
// and what a card image holds.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "sim/card/gost_crypto.h"

namespace zorad::sim {

enum class Protocol : uint8_t { kT0 = 0, kT1 = 1 };

inline constexpr uint16_t kPrivateAreaFid = 0x0001;
inline constexpr uint16_t kPublicAreaFid = 0x0009;
inline constexpr uint16_t kLabelFid = 0x0011;
inline constexpr uint16_t kTokenInfoFid = 0x0012;
inline constexpr uint16_t kUserPinFid = 0x001E;
inline constexpr uint8_t kLabelSfi = 0x11;
inline constexpr uint8_t kTokenInfoSfi = 0x12;
inline constexpr uint8_t kSoPinRef = 0x67;
inline constexpr uint8_t kUserPinRef = 0x69;

inline constexpr size_t kLabelSize = 32;
inline constexpr size_t kTokenInfoSize = 72;
// Largest file the card holds; the module never addresses beyond 0x80FE.
inline constexpr size_t kMaxFileSize = 0x8100;
inline constexpr size_t kMaxPinBytes = 32;
inline constexpr uint8_t kMaxPinTries = 15;

struct CardFile {
  std::vector<uint8_t> data;
  uint8_t sfi = 0;  // short file identifier, 0 for none
  bool active = true;
};

struct PinRecord {
  std::vector<uint8_t> value;  // compared byte for byte with VERIFY data
  uint8_t maxTries = 10;
  uint8_t triesLeft = 10;
  bool mustChange = false;  // the status query answers 6982
};

struct KeySlot {
  std::optional<GostPrivateKey> privateKey;  // d, big-endian
  std::optional<GostPublicKey> publicKey;    // X || Y, big-endian
};

struct CardSettings {
  std::array<uint8_t, 7> serialNumber{};
  Protocol protocol = Protocol::kT1;
  // Answer to a successful ACTIVATE / DEACTIVATE FILE: 9000 or 6989.
  uint16_t activationAnswer = 0x9000;
  // False for a blank card: SELECT of the application answers 6A82.
  bool hasApplication = true;
  uint8_t gostParamSet = 2;
  uint8_t privateKeyRefFirst = 1;
  uint8_t privateKeyRefLast = 8;
  uint8_t publicKeyRefFirst = 9;
  uint8_t publicKeyRefLast = 16;
};

struct CardState {
  CardSettings settings;
  std::map<uint16_t, CardFile> files;
  std::map<uint8_t, PinRecord> pins;
  std::map<uint8_t, KeySlot> keys;
};

inline bool InRange(uint8_t v, uint8_t first, uint8_t last) { return v >= first && v <= last; }

}  // namespace zorad::sim
