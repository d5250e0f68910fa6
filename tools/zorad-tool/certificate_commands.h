// The certificate commands (csr, import-cert, sign-cms) and the certificate
// lines of 'list'. They need libcrypto; a build without it has neither.
#pragma once

#include <span>
#include <string>
#include <utility>
#include <vector>

#include "command_table.h"

namespace zorad::tool {

// The certificate commands' rows of the command table; empty without
// libcrypto.
std::vector<CommandSpec> CertificateCommands();

// Subject, issuer, serial number and validity of a certificate object's
// value; empty when it cannot be read (or without libcrypto).
std::vector<std::pair<std::string, std::string>> CertificateLines(std::span<const uint8_t> der);

}  // namespace zorad::tool
