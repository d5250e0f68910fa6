#include "cli_options.h"

#include <algorithm>
#include <cctype>
#include <string_view>

#include "tool_error.h"

namespace zorad::tool {
namespace {

struct KnownOption {
  const char* name;
  bool takesValue;
};

constexpr KnownOption kOptions[] = {
    {"module", true},      {"slot", true},      {"pin-env", true},  {"so-pin-env", true},
    {"new-pin-env", true}, {"label", true},     {"id", true},       {"paramset", true},
    {"key", true},         {"in", true},        {"out", true},      {"sig", true},
    {"mechanism", true},   {"pem", false},      {"object", true},   {"class", true},
    {"bytes", true},       {"no-block", false}, {"so", false},      {"login", false},
    {"force", false},      {"help", false},     {"version", false}, {"subject", true},
    {"der", false},        {"attached", false},
};

const KnownOption* FindOption(std::string_view name) {
  for (const KnownOption& known : kOptions) {
    if (name == known.name) return &known;
  }
  return nullptr;
}

}  // namespace

const std::vector<std::string> kGlobalOptions = {"module",     "slot", "pin-env",
                                                 "so-pin-env", "help", "version"};

std::optional<std::string> ParsedArgs::Find(const std::string& name) const {
  const auto it = options.find(name);
  if (it == options.end()) return std::nullopt;
  return it->second;
}

const std::string& ParsedArgs::Value(const std::string& name) const { return options.at(name); }

ParsedArgs ParseArguments(int argc, const char* const* argv) {
  ParsedArgs args;
  for (int i = 1; i < argc; ++i) {
    std::string_view word = argv[i];
    if (word == "-h") word = "--help";
    if (word.size() < 3 || word.substr(0, 2) != "--") {
      if (!word.empty() && word[0] == '-')
        throw UsageError("unknown option '" + std::string(word) + "'");
      if (!args.command.empty()) {
        throw UsageError("unexpected argument '" + std::string(word) + "' after the command '" +
                         args.command + "'");
      }
      args.command = word;
      continue;
    }
    word.remove_prefix(2);
    std::optional<std::string> value;
    if (const size_t equals = word.find('='); equals != std::string_view::npos) {
      value = std::string(word.substr(equals + 1));
      word = word.substr(0, equals);
    }
    const KnownOption* known = FindOption(word);
    const std::string name(word);
    if (known == nullptr) throw UsageError("unknown option '--" + name + "'");
    if (args.Has(name)) throw UsageError("option '--" + name + "' given twice");
    if (known->takesValue && !value) {
      if (i + 1 >= argc) throw UsageError("option '--" + name + "' needs a value");
      value = argv[++i];
    }
    if (!known->takesValue && value) throw UsageError("option '--" + name + "' takes no value");
    args.options[name] = value.value_or("");
  }
  return args;
}

void CheckCommandOptions(const ParsedArgs& args, const std::vector<std::string>& accepted,
                         const std::vector<std::string>& required) {
  for (const auto& [name, value] : args.options) {
    const bool global =
        std::find(kGlobalOptions.begin(), kGlobalOptions.end(), name) != kGlobalOptions.end();
    if (!global && std::find(accepted.begin(), accepted.end(), name) == accepted.end()) {
      throw UsageError("the command '" + args.command + "' takes no option '--" + name + "'");
    }
  }
  for (const std::string& name : required) {
    if (!args.Has(name)) {
      throw UsageError("the command '" + args.command + "' needs '--" + name + "'");
    }
  }
}

std::optional<unsigned long> ParseNumber(const std::string& text, unsigned long minimum,
                                         unsigned long maximum) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  unsigned long value = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
    value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  if (value < minimum || value > maximum) return std::nullopt;
  return value;
}

}  // namespace zorad::tool
