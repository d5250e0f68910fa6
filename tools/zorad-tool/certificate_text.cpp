#include "certificate_text.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include "tool_error.h"

namespace zorad::tool {
namespace {

constexpr char kPemStart[] = "-----BEGIN";

std::string TimeText(const ASN1_TIME* time) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || ASN1_TIME_print(bio.get(), time) <= 0) return "?";
  return BioText(bio.get());
}

// The parts of "/A=x/B=y" with "\/" and "\\" unescaped.
std::vector<std::string> SplitSubject(const std::string& text) {
  std::vector<std::string> parts;
  std::string part;
  for (size_t i = 1; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      part += text[++i];
    } else if (text[i] == '/') {
      parts.push_back(part);
      part.clear();
    } else {
      part += text[i];
    }
  }
  parts.push_back(part);
  return parts;
}

}  // namespace

X509Ptr ParseCertificate(std::span<const uint8_t> bytes) {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  X509Ptr certificate;
  if (text.find(kPemStart) != std::string_view::npos) {
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
  return BioText(bio.get());
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

X509NamePtr ParseSubject(const std::string& text) {
  if (text.size() < 2 || text[0] != '/') {
    throw UsageError("'--subject " + text + "' is not of the form /CN=name/O=organisation");
  }
  X509NamePtr name(X509_NAME_new());
  if (!name) ThrowOpenSsl("Building the subject name");
  for (const std::string& part : SplitSubject(text)) {
    const size_t equals = part.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 == part.size()) {
      throw UsageError("'" + part + "' in --subject is not FIELD=value");
    }
    const std::string field = part.substr(0, equals);
    const std::string value = part.substr(equals + 1);
    if (!X509_NAME_add_entry_by_txt(name.get(), field.c_str(), MBSTRING_UTF8,
                                    reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1,
                                    0)) {
      ERR_clear_error();
      throw UsageError("'" + field + "' in --subject is no name field (CN, O, OU, C, L, ST, ...)");
    }
  }
  return name;
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
