#include "cryptoki_session.h"

#include "ckr_text.h"
#include "cli_options.h"
#include "terminal_text.h"
#include "tool_error.h"

namespace zorad::tool {
namespace {

constexpr const char* kNoReaderAdvice =
    "No smart-card reader found: start the virtual reader with scripts/virtual-reader start";

// After C_InitToken the card refuses every user login until the security
// officer sets the PIN; the token then reports the PIN as to be changed.
bool UserPinUnset(const Cryptoki& cryptoki, CK_SLOT_ID slot) {
  CK_TOKEN_INFO info{};
  return cryptoki->C_GetTokenInfo(slot, &info) == CKR_OK &&
         (info.flags & CKF_USER_PIN_TO_BE_CHANGED) != 0;
}

}  // namespace

const char* PinName(PinKind kind) { return kind == PinKind::kUser ? "user PIN" : "SO PIN"; }

Cryptoki::Cryptoki(CK_FUNCTION_LIST* functions) : functions_(functions) {
  const CK_RV rv = functions_->C_Initialize(nullptr);
  if (rv == CKR_FUNCTION_FAILED) {
    // The one failure of C_Initialize that is not a fault: no PC/SC service.
    throw ToolError(ExitCode::kNoToken,
                    CkrMessage("C_Initialize", rv,
                               "The smart-card service (pcscd) cannot be reached: start it, or "
                               "start the virtual reader with scripts/virtual-reader start."));
  }
  CheckRv("C_Initialize", rv);
}

Cryptoki::~Cryptoki() { functions_->C_Finalize(nullptr); }

std::vector<CK_SLOT_ID> Cryptoki::Slots(bool withToken) const {
  const CK_BBOOL filter = withToken ? CK_TRUE : CK_FALSE;
  CK_ULONG count = 0;
  CK_RV rv = functions_->C_GetSlotList(filter, nullptr, &count);
  if (rv != CKR_OK) ThrowRv("C_GetSlotList", rv, std::string(kNoReaderAdvice) + ".");
  std::vector<CK_SLOT_ID> slots(count);
  if (count == 0) return slots;
  rv = functions_->C_GetSlotList(filter, slots.data(), &count);
  CheckRv("C_GetSlotList", rv);
  slots.resize(count);
  return slots;
}

CK_SLOT_ID Cryptoki::ChooseSlot(const std::optional<std::string>& requested) const {
  if (requested) {
    const auto id = ParseNumber(*requested, 0, 0xFFFFFFFFul);
    if (!id) throw UsageError("'--slot " + *requested + "' is not a slot number");
    const std::vector<CK_SLOT_ID> all = Slots(false);
    if (all.empty()) throw ToolError(ExitCode::kNoToken, std::string(kNoReaderAdvice) + ".");
    for (CK_SLOT_ID slot : all) {
      if (slot == *id) return slot;
    }
    throw ToolError(ExitCode::kNoToken,
                    "There is no slot " + *requested + ": list the slots with 'zorad-tool slots'.");
  }
  const std::vector<CK_SLOT_ID> withToken = Slots(true);
  if (!withToken.empty()) return withToken.front();
  if (Slots(false).empty()) {
    throw ToolError(ExitCode::kNoToken, std::string(kNoReaderAdvice) + ".");
  }
  throw ToolError(ExitCode::kNoToken,
                  "No token found: insert a Zorad card into the reader "
                  "(virtual reader: scripts/virtual-reader insert).");
}

CK_SLOT_INFO Cryptoki::SlotInfo(CK_SLOT_ID slot) const {
  CK_SLOT_INFO info{};
  CheckRv("C_GetSlotInfo", functions_->C_GetSlotInfo(slot, &info));
  return info;
}

CK_TOKEN_INFO Cryptoki::TokenInfo(CK_SLOT_ID slot) const {
  CK_TOKEN_INFO info{};
  CheckRv("C_GetTokenInfo", functions_->C_GetTokenInfo(slot, &info));
  return info;
}

Session::Session(const Cryptoki& cryptoki, CK_SLOT_ID slot, bool readWrite)
    : cryptoki_(cryptoki), slot_(slot) {
  CK_FLAGS flags = CKF_SERIAL_SESSION;
  if (readWrite) flags |= CKF_RW_SESSION;
  CheckRv("C_OpenSession", cryptoki_->C_OpenSession(slot, flags, nullptr, nullptr, &handle_));
}

Session::~Session() {
  if (loggedIn_) cryptoki_->C_Logout(handle_);
  cryptoki_->C_CloseSession(handle_);
}

void Session::Login(PinKind kind, const Secret& pin) {
  const CK_USER_TYPE user = kind == PinKind::kUser ? CKU_USER : CKU_SO;
  const CK_RV rv = cryptoki_->C_Login(handle_, user, const_cast<CK_UTF8CHAR*>(pin.data()),
                                      static_cast<CK_ULONG>(pin.size()));
  if (rv == CKR_PIN_INCORRECT || rv == CKR_PIN_LOCKED) {
    ThrowRv("C_Login", rv, PinFailureAdvice(cryptoki_, slot_, kind, rv));
  }
  if (rv == CKR_FUNCTION_FAILED && kind == PinKind::kUser && UserPinUnset(cryptoki_, slot_)) {
    throw ToolError(ExitCode::kPin,
                    CkrMessage("C_Login", rv,
                               "The token has no usable user PIN (it was initialised, or the PIN "
                               "must be set anew): the security officer sets it with "
                               "'zorad-tool init-pin'."));
  }
  CheckRv("C_Login", rv);
  loggedIn_ = true;
}

void Session::Logout() {
  if (!loggedIn_) return;
  loggedIn_ = false;
  CheckRv("C_Logout", cryptoki_->C_Logout(handle_));
}

std::string PinFailureAdvice(const Cryptoki& cryptoki, CK_SLOT_ID slot, PinKind kind, CK_RV rv) {
  const bool user = kind == PinKind::kUser;
  CK_TOKEN_INFO info{};
  const bool known = cryptoki->C_GetTokenInfo(slot, &info) == CKR_OK;
  const CK_FLAGS locked = user ? CKF_USER_PIN_LOCKED : CKF_SO_PIN_LOCKED;
  if (rv == CKR_PIN_LOCKED || (known && (info.flags & locked) != 0)) {
    return user ? "The user PIN is locked: the security officer sets a new one with "
                  "'zorad-tool init-pin'."
                : "The SO PIN is locked: the token can no longer be initialised or its user "
                  "PIN reset; contact the card issuer.";
  }
  const std::string name = PinName(kind);
  if (known && (info.flags & (user ? CKF_USER_PIN_FINAL_TRY : CKF_SO_PIN_FINAL_TRY)) != 0) {
    return "Wrong " + name + ": 1 try left before it is locked; check the PIN before trying again.";
  }
  if (known && (info.flags & (user ? CKF_USER_PIN_COUNT_LOW : CKF_SO_PIN_COUNT_LOW)) != 0) {
    return "Wrong " + name +
           ": only a few tries left before it is locked; check the PIN "
           "before trying again.";
  }
  return "Wrong " + name + ": check it and try again; every wrong try counts towards locking it.";
}

std::string FieldText(const CK_UTF8CHAR* field, size_t size) {
  std::string text(reinterpret_cast<const char*>(field), size);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
  return Printable(text);
}

std::vector<CK_UTF8CHAR> PaddedLabel(const std::string& label) {
  if (label.size() > 32) {
    throw UsageError("the token label '" + label + "' is longer than 32 bytes");
  }
  std::vector<CK_UTF8CHAR> padded(32, ' ');
  std::copy(label.begin(), label.end(), padded.begin());
  return padded;
}

}  // namespace zorad::tool
