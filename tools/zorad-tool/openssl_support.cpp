#include "openssl_support.h"

#include <openssl/err.h>

#include "tool_error.h"

namespace zorad::tool {

void ThrowOpenSsl(const std::string& what) {
  char reason[256] = "no reason given";
  if (const unsigned long code = ERR_get_error(); code != 0) {
    ERR_error_string_n(code, reason, sizeof reason);
  }
  ERR_clear_error();
  throw ToolError(ExitCode::kFailed, what + " failed (libcrypto: " + reason + ").");
}

std::string BioText(BIO* bio) {
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  return length > 0 && data != nullptr ? std::string(data, static_cast<size_t>(length))
                                       : std::string();
}

}  // namespace zorad::tool
