// list, delete: the objects on the token.
#include "ckr_text.h"
#include "commands.h"
#include "cryptoki_session.h"
#include "object_access.h"
#include "object_listing.h"
#include "terminal_text.h"

namespace zorad::tool {
namespace {

std::string Describe(const ObjectInfo& object) {
  const auto objectClass = object.Ulong(CKA_CLASS);
  std::string text = objectClass ? ClassName(*objectClass) : std::string("object");
  if (const Bytes* label = object.Find(CKA_LABEL)) {
    text += " \"" + Printable(std::string(label->begin(), label->end())) + "\"";
  }
  if (const Bytes* id = object.Find(CKA_ID)) text += " (id " + Hex(*id) + ")";
  return text;
}

}  // namespace

ExitCode RunList(ToolContext& context) {
  Cryptoki cryptoki(context.functions);
  Session session(cryptoki, cryptoki.ChooseSlot(context.args.Find("slot")), false);
  const bool login = context.args.Has("login") || context.args.Has("pin-env");
  if (login) {
    session.Login(PinKind::kUser, ReadPin(context.args, "pin-env", PinName(PinKind::kUser)));
  }
  context.out << "Objects on the token in slot " << session.slot()
              << (login ? " (user logged in):\n"
                        : " (public objects only; --login shows the private ones too):\n");
  PrintObjects(context.out, session);
  return ExitCode::kOk;
}

ExitCode RunDelete(ToolContext& context) {
  std::optional<CK_OBJECT_CLASS> objectClass;
  if (const auto text = context.args.Find("class")) {
    objectClass = ParseClass(*text);
    if (!objectClass) {
      throw UsageError("'--class " + *text + "' is not one of data, cert, public, private");
    }
  }
  Cryptoki cryptoki(context.functions);
  Session session(cryptoki, cryptoki.ChooseSlot(context.args.Find("slot")), true);
  session.Login(PinKind::kUser, ReadPin(context.args, "pin-env", PinName(PinKind::kUser)));
  const std::string& name = context.args.Value("object");
  const std::vector<CK_OBJECT_HANDLE> found = MatchObjects(session, name, objectClass);
  if (found.empty()) {
    throw ToolError(ExitCode::kNoToken, "No object '" + name +
                                            "' on the token: list the "
                                            "objects with 'zorad-tool list --login'.");
  }
  for (CK_OBJECT_HANDLE object : found) {
    const std::string description =
        Describe(ReadObject(session, object, {CKA_CLASS, CKA_LABEL, CKA_ID}));
    CheckRv("C_DestroyObject", session->C_DestroyObject(session.handle(), object));
    context.out << "Deleted the " << description << ".\n";
  }
  return ExitCode::kOk;
}

}  // namespace zorad::tool
