// zorad-tool: the administrators' command-line client of the zorad_pkcs11
// module. It loads the module by path and uses nothing but its function
// list.
#include <cstdio>
#include <exception>
#include <iostream>
#include <new>

#include "cli_options.h"
#include "command_table.h"
#include "module_loader.h"
#include "tool_error.h"

namespace zorad::tool {
namespace {

ExitCode Run(int argc, const char* const* argv) {
  const ParsedArgs args = ParseArguments(argc, argv);
  if (args.Has("version")) {
    std::cout << "zorad-tool " ZORAD_TOOL_VERSION "\n";
    return ExitCode::kOk;
  }
  if (args.Has("help")) {
    std::cout << HelpText();
    return ExitCode::kOk;
  }
  if (args.command.empty()) throw UsageError("no command given");
  const CommandSpec* command = FindCommand(args.command);
  if (command == nullptr) throw UsageError("unknown command '" + args.command + "'");
  CheckCommandOptions(args, command->options, command->required);

  const auto modulePath = args.Find("module");
  LoadedModule module(modulePath ? *modulePath : FindDefaultModule());
  ToolContext context{args, module.functions(), std::cout};
  return command->run(context);
}

}  // namespace
}  // namespace zorad::tool

int main(int argc, char** argv) {
  using zorad::tool::ExitCode;
  ExitCode code = ExitCode::kOk;
  try {
    code = zorad::tool::Run(argc, argv);
  } catch (const zorad::tool::UsageError& error) {
    std::cout.flush();
    std::cerr << "zorad-tool: " << error.what() << "\n" << zorad::tool::UsageLine() << "\n";
    code = error.code();
  } catch (const zorad::tool::ToolError& error) {
    std::cout.flush();
    std::cerr << "zorad-tool: " << error.what() << "\n";
    code = error.code();
  } catch (const std::bad_alloc&) {
    std::cerr << "zorad-tool: out of memory\n";
    code = ExitCode::kFailed;
  } catch (const std::exception& error) {
    std::cerr << "zorad-tool: " << error.what() << "\n";
    code = ExitCode::kFailed;
  }
  std::cout.flush();
  return static_cast<int>(code);
}
