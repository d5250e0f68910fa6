// X.509 certificates as the tool reads and shows them, and the subject
// names it is given on the command line.
#pragma once

#include <span>
#include <string>
#include <utility>
#include <vector>

#include "hex_text.h"
#include "openssl_support.h"

namespace zorad::tool {

// A certificate in PEM ("-----BEGIN CERTIFICATE-----") or DER; null when
// the bytes are neither.
X509Ptr ParseCertificate(std::span<const uint8_t> bytes);

// "CN = Alice, O = Example" (UTF-8 as it is).
std::string NameText(const X509_NAME* name);
// The name's first common name; empty when it has none.
std::string CommonName(const X509_NAME* name);

// "/CN=Alice/O=Example", as OpenSSL's -subj takes it ("\/" for a slash in a
// value). Throws UsageError for an empty name, a part without '=' or a
// field name libcrypto does not know.
X509NamePtr ParseSubject(const std::string& text);

// Subject, issuer, serial number and validity as labelled lines; empty when
// the bytes are no certificate.
std::vector<std::pair<std::string, std::string>> DescribeCertificate(std::span<const uint8_t> der);

}  // namespace zorad::tool
