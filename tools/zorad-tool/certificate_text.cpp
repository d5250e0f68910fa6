#include "certificate_text.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <algorithm>

#include "terminal_text.h"

namespace zorad::tool {
namespace {

constexpr char kPemStart[] = "-----BEGIN";

std::string TimeText(const ASN1_TIME* time) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || ASN1_TIME_print(bio.get(), time) <= 0) return "?";
  return BioText(bio.get());
}

}  // namespace

X509Ptr ParseCertificate(std::span<const uint8_t> bytes) {
  // PEM only when the text starts with its header: a DER certificate may
  // hold "-----BEGIN" anywhere, in a comment extension for instance.
  std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  text.remove_prefix(std::min(text.size(), text.find_first_not_of(" \t\r\n")));
  X509Ptr certificate;
  if (text.starts_with(kPemStart)) {
    BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    if (bio) certificate.reset(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  } else {
    const unsigned char* p = bytes.data();
    certificate.reset(d2i_X509(nullptr, &p, static_cast<long>(bytes.size())));
    if (p != bytes.data() + bytes.size()) certificate.reset();
  }
  ERR_clear_error();
  return certificate;
}

std::string NameText(const X509_NAME* name) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB) < 0) {
    return "?";
  }
  return Printable(BioText(bio.get()));
}

std::string CommonName(const X509_NAME* name) {
  const int index = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
  if (index < 0) return {};
  const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
  unsigned char* utf8 = nullptr;
  const int length = ASN1_STRING_to_UTF8(&utf8, value);
  if (length < 0) return {};
  std::string text(reinterpret_cast<char*>(utf8), static_cast<size_t>(length));
  OPENSSL_free(utf8);
  return text;
}

std::vector<std::pair<std::string, std::string>> DescribeCertificate(std::span<const uint8_t> der) {
  const X509Ptr certificate = ParseCertificate(der);
  if (!certificate) return {};
  const X509* c = certificate.get();
  OpenSslPtr<BIGNUM, BN_free> serial(ASN1_INTEGER_to_BN(X509_get0_serialNumber(c), nullptr));
  char* serialHex = serial ? BN_bn2hex(serial.get()) : nullptr;
  std::vector<std::pair<std::string, std::string>> lines = {
      {"subject", NameText(X509_get_subject_name(c))},
      {"issuer", NameText(X509_get_issuer_name(c))},
      {"serial", serialHex != nullptr ? serialHex : "?"},
      {"valid from", TimeText(X509_get0_notBefore(c))},
      {"valid to", TimeText(X509_get0_notAfter(c))},
  };
  OPENSSL_free(serialHex);
  return lines;
}

}  // namespace zorad::tool
