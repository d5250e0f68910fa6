// PINs for the tool: from an environment variable named on the command line,
// or typed at a prompt that does not echo. A PIN lives only in a wiping
// buffer and is never printed.
#pragma once

#include <string>

#include "cli_options.h"
#include "secret.h"

namespace zorad::tool {

// The PIN from the variable named by option `envOption` when it was given,
// else from a prompt. Throws UsageError when the variable is not set and
// ToolError (kPin) for an empty PIN.
Secret ReadPin(const ParsedArgs& args, const std::string& envOption, const std::string& what);

// A new PIN: from the variable when given, else typed twice. Throws
// ToolError (kPin) when the two entries differ or the PIN is empty.
Secret ReadNewPin(const ParsedArgs& args, const std::string& envOption, const std::string& what);

Secret PinFromEnvironment(const std::string& variable);

// Asks on the terminal ("<what>: ") without echo; reads standard input
// when there is no terminal.
Secret PromptPin(const std::string& what);

}  // namespace zorad::tool
