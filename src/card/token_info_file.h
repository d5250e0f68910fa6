// The token information file (72 bytes, short file identifier 0x12): its
// layout on the card, its validation and its decoding into TokenInfoFile.
#pragma once

#include <cstdint>
#include <span>

#include "card/token.h"

namespace zorad::card {

// Offsets in the file; every number is stored high byte first.
namespace info_offset {
inline constexpr size_t kCrc = 0;
inline constexpr size_t kFormatMajor = 4;
inline constexpr size_t kFormatMinor = 5;
inline constexpr size_t kManufacturer = 6;
inline constexpr size_t kWriteChunk = 38;
inline constexpr size_t kPinTryThreshold = 40;
inline constexpr size_t kMinPinLen = 42;
inline constexpr size_t kMaxPinLen = 43;
inline constexpr size_t kPublicArea = 44;
inline constexpr size_t kPrivateArea = 54;
inline constexpr size_t kGostParamSet = 64;
inline constexpr size_t kPrivateKeyRefFirst = 67;
inline constexpr size_t kPrivateKeyRefLast = 68;
inline constexpr size_t kPublicKeyRefFirst = 69;
inline constexpr size_t kPublicKeyRefLast = 70;
// The checksum covers everything after it.
inline constexpr size_t kCrcCovered = 4;
}  // namespace info_offset

inline constexpr uint8_t kInfoFormatMajor = 1;
inline constexpr uint8_t kInfoFormatMinor = 0;

// Format 1.0 and a checksum that matches the rest of the file.
bool IsValidTokenInfoFile(std::span<const uint8_t, kTokenInfoFileSize> file);

// The file's fields in host order. Nothing is checked here.
TokenInfoFile DecodeTokenInfoFile(std::span<const uint8_t, kTokenInfoFileSize> file);

}  // namespace zorad::card
