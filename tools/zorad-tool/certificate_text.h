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

// A certificate in PEM (when the bytes start with "-----BEGIN", after
// optional white space) or else DER; null when the bytes are neither.
X509Ptr ParseCertificate(std::span<const uint8_t> bytes);

// "CN = Alice, O = Example": UTF-8 as it is, controls escaped (Printable).
std::string NameText(const X509_NAME* name);
// The name's first common name as it is (not for printing); empty when it
// has none.
std::string CommonName(const X509_NAME* name);

// "/CN=Alice/O=Example", as OpenSSL's -subj takes it: "+" joins fields into
// one multi-valued name part ("/CN=a+O=b"), a trailing "/" is allowed and
// "\" takes the next character as it is. Throws UsageError for an empty
// name, a part without '=' or a value, a field name libcrypto does not know,
// and a value its field does not accept (naming the value and the rule).
X509NamePtr ParseSubject(const std::string& text);

// Subject, issuer, serial number and validity as labelled lines; empty when
// the bytes are no certificate.
std::vector<std::pair<std::string, std::string>> DescribeCertificate(std::span<const uint8_t> der);

}  // namespace zorad::tool
