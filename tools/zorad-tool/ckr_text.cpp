#include "ckr_text.h"

#include <cstdio>
#include <string_view>

namespace zorad::tool {
namespace {

struct CkrEntry {
  CK_RV rv;
  const char* name;
};

#define ZORAD_CKR(name) \
  { name, #name }
// Every result code of the standard header.
constexpr CkrEntry kNames[] = {
    ZORAD_CKR(CKR_OK),
    ZORAD_CKR(CKR_CANCEL),
    ZORAD_CKR(CKR_HOST_MEMORY),
    ZORAD_CKR(CKR_SLOT_ID_INVALID),
    ZORAD_CKR(CKR_GENERAL_ERROR),
    ZORAD_CKR(CKR_FUNCTION_FAILED),
    ZORAD_CKR(CKR_ARGUMENTS_BAD),
    ZORAD_CKR(CKR_NO_EVENT),
    ZORAD_CKR(CKR_NEED_TO_CREATE_THREADS),
    ZORAD_CKR(CKR_CANT_LOCK),
    ZORAD_CKR(CKR_ATTRIBUTE_READ_ONLY),
    ZORAD_CKR(CKR_ATTRIBUTE_SENSITIVE),
    ZORAD_CKR(CKR_ATTRIBUTE_TYPE_INVALID),
    ZORAD_CKR(CKR_ATTRIBUTE_VALUE_INVALID),
    ZORAD_CKR(CKR_ACTION_PROHIBITED),
    ZORAD_CKR(CKR_DATA_INVALID),
    ZORAD_CKR(CKR_DATA_LEN_RANGE),
    ZORAD_CKR(CKR_DEVICE_ERROR),
    ZORAD_CKR(CKR_DEVICE_MEMORY),
    ZORAD_CKR(CKR_DEVICE_REMOVED),
    ZORAD_CKR(CKR_ENCRYPTED_DATA_INVALID),
    ZORAD_CKR(CKR_ENCRYPTED_DATA_LEN_RANGE),
    ZORAD_CKR(CKR_FUNCTION_CANCELED),
    ZORAD_CKR(CKR_FUNCTION_NOT_PARALLEL),
    ZORAD_CKR(CKR_FUNCTION_NOT_SUPPORTED),
    ZORAD_CKR(CKR_KEY_HANDLE_INVALID),
    ZORAD_CKR(CKR_KEY_SIZE_RANGE),
    ZORAD_CKR(CKR_KEY_TYPE_INCONSISTENT),
    ZORAD_CKR(CKR_KEY_NOT_NEEDED),
    ZORAD_CKR(CKR_KEY_CHANGED),
    ZORAD_CKR(CKR_KEY_NEEDED),
    ZORAD_CKR(CKR_KEY_INDIGESTIBLE),
    ZORAD_CKR(CKR_KEY_FUNCTION_NOT_PERMITTED),
    ZORAD_CKR(CKR_KEY_NOT_WRAPPABLE),
    ZORAD_CKR(CKR_KEY_UNEXTRACTABLE),
    ZORAD_CKR(CKR_MECHANISM_INVALID),
    ZORAD_CKR(CKR_MECHANISM_PARAM_INVALID),
    ZORAD_CKR(CKR_OBJECT_HANDLE_INVALID),
    ZORAD_CKR(CKR_OPERATION_ACTIVE),
    ZORAD_CKR(CKR_OPERATION_NOT_INITIALIZED),
    ZORAD_CKR(CKR_PIN_INCORRECT),
    ZORAD_CKR(CKR_PIN_INVALID),
    ZORAD_CKR(CKR_PIN_LEN_RANGE),
    ZORAD_CKR(CKR_PIN_EXPIRED),
    ZORAD_CKR(CKR_PIN_LOCKED),
    ZORAD_CKR(CKR_SESSION_CLOSED),
    ZORAD_CKR(CKR_SESSION_COUNT),
    ZORAD_CKR(CKR_SESSION_HANDLE_INVALID),
    ZORAD_CKR(CKR_SESSION_PARALLEL_NOT_SUPPORTED),
    ZORAD_CKR(CKR_SESSION_READ_ONLY),
    ZORAD_CKR(CKR_SESSION_EXISTS),
    ZORAD_CKR(CKR_SESSION_READ_ONLY_EXISTS),
    ZORAD_CKR(CKR_SESSION_READ_WRITE_SO_EXISTS),
    ZORAD_CKR(CKR_SIGNATURE_INVALID),
    ZORAD_CKR(CKR_SIGNATURE_LEN_RANGE),
    ZORAD_CKR(CKR_TEMPLATE_INCOMPLETE),
    ZORAD_CKR(CKR_TEMPLATE_INCONSISTENT),
    ZORAD_CKR(CKR_TOKEN_NOT_PRESENT),
    ZORAD_CKR(CKR_TOKEN_NOT_RECOGNIZED),
    ZORAD_CKR(CKR_TOKEN_WRITE_PROTECTED),
    ZORAD_CKR(CKR_UNWRAPPING_KEY_SIZE_RANGE),
    ZORAD_CKR(CKR_UNWRAPPING_KEY_TYPE_INCONSISTENT),
    ZORAD_CKR(CKR_USER_ALREADY_LOGGED_IN),
    ZORAD_CKR(CKR_USER_NOT_LOGGED_IN),
    ZORAD_CKR(CKR_USER_PIN_NOT_INITIALIZED),
    ZORAD_CKR(CKR_USER_TYPE_INVALID),
    ZORAD_CKR(CKR_USER_ANOTHER_ALREADY_LOGGED_IN),
    ZORAD_CKR(CKR_USER_TOO_MANY_TYPES),
    ZORAD_CKR(CKR_WRAPPED_KEY_INVALID),
    ZORAD_CKR(CKR_WRAPPED_KEY_LEN_RANGE),
    ZORAD_CKR(CKR_WRAPPING_KEY_HANDLE_INVALID),
    ZORAD_CKR(CKR_WRAPPING_KEY_SIZE_RANGE),
    ZORAD_CKR(CKR_WRAPPING_KEY_TYPE_INCONSISTENT),
    ZORAD_CKR(CKR_RANDOM_SEED_NOT_SUPPORTED),
    ZORAD_CKR(CKR_RANDOM_NO_RNG),
    ZORAD_CKR(CKR_DOMAIN_PARAMS_INVALID),
    ZORAD_CKR(CKR_CURVE_NOT_SUPPORTED),
    ZORAD_CKR(CKR_BUFFER_TOO_SMALL),
    ZORAD_CKR(CKR_SAVED_STATE_INVALID),
    ZORAD_CKR(CKR_INFORMATION_SENSITIVE),
    ZORAD_CKR(CKR_STATE_UNSAVEABLE),
    ZORAD_CKR(CKR_CRYPTOKI_NOT_INITIALIZED),
    ZORAD_CKR(CKR_CRYPTOKI_ALREADY_INITIALIZED),
    ZORAD_CKR(CKR_MUTEX_BAD),
    ZORAD_CKR(CKR_MUTEX_NOT_LOCKED),
    ZORAD_CKR(CKR_NEW_PIN_MODE),
    ZORAD_CKR(CKR_NEXT_OTP),
    ZORAD_CKR(CKR_EXCEEDED_MAX_ITERATIONS),
    ZORAD_CKR(CKR_FIPS_SELF_TEST_FAILED),
    ZORAD_CKR(CKR_LIBRARY_LOAD_FAILED),
    ZORAD_CKR(CKR_PIN_TOO_WEAK),
    ZORAD_CKR(CKR_PUBLIC_KEY_INVALID),
    ZORAD_CKR(CKR_FUNCTION_REJECTED),
};
#undef ZORAD_CKR

struct AdviceEntry {
  CK_RV rv;
  const char* advice;
};

constexpr AdviceEntry kAdvice[] = {
    {CKR_PIN_INCORRECT,
     "Wrong PIN: check it and try again; every wrong try counts towards "
     "locking the PIN."},
    {CKR_PIN_LOCKED,
     "The PIN is locked: the security officer sets a new user PIN with "
     "'zorad-tool init-pin'; a locked SO PIN cannot be unlocked."},
    {CKR_PIN_LEN_RANGE,
     "The PIN is too short or too long for this token: see the PIN lengths "
     "in 'zorad-tool info'."},
    {CKR_PIN_INVALID, "The PIN holds characters the token does not accept: choose another."},
    {CKR_TOKEN_NOT_PRESENT, "No card in the reader: insert the card and try again."},
    {CKR_TOKEN_NOT_RECOGNIZED,
     "The card in the reader is not a Zorad token or is not "
     "personalised: insert the right card."},
    {CKR_DEVICE_REMOVED, "The card was taken out during the operation: insert it and try again."},
    {CKR_SLOT_ID_INVALID, "There is no such slot: list the slots with 'zorad-tool slots'."},
    {CKR_USER_NOT_LOGGED_IN, "This needs the user to be logged in: give the user PIN."},
    {CKR_USER_PIN_NOT_INITIALIZED,
     "The user PIN is not set: the security officer sets it with "
     "'zorad-tool init-pin'."},
    {CKR_USER_ALREADY_LOGGED_IN,
     "Someone is already logged in to the token: log out in the "
     "other application first."},
    {CKR_USER_ANOTHER_ALREADY_LOGGED_IN,
     "Another user is logged in to the token: log out in "
     "the other application first."},
    {CKR_SESSION_EXISTS,
     "An application still has a session on this token: close it and try "
     "again."},
    {CKR_SESSION_READ_ONLY_EXISTS,
     "An application holds a read-only session on this token: "
     "close it and try again."},
    {CKR_DEVICE_MEMORY,
     "The token is full: delete objects you no longer need with "
     "'zorad-tool delete'."},
    {CKR_DEVICE_ERROR,
     "The card failed or its object store changed underneath: run the "
     "command again, and re-insert the card if it keeps failing."},
    {CKR_FUNCTION_FAILED,
     "The card refused or failed the operation: check the card and the "
     "reader, then try again."},
    {CKR_DOMAIN_PARAMS_INVALID,
     "The token does not support this GOST parameter set: leave "
     "--paramset out to use the token's own set."},
    {CKR_MECHANISM_INVALID,
     "The token does not offer this mechanism: use gostr3410 or "
     "gostr3410-with-gostr3411."},
    {CKR_KEY_TYPE_INCONSISTENT,
     "This object cannot be used for this operation: choose a GOST "
     "key that is allowed to sign or verify."},
    {CKR_ATTRIBUTE_VALUE_INVALID,
     "The token refused an attribute of the object: check the "
     "label, id and parameter set."},
    {CKR_ATTRIBUTE_TYPE_INVALID, "The token does not accept an attribute of this object."},
    {CKR_SIGNATURE_INVALID, "The signature does not match the data and the key."},
    {CKR_FUNCTION_NOT_SUPPORTED,
     "The module does not offer this operation: check that --module "
     "names the zorad_pkcs11 module."},
    {CKR_CRYPTOKI_NOT_INITIALIZED,
     "The module was finalised during the operation: run the "
     "command again."},
    {CKR_HOST_MEMORY, "The computer ran out of memory: close other programs and try again."},
    {CKR_GENERAL_ERROR,
     "The module failed internally: run the command again; if it keeps "
     "failing, send the module's trace (ZORAD_PKCS11_TRACEMODE) to support."},
};

}  // namespace

std::string CkrName(CK_RV rv) {
  for (const CkrEntry& entry : kNames) {
    if (entry.rv == rv) return entry.name;
  }
  char text[40];
  std::snprintf(text, sizeof text, "CKR 0x%08lX", static_cast<unsigned long>(rv));
  return text;
}

std::string CkrAdvice(CK_RV rv) {
  for (const AdviceEntry& entry : kAdvice) {
    if (entry.rv == rv) return entry.advice;
  }
  return {};
}

ExitCode ExitCodeFor(CK_RV rv) {
  switch (rv) {
    case CKR_PIN_INCORRECT:
    case CKR_PIN_LOCKED:
    case CKR_PIN_LEN_RANGE:
    case CKR_PIN_INVALID:
    case CKR_USER_PIN_NOT_INITIALIZED:
      return ExitCode::kPin;
    case CKR_TOKEN_NOT_PRESENT:
    case CKR_TOKEN_NOT_RECOGNIZED:
    case CKR_DEVICE_REMOVED:
    case CKR_SLOT_ID_INVALID:
      return ExitCode::kNoToken;
    case CKR_SIGNATURE_INVALID:
      return ExitCode::kBadSignature;
    default:
      return ExitCode::kFailed;
  }
}

std::string CkrMessage(const char* function, CK_RV rv, const std::string& advice) {
  std::string message = std::string(function) + " failed: " + CkrName(rv) + ".";
  const std::string text = advice.empty() ? CkrAdvice(rv) : advice;
  if (!text.empty()) message += " " + text;
  return message;
}

void CheckRv(const char* function, CK_RV rv) {
  if (rv != CKR_OK) ThrowRv(function, rv);
}

void ThrowRv(const char* function, CK_RV rv, const std::string& advice) {
  throw ToolError(ExitCodeFor(rv), CkrMessage(function, rv, advice));
}

}  // namespace zorad::tool
