// Card images: the whole persistent card state (settings, files, PINs with
// their counters, key slots including private keys) as one file, so a test
// can keep a card between runs or hand a prepared card to another process.
//
// Format, all numbers big-endian:
//   "ZRDCARD\0", version u16 (1),
//   settings: serial[7], protocol u8, activation answer u16, application u8,
//             parameter set u8, key reference ranges u8 x 4,
//   files:    count u16, then per file: id u16, sfi u8, active u8, size u32, bytes,
//   PINs:     count u8, then per PIN: ref u8, max tries u8, tries left u8,
//             must change u8, length u8, bytes,
//   keys:     count u16, then per slot: ref u8, flags u8 (1 private, 2 public),
//             32 private bytes if flagged, 64 public bytes if flagged,
//   checksum: CardCrc32 of everything before it, u32.
// Loading rejects anything else: wrong magic or version, short or trailing
// data, duplicate identifiers, out-of-range values, a bad checksum.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/card/card_state.h"

namespace zorad::sim {

std::vector<uint8_t> SerializeCardState(const CardState& state);
std::optional<CardState> ParseCardState(std::span<const uint8_t> image, std::string* error);

bool SaveCardImage(const std::string& path, const CardState& state);
std::optional<CardState> LoadCardImage(const std::string& path, std::string* error);

}  // namespace zorad::sim
