#include "token_admin.h"

#include "ckr_text.h"
#include "tool_error.h"

namespace zorad::tool {
namespace {

CK_UTF8CHAR* PinData(const Secret& pin) { return const_cast<CK_UTF8CHAR*>(pin.data()); }
CK_ULONG PinLength(const Secret& pin) { return static_cast<CK_ULONG>(pin.size()); }

}  // namespace

void CheckPinLength(const CK_TOKEN_INFO& token, const Secret& pin, const std::string& what) {
  if (pin.size() >= token.ulMinPinLen && pin.size() <= token.ulMaxPinLen) return;
  throw ToolError(ExitCode::kPin, "The " + what + " must be " + std::to_string(token.ulMinPinLen) +
                                      " to " + std::to_string(token.ulMaxPinLen) +
                                      " bytes long: nothing was changed.");
}

void InitializeToken(const Cryptoki& cryptoki, CK_SLOT_ID slot, const Secret& soPin,
                     const std::string& label) {
  std::vector<CK_UTF8CHAR> padded = PaddedLabel(label);
  const CK_RV rv = cryptoki->C_InitToken(slot, PinData(soPin), PinLength(soPin), padded.data());
  if (rv == CKR_PIN_INCORRECT || rv == CKR_PIN_LOCKED) {
    ThrowRv("C_InitToken", rv, PinFailureAdvice(cryptoki, slot, PinKind::kSecurityOfficer, rv));
  }
  CheckRv("C_InitToken", rv);
}

void SetUserPin(const Session& session, const Secret& userPin) {
  CheckRv("C_InitPIN", session->C_InitPIN(session.handle(), PinData(userPin), PinLength(userPin)));
}

void ChangePin(const Session& session, PinKind kind, const Secret& oldPin, const Secret& newPin) {
  const CK_RV rv = session->C_SetPIN(session.handle(), PinData(oldPin), PinLength(oldPin),
                                     PinData(newPin), PinLength(newPin));
  if (rv == CKR_PIN_INCORRECT || rv == CKR_PIN_LOCKED) {
    ThrowRv("C_SetPIN", rv, PinFailureAdvice(session.cryptoki(), session.slot(), kind, rv));
  }
  CheckRv("C_SetPIN", rv);
}

}  // namespace zorad::tool
