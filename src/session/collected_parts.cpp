#include "session/collected_parts.h"

#include <new>

namespace zorad::session {

CK_RV CollectedParts::Append(const uint8_t* part, CK_ULONG length) {
  started_ = true;
  if (length == 0) return CKR_OK;
  if (part == nullptr) return CKR_ARGUMENTS_BAD;
  if (length > kCollectedPartsLimit - bytes_.size()) return CKR_DATA_LEN_RANGE;
  try {
    bytes_.insert(bytes_.end(), part, part + length);
  } catch (const std::bad_alloc&) {
    return CKR_HOST_MEMORY;
  }
  return CKR_OK;
}

void CollectedParts::Clear() {
  card::SecureBuffer().swap(bytes_);  // the allocator wipes what it frees
  started_ = false;
}

}  // namespace zorad::session
