#include "store/creation_context.h"

#include <algorithm>

namespace zorad::store {

bool NoteUsedKeyRef(const TokenObject& object, CreationContext& context) {
  if (object.toh.keyRef > kMaxKeyRef) return false;
  context.keyRefsInUse.set(object.toh.keyRef);
  return true;
}

bool NoteUsedIdAndKeyRef(const TokenObject& object, CreationContext& context) {
  for (uint32_t& candidate : context.candidates) {
    if (candidate == object.toh.id) candidate = 0;
  }
  return NoteUsedKeyRef(object, context);
}

std::optional<uint8_t> FreeKeyRef(const CreationContext& context, uint8_t first, uint8_t last) {
  // 0 is never a key reference, and the set in use covers 1..127 only.
  const unsigned from = std::max<unsigned>(first, 1);
  const unsigned to = std::min<unsigned>(last, kMaxKeyRef);
  for (unsigned ref = from; ref <= to; ++ref) {
    if (!context.keyRefsInUse.test(ref)) return static_cast<uint8_t>(ref);
  }
  return std::nullopt;
}

std::optional<Candidate> NextCandidate(const CreationContext& context,
                                       std::optional<size_t> after) {
  for (size_t i = after ? *after + 1 : 0; i < context.candidates.size(); ++i) {
    if (context.candidates[i] != 0) return Candidate{i, context.candidates[i]};
  }
  return std::nullopt;
}

}  // namespace zorad::store
