// What object creation gathers from the card before it chooses: candidate
// identifiers drawn from the card's random numbers, and the key references
// already in use.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <optional>

#include "store/token_object.h"

namespace zorad::store {

inline constexpr size_t kIdCandidates = 8;
inline constexpr uint8_t kMaxKeyRef = 127;  // key references are 1..127

struct CreationContext {
  // Eight 4-byte identifiers from the card's random numbers; one equal to
  // an id in use in the area being written is set to 0.
  std::array<uint32_t, kIdCandidates> candidates{};
  // Key references 0..127 in use by the objects seen.
  std::bitset<kMaxKeyRef + 1> keyRefsInUse;
};

// Visitor of the creation's object refresh: clears every candidate equal to
// the object's id and marks its keyRef as used. An object whose keyRef is
// above 127 stops the refresh (false), and with it the creation.
bool NoteUsedIdAndKeyRef(const TokenObject& object, CreationContext& context);

// The same for an area whose ids do not matter (the other area): only the
// key reference is noted.
bool NoteUsedKeyRef(const TokenObject& object, CreationContext& context);

// The lowest key reference from `first` to `last` (clipped to 1..127) that
// is not in use; nullopt when there is none.
std::optional<uint8_t> FreeKeyRef(const CreationContext& context, uint8_t first, uint8_t last);

// The first non-zero candidate after position `after` (nullopt: from the
// start), with its position; nullopt when none is left.
struct Candidate {
  size_t position;
  uint32_t id;
};
std::optional<Candidate> NextCandidate(const CreationContext& context,
                                       std::optional<size_t> after = std::nullopt);

}  // namespace zorad::store
