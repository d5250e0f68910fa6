#include "host_digest.h"

#include <gcrypt.h>

#include <algorithm>
#include <mutex>

#include "tool_error.h"
#include "tool_files.h"

namespace zorad::tool {
namespace {

constexpr size_t kFilePart = size_t{1} << 20;

// libgcrypt wants its version check before first use; the tool keeps no
// secret in libgcrypt, so it needs no secure memory.
void InitialiseLibgcrypt() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (gcry_check_version(GCRYPT_VERSION) == nullptr) {
      throw ToolError(ExitCode::kFailed, "libgcrypt is older than the tool was built for.");
    }
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
  });
}

gcry_md_hd_t Handle(void* handle) { return static_cast<gcry_md_hd_t>(handle); }

}  // namespace

HostDigest::HostDigest() : handle_(nullptr) {
  InitialiseLibgcrypt();
  gcry_md_hd_t handle = nullptr;
  if (gcry_md_open(&handle, GCRY_MD_GOSTR3411_CP, 0) != 0) {
    throw ToolError(ExitCode::kFailed, "libgcrypt offers no GOST R 34.11-94 hash.");
  }
  handle_ = handle;
}

HostDigest::~HostDigest() { gcry_md_close(Handle(handle_)); }

void HostDigest::Update(std::span<const uint8_t> part) {
  gcry_md_write(Handle(handle_), part.data(), part.size());
}

Bytes HostDigest::Finish() {
  const unsigned char* value = gcry_md_read(Handle(handle_), GCRY_MD_GOSTR3411_CP);
  Bytes hash(value, value + kHashSize);
  gcry_md_reset(Handle(handle_));
  return hash;
}

Bytes HashOnHost(std::span<const uint8_t> data) {
  HostDigest digest;
  digest.Update(data);
  return digest.Finish();
}

Bytes HashFileOnHost(const std::string& path, uint64_t& size) {
  HostDigest digest;
  size =
      ReadFileInParts(path, kFilePart, [&](std::span<const uint8_t> part) { digest.Update(part); });
  return digest.Finish();
}

}  // namespace zorad::tool
