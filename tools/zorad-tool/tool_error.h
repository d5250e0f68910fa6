// Failures of the tool, each with the exit code the process ends with. The
// exit codes are part of the command-line interface (see --help).
#pragma once

#include <stdexcept>
#include <string>

namespace zorad::tool {

enum class ExitCode : int {
  kOk = 0,
  kFailed = 1,        // the module or the card reported an error
  kUsage = 2,         // unknown command or option, missing or bad value
  kFile = 3,          // an input file cannot be read or an output file written
  kModule = 4,        // the PKCS#11 module cannot be found or loaded
  kNoToken = 5,       // no reader, no card, no such slot or object
  kPin = 6,           // wrong, locked or unacceptable PIN
  kBadSignature = 7,  // verify: the signature does not match
  kNoEvent = 8,       // wait-event --no-block: nothing happened
};

class ToolError : public std::runtime_error {
 public:
  ToolError(ExitCode code, const std::string& message) : std::runtime_error(message), code_(code) {}
  ExitCode code() const { return code_; }

 private:
  ExitCode code_;
};

// A usage error: the message is followed by the usage line.
class UsageError : public ToolError {
 public:
  explicit UsageError(const std::string& message) : ToolError(ExitCode::kUsage, message) {}
};

}  // namespace zorad::tool
