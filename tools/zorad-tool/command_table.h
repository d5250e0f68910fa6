// The command table: names, synopses, accepted options and handlers, from
// which both the dispatch and the help text are made.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "commands.h"

namespace zorad::tool {

struct CommandSpec {
  const char* name;
  const char* synopsis;  // options after the name
  const char* summary;
  std::vector<std::string> options;
  std::vector<std::string> required;
  ExitCode (*run)(ToolContext&);
};

const std::vector<CommandSpec>& CommandTable();
const CommandSpec* FindCommand(std::string_view name);

// "usage: zorad-tool [GLOBAL OPTIONS] COMMAND [OPTIONS]  (zorad-tool --help)".
std::string UsageLine();
std::string HelpText();

}  // namespace zorad::tool
