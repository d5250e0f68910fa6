#include "openssl_support.h"

#include <openssl/err.h>
#include <openssl/pem.h>

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

std::string Pem(std::span<const uint8_t> der, const char* label) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio(bio.get(), label, "", der.data(), static_cast<long>(der.size())) <= 0) {
    ThrowOpenSsl(std::string("Writing the PEM ") + label);
  }
  return BioText(bio.get());
}

ObjectPtr ObjectFromDer(std::span<const uint8_t> der) {
  const unsigned char* p = der.data();
  ObjectPtr object(d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(der.size())));
  if (object && p != der.data() + der.size()) object.reset();
  ERR_clear_error();
  return object;
}

}  // namespace zorad::tool
