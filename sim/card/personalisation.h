// Personalisation: turns a handful of parameters into a complete card state
// with a valid token information file, label, area files and PINs.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/card/card_state.h"

namespace zorad::sim {

// One area descriptor of the token information file (10 bytes on the card).
struct AreaDescriptor {
  uint32_t capacity = 0;  // object space; the allocation table starts at capacity + 128
  uint16_t reserved = 0;  // stored, not interpreted by the module
  uint16_t blockCount = 0;
  uint16_t blockSize = 0;
};

struct CardPersonalisation {
  std::array<uint8_t, 7> serialNumber{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD};
  uint8_t minPinLen = 4;
  uint8_t maxPinLen = 8;
  uint8_t pinTryThreshold = 3;
  uint16_t writeChunk = 255;  // 0 on the card means 255 to the module
  // 64 blocks of 128 bytes: blocks from 64 to 8256, table at 8320.
  AreaDescriptor publicArea{8192, 0, 64, 128};
  AreaDescriptor privateArea{8192, 0, 64, 128};
  uint8_t gostParamSet = 2;  // CryptoPro-A
  uint8_t privateKeyRefFirst = 1;
  uint8_t privateKeyRefLast = 8;
  uint8_t publicKeyRefFirst = 9;
  uint8_t publicKeyRefLast = 16;
  // PINs as a user types them; the card stores the 8-byte PIN block (padded
  // with '1'), or a longer SO PIN whole.
  std::string soPin = "87654321";
  std::string userPin = "12345678";
  uint8_t soPinMaxTries = 10;
  uint8_t userPinMaxTries = 10;
  std::string label = "Zorad test token";  // blank-padded to 32 bytes
  std::string manufacturer = "Corvantix";  // blank-padded to 32 bytes
  uint8_t formatMajor = 1;
  uint8_t formatMinor = 0;
  Protocol protocol = Protocol::kT1;
  uint16_t activationAnswer = 0x9000;
  // Variants.
  bool hasApplication = true;        // false: blank card, SELECT answers 6A82
  bool userPinSet = true;            // false: user PIN file 001E deactivated
  bool formatAreas = true;           // false: allocation tables left all zero
  bool corruptTokenInfoCrc = false;  // true: token information checksum broken
};

CardPersonalisation BlankCardPersonalisation();
CardPersonalisation CorruptCardPersonalisation();

// Problems that make the parameters unusable (descriptor outside the card's
// addressing limits, block size below 17, overlapping key ranges, ...);
// nullopt when they are fine.
std::optional<std::string> CheckPersonalisation(const CardPersonalisation& p);

// The 72-byte token information file for the parameters.
std::vector<uint8_t> BuildTokenInfo(const CardPersonalisation& p);

// The 8-byte PIN block of a PIN up to 8 bytes; longer PINs stay whole.
std::vector<uint8_t> PinBlock(const std::string& pin);

// Throws std::invalid_argument when CheckPersonalisation finds a problem.
CardState Personalise(const CardPersonalisation& p);

}  // namespace zorad::sim
