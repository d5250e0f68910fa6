// init, init-pin, change-pin: token initialisation and PINs.
#include "commands.h"
#include "cryptoki_session.h"
#include "token_admin.h"

namespace zorad::tool {

ExitCode RunInit(ToolContext& context) {
  const std::string label = context.args.Value("label");
  PaddedLabel(label);  // a label that is too long is refused before any PIN is asked for
  Cryptoki cryptoki(context.functions);
  const CK_SLOT_ID slot = cryptoki.ChooseSlot(context.args.Find("slot"));
  const Secret soPin = ReadPin(context.args, "so-pin-env", PinName(PinKind::kSecurityOfficer));
  InitializeToken(cryptoki, slot, soPin, label);
  context.out << "Token in slot " << slot << " initialised with the label \"" << label
              << "\": all objects are erased and the user PIN is now an unknown random value.\n"
              << "Next step: the security officer sets the user PIN with 'zorad-tool init-pin'.\n";
  return ExitCode::kOk;
}

ExitCode RunInitPin(ToolContext& context) {
  Cryptoki cryptoki(context.functions);
  const CK_SLOT_ID slot = cryptoki.ChooseSlot(context.args.Find("slot"));
  const CK_TOKEN_INFO token = cryptoki.TokenInfo(slot);
  const Secret soPin = ReadPin(context.args, "so-pin-env", PinName(PinKind::kSecurityOfficer));
  const Secret userPin = ReadNewPin(context.args, "pin-env", "new user PIN");
  CheckPinLength(token, userPin, "new user PIN");
  Session session(cryptoki, slot, true);
  session.Login(PinKind::kSecurityOfficer, soPin);
  SetUserPin(session, userPin);
  session.Logout();
  context.out << "User PIN of the token in slot " << slot << " set; the user can log in now.\n";
  return ExitCode::kOk;
}

ExitCode RunChangePin(ToolContext& context) {
  const PinKind kind = context.args.Has("so") ? PinKind::kSecurityOfficer : PinKind::kUser;
  const std::string name = PinName(kind);
  Cryptoki cryptoki(context.functions);
  const CK_SLOT_ID slot = cryptoki.ChooseSlot(context.args.Find("slot"));
  const CK_TOKEN_INFO token = cryptoki.TokenInfo(slot);
  const Secret oldPin =
      ReadPin(context.args, kind == PinKind::kUser ? "pin-env" : "so-pin-env", "current " + name);
  const Secret newPin = ReadNewPin(context.args, "new-pin-env", "new " + name);
  CheckPinLength(token, newPin, "new " + name);
  Session session(cryptoki, slot, true);
  // The module changes the SO PIN while the security officer is logged in,
  // the user PIN while nobody is.
  if (kind == PinKind::kSecurityOfficer) session.Login(kind, oldPin);
  ChangePin(session, kind, oldPin, newPin);
  session.Logout();
  context.out << "The " << name << " of the token in slot " << slot << " is changed.\n";
  return ExitCode::kOk;
}

}  // namespace zorad::tool
