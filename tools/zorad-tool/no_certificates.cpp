// The build without libcrypto (Windows): no certificate commands, and
// certificates are listed without their contents.
#include "certificate_commands.h"

namespace zorad::tool {

std::vector<CommandSpec> CertificateCommands() { return {}; }

std::vector<std::pair<std::string, std::string>> CertificateLines(std::span<const uint8_t>) {
  return {};
}

}  // namespace zorad::tool
