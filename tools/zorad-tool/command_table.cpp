#include "command_table.h"

#include <algorithm>

#include "certificate_commands.h"

namespace zorad::tool {

namespace {

std::vector<CommandSpec> TokenAndKeyCommands() {
  return {
      {"slots", "", "list the slots (readers) and their tokens", {}, {}, RunSlots},
      {"info", "", "show the module and the token of the slot", {}, {}, RunInfo},
      {"init",
       "--label L",
       "initialise the token: erase all objects, set the label (SO PIN)",
       {"label"},
       {"label"},
       RunInit},
      {"init-pin",
       "",
       "set the user PIN (the security officer logs in; the new PIN comes from "
       "--pin-env or a prompt)",
       {},
       {},
       RunInitPin},
      {"change-pin",
       "[--so] [--new-pin-env VAR]",
       "change the user PIN, or the SO PIN with --so",
       {"so", "new-pin-env"},
       {},
       RunChangePin},
      {"list",
       "[--login]",
       "list the objects; private ones after a user login (--login, or "
       "implied by --pin-env)",
       {"login"},
       {},
       RunList},
      {"keygen",
       "--label L [--id HEX] [--paramset A|B|C|XA|XB|OID]",
       "generate a GOST R 34.10-2001 key pair on the card",
       {"label", "id", "paramset"},
       {"label"},
       RunKeygen},
      {"sign",
       "--key LABEL|ID --in FILE --out FILE [--mechanism M]",
       "sign a file of any size: the tool hashes it (GOST R 34.11-94) and the card signs the "
       "hash; M gostr3410-with-gostr3411 has the card hash it (1 byte to 16 MiB), M gostr3410 "
       "takes the file as the 32-byte hash",
       {"key", "in", "out", "mechanism"},
       {"key", "in", "out"},
       RunSign},
      {"verify",
       "--key LABEL|ID --in FILE --sig FILE [--mechanism M]",
       "check a 64-byte signature on the card (the file hashed as for sign)",
       {"key", "in", "sig", "mechanism"},
       {"key", "in", "sig"},
       RunVerify},
      {"export-pubkey",
       "--key LABEL|ID --out FILE [--pem]",
       "write the public key: 64 raw bytes (X || Y little-endian), or with --pem a "
       "SubjectPublicKeyInfo in PEM",
       {"key", "out", "pem"},
       {"key", "out"},
       RunExportPubkey},
      {"delete",
       "--object LABEL|ID [--class data|cert|public|private]",
       "delete the matching objects (logs in as user)",
       {"object", "class"},
       {"object"},
       RunDelete},
      {"random",
       "--bytes N [--out FILE]",
       "random bytes from the card (hex on standard output "
       "unless --out)",
       {"bytes", "out"},
       {"bytes"},
       RunRandom},
      {"wait-event",
       "[--no-block]",
       "wait for a card to be inserted or removed",
       {"no-block"},
       {},
       RunWaitEvent},
      {"demo",
       "[--force]",
       "on the virtual card: initialise, set the user PIN, log in, generate "
       "a key pair, sign, verify, list (ERASES the token)",
       {"force"},
       {},
       RunDemo},
  };
}

}  // namespace

const std::vector<CommandSpec>& CommandTable() {
  static const std::vector<CommandSpec> kCommands = [] {
    std::vector<CommandSpec> commands = TokenAndKeyCommands();
    // A key's life in order: the certificate commands follow the key
    // commands.
    const auto keys = std::find_if(commands.begin(), commands.end(), [](const CommandSpec& c) {
      return std::string_view(c.name) == "delete";
    });
    const std::vector<CommandSpec> certificates = CertificateCommands();
    commands.insert(keys, certificates.begin(), certificates.end());
    return commands;
  }();
  return kCommands;
}

const CommandSpec* FindCommand(std::string_view name) {
  for (const CommandSpec& command : CommandTable()) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

std::string UsageLine() {
  return "usage: zorad-tool [--module PATH] [--slot ID] [--pin-env VAR] [--so-pin-env VAR] "
         "COMMAND [OPTIONS]   (zorad-tool --help lists the commands)";
}

std::string HelpText() {
  std::string text =
      "zorad-tool " ZORAD_TOOL_VERSION
      " - administer Zorad GOST smart cards through the "
      "zorad_pkcs11 module\n\n" +
      UsageLine() +
      "\n\nGlobal options:\n"
      "  --module PATH      the PKCS#11 module (default: zorad_pkcs11 beside this program, then\n"
      "                     the installed module, then the one of the build tree)\n"
      "  --slot ID          the slot to use (default: the first slot holding a token)\n"
      "  --pin-env VAR      take the user PIN from the environment variable VAR\n"
      "  --so-pin-env VAR   take the SO PIN from the environment variable VAR\n"
      "  Without them PINs are asked for at a prompt that does not echo. PINs are never\n"
      "  printed.\n\nCommands:\n";
  for (const CommandSpec& command : CommandTable()) {
    text.append("  ").append(command.name);
    if (*command.synopsis != '\0') text.append(" ").append(command.synopsis);
    text.append("\n      ").append(command.summary).append("\n");
  }
  text +=
      "\nExit codes:\n"
      "  0  success\n"
      "  1  the module or the card reported an error (its CKR_* code is printed)\n"
      "  2  usage error: unknown command or option, missing or bad value\n"
      "  3  a file cannot be read or written, or is refused: a document empty or over\n"
      "     16 MiB for --mechanism gostr3410-with-gostr3411, a hash that is not 32 bytes,\n"
      "     a certificate over 64 KiB\n"
      "  4  the PKCS#11 module cannot be found or loaded\n"
      "  5  no reader, no token, no such slot or object\n"
      "  6  wrong, locked or unacceptable PIN\n"
      "  7  verify: the signature does not match\n"
      "  8  wait-event --no-block: no event\n";
  return text;
}

}  // namespace zorad::tool
