// demo: the product's main job on the virtual card in one command, with a
// step-by-step log: initialise the token, set the user PIN, log in,
// generate a key pair, sign a document, verify it, show the objects.
#include <cstring>

#include "ckr_text.h"
#include "commands.h"
#include "cryptoki_session.h"
#include "gost_params.h"
#include "key_operations.h"
#include "object_listing.h"
#include "token_admin.h"

namespace zorad::tool {
namespace {

// The virtual card's personalisation defaults. They are printed, because
// they are demo values; PINs from the environment never are.
constexpr const char* kDemoSoPin = "87654321";
constexpr const char* kDemoUserPin = "12345678";
constexpr const char* kDemoLabel = "zorad demo";
constexpr const char* kDemoKeyLabel = "demo key";
constexpr const char* kDocument = "Zorad demo document: signed on the card.";
constexpr int kSteps = 8;

struct DemoPin {
  Secret value;
  std::string shown;  // how the log names it
};

DemoPin ChoosePin(const ParsedArgs& args, const std::string& option, const char* demoValue) {
  if (const auto variable = args.Find(option)) {
    return {PinFromEnvironment(*variable), "from $" + *variable + " (not shown)"};
  }
  return {Secret(demoValue, demoValue + std::strlen(demoValue)),
          std::string(demoValue) + " (demo value)"};
}

void Step(std::ostream& out, int number, const std::string& text) {
  out << "[" << number << "/" << kSteps << "] " << text << "\n";
  out.flush();
}

// The demo erases the token: it runs on a virtual reader unless forced.
void RefuseRealCard(const ToolContext& context, const std::string& reader) {
  if (reader.find("Virtual") != std::string::npos || context.args.Has("force")) return;
  throw ToolError(ExitCode::kUsage,
                  "The demo erases the token and is meant for the virtual card, but the reader '" +
                      reader + "' does not look virtual: add --force to run it on this card.");
}

void SignAndVerify(std::ostream& out, const Session& session, const GeneratedKeyPair& pair) {
  const Bytes document(kDocument, kDocument + std::strlen(kDocument));
  const CK_MECHANISM_TYPE mechanism = CKM_GOSTR3410_WITH_GOSTR3411;
  Step(out, 6,
       "Sign a " + std::to_string(document.size()) + "-byte document, hashed on the card (" +
           MechanismName(mechanism) + "): \"" + kDocument + "\"");
  const Bytes signature = Sign(session, pair.privateKey, mechanism, document);
  out << "      signature (" << signature.size() << " bytes): " << Hex(signature) << "\n";

  Step(out, 7, "Verify the signature on the card with the public key");
  CheckRv("C_Verify", Verify(session, pair.publicKey, mechanism, document, signature));
  out << "      the signature is valid\n";
  Bytes changed = document;
  changed.back() ^= 0x01;
  const CK_RV refused = Verify(session, pair.publicKey, mechanism, changed, signature);
  if (refused == CKR_OK) {
    throw ToolError(ExitCode::kFailed,
                    "The token accepted the signature for a changed "
                    "document: the card or the module is faulty.");
  }
  out << "      a document changed by one bit is refused (" << CkrName(refused) << ")\n";
}

}  // namespace

ExitCode RunDemo(ToolContext& context) {
  std::ostream& out = context.out;
  Cryptoki cryptoki(context.functions);
  const CK_SLOT_ID slot = cryptoki.ChooseSlot(context.args.Find("slot"));
  const CK_SLOT_INFO slotInfo = cryptoki.SlotInfo(slot);
  const std::string reader = FieldText(slotInfo.slotDescription, sizeof slotInfo.slotDescription);
  RefuseRealCard(context, reader);
  const DemoPin soPin = ChoosePin(context.args, "so-pin-env", kDemoSoPin);
  const DemoPin userPin = ChoosePin(context.args, "pin-env", kDemoUserPin);
  out << "zorad-tool demo: the token's main job on the virtual card, step by step.\n"
      << "  SO PIN:   " << soPin.shown << "\n  user PIN: " << userPin.shown << "\n"
      << "  The demo values are the virtual card's defaults, for this demo only.\n";

  Step(out, 1, "Find the token");
  const CK_TOKEN_INFO token = cryptoki.TokenInfo(slot);
  out << "      slot " << slot << " (" << reader << "): token \""
      << FieldText(token.label, sizeof token.label) << "\", serial "
      << FieldText(token.serialNumber, sizeof token.serialNumber) << "\n";
  CheckPinLength(token, userPin.value, "user PIN");

  Step(out, 2,
       std::string("Initialise the token with the label \"") + kDemoLabel +
           "\" (C_InitToken, SO PIN)");
  InitializeToken(cryptoki, slot, soPin.value, kDemoLabel);
  out << "      all objects erased; the user PIN is now an unknown random value\n";

  Session session(cryptoki, slot, true);
  Step(out, 3, "Set the user PIN: the security officer logs in (C_Login) and sets it (C_InitPIN)");
  session.Login(PinKind::kSecurityOfficer, soPin.value);
  SetUserPin(session, userPin.value);
  session.Logout();
  out << "      user PIN set; security officer logged out\n";

  Step(out, 4, "Log in as the user (C_Login)");
  session.Login(PinKind::kUser, userPin.value);
  out << "      user logged in\n";

  Step(out, 5,
       std::string("Generate a GOST R 34.10-2001 key pair on the card, label \"") + kDemoKeyLabel +
           "\", id 01 (C_GenerateKeyPair)");
  const GeneratedKeyPair pair = GenerateKeyPair(session, kDemoKeyLabel, Bytes{0x01}, std::nullopt);
  out << "      parameter set: " << DescribeParamSet(pair.paramSet) << "\n"
      << "      public key:    " << Hex(PublicKeyValue(session, pair.publicKey)) << "\n";

  SignAndVerify(out, session, pair);

  Step(out, 8, "The objects on the token");
  PrintObjects(out, session);
  session.Logout();
  out << "Demo finished: user logged out; the token \"" << kDemoLabel << "\" holds the key pair \""
      << kDemoKeyLabel << "\" (user PIN " << userPin.shown << ").\n";
  return ExitCode::kOk;
}

}  // namespace zorad::tool
