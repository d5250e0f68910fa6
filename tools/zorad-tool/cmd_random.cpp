// random: random bytes from the card's generator.
#include "ckr_text.h"
#include "commands.h"
#include "cryptoki_session.h"
#include "hex_text.h"
#include "tool_files.h"

namespace zorad::tool {
namespace {

// The card hands out 32 bytes per command; this keeps one call short.
constexpr unsigned long kMaxRandomBytes = 65536;

}  // namespace

ExitCode RunRandom(ToolContext& context) {
  const std::string& text = context.args.Value("bytes");
  const auto count = ParseNumber(text, 1, kMaxRandomBytes);
  if (!count) {
    throw UsageError("'--bytes " + text + "' is not a number from 1 to " +
                     std::to_string(kMaxRandomBytes));
  }
  Cryptoki cryptoki(context.functions);
  Session session(cryptoki, cryptoki.ChooseSlot(context.args.Find("slot")), false);
  // Random bytes may become keys or PINs: keep them in a wiping buffer.
  Secret bytes(*count);
  CheckRv("C_GenerateRandom", session->C_GenerateRandom(session.handle(), bytes.data(),
                                                        static_cast<CK_ULONG>(bytes.size())));
  if (const auto output = context.args.Find("out")) {
    WriteFileReplacing(*output, bytes);
    context.out << *count << " random bytes from the card written to '" << *output << "'.\n";
  } else {
    std::string hex = Hex(bytes);
    context.out << hex << "\n";
    Wipe(hex.data(), hex.size());
  }
  return ExitCode::kOk;
}

}  // namespace zorad::tool
