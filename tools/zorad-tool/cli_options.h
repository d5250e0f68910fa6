// The command line: one command and options of the form --name VALUE,
// --name=VALUE or --name, in any order. Which options a command accepts is
// in the command table; here every known option is known with whether it
// takes a value.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zorad::tool {

// Options that every command accepts.
extern const std::vector<std::string> kGlobalOptions;

struct ParsedArgs {
  std::string command;                         // empty when none was given
  std::map<std::string, std::string> options;  // name without "--" -> value ("" for flags)

  bool Has(const std::string& name) const { return options.count(name) != 0; }
  std::optional<std::string> Find(const std::string& name) const;
  // The value of an option the command requires (its presence was checked).
  const std::string& Value(const std::string& name) const;
};

// Throws UsageError for an unknown option, a missing value, an option given
// twice or a second command word.
ParsedArgs ParseArguments(int argc, const char* const* argv);

// Throws UsageError for an option the command does not accept or a
// required one that is missing.
void CheckCommandOptions(const ParsedArgs& args, const std::vector<std::string>& accepted,
                         const std::vector<std::string>& required);

// Parses a decimal number in [minimum, maximum]; nullopt otherwise.
std::optional<unsigned long> ParseNumber(const std::string& text, unsigned long minimum,
                                         unsigned long maximum);

}  // namespace zorad::tool
