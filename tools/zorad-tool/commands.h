// The commands of zorad-tool. Each gets the parsed command line and the
// module's function list, writes its report to `out` and returns the exit
// code; failures are thrown as ToolError.
#pragma once

#include <ostream>

#include "cli_options.h"
#include "platform/cryptoki.h"
#include "tool_error.h"

namespace zorad::tool {

struct ToolContext {
  const ParsedArgs& args;
  CK_FUNCTION_LIST* functions;
  std::ostream& out;
};

ExitCode RunSlots(ToolContext& context);
ExitCode RunInfo(ToolContext& context);
ExitCode RunWaitEvent(ToolContext& context);
ExitCode RunInit(ToolContext& context);
ExitCode RunInitPin(ToolContext& context);
ExitCode RunChangePin(ToolContext& context);
ExitCode RunList(ToolContext& context);
ExitCode RunDelete(ToolContext& context);
ExitCode RunRandom(ToolContext& context);
ExitCode RunKeygen(ToolContext& context);
ExitCode RunSign(ToolContext& context);
ExitCode RunVerify(ToolContext& context);
ExitCode RunExportPubkey(ToolContext& context);
ExitCode RunDemo(ToolContext& context);

}  // namespace zorad::tool
