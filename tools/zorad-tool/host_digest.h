// GOST R 34.11-94 with the CryptoPro parameters (1.2.643.2.2.30.1),
// computed on this computer with libgcrypt. A document is hashed here and
// the card signs only the 32-byte hash (CKM_GOSTR3410): the card hashes
// 240 bytes a command, which makes a 1 MiB document cost some 4,400 card
// commands, while the hash here costs none.
//
// The hash comes out in the byte order of the card's own digest (C_Digest
// with CKM_GOSTR3411), which is also the order CKM_GOSTR3410 takes.
#pragma once

#include <span>
#include <string>

#include "hex_text.h"

namespace zorad::tool {

inline constexpr size_t kHashSize = 32;

// A hash computed in parts.
class HostDigest {
 public:
  HostDigest();
  ~HostDigest();
  HostDigest(const HostDigest&) = delete;
  HostDigest& operator=(const HostDigest&) = delete;

  void Update(std::span<const uint8_t> part);
  Bytes Finish();

 private:
  void* handle_;  // gcry_md_hd_t
};

Bytes HashOnHost(std::span<const uint8_t> data);

// The hash of a file of any size, read in parts; `size` gets its length.
// Throws ToolError (kFile) when it cannot be read.
Bytes HashFileOnHost(const std::string& path, uint64_t& size);

}  // namespace zorad::tool
