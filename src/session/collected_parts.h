// The message of a multi-part operation (C_SignUpdate, C_VerifyUpdate,
// C_DigestUpdate), held in the session until the final call hands it to the
// card in one transaction, so that no other process's commands can come
// between the chunks of the card's hash. The bytes are wiped whenever the
// storage is let go: the message may be as secret as what is signed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "card/secure_buffer.h"
#include "platform/cryptoki.h"

namespace zorad::session {

// What one operation may collect, and what one single-part digest may
// hash: 16 MiB, 70,000 hash commands.
inline constexpr size_t kCollectedPartsLimit = size_t{16} << 20;

class CollectedParts {
 public:
  // Appends a part; an empty part counts as an update too. CKR_ARGUMENTS_BAD
  // for a missing part of non-zero length, CKR_DATA_LEN_RANGE when the total
  // would pass the limit, CKR_HOST_MEMORY when the memory runs out. On a
  // failure nothing is appended (the caller ends the operation).
  CK_RV Append(const uint8_t* part, CK_ULONG length);

  // True after the first Append, successful or not.
  bool started() const { return started_; }
  const uint8_t* data() const { return bytes_.data(); }
  size_t size() const { return bytes_.size(); }

  // Wipes and frees the bytes and forgets that an update was made.
  void Clear();

 private:
  card::SecureBuffer bytes_;
  bool started_ = false;
};

}  // namespace zorad::session
