// The module initialised for one command, the slot it works on, and a
// session on that slot that logs out again when it ends: a PIN verified on
// the card stays in force until the card is reset, so the tool never
// leaves a login behind.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "pin_source.h"
#include "platform/cryptoki.h"

namespace zorad::tool {

enum class PinKind { kUser, kSecurityOfficer };

// "user PIN" or "SO PIN".
const char* PinName(PinKind kind);

// C_Initialize for the lifetime of the object, C_Finalize at its end.
class Cryptoki {
 public:
  explicit Cryptoki(CK_FUNCTION_LIST* functions);
  ~Cryptoki();
  Cryptoki(const Cryptoki&) = delete;
  Cryptoki& operator=(const Cryptoki&) = delete;

  CK_FUNCTION_LIST* operator->() const { return functions_; }
  CK_FUNCTION_LIST* functions() const { return functions_; }

  // All slots, or those holding a token.
  std::vector<CK_SLOT_ID> Slots(bool withToken) const;
  // The slot given, or the first one holding a token. Throws ToolError
  // (kNoToken) with the advice for no reader, no card or no such slot.
  CK_SLOT_ID ChooseSlot(const std::optional<std::string>& requested) const;
  CK_SLOT_INFO SlotInfo(CK_SLOT_ID slot) const;
  CK_TOKEN_INFO TokenInfo(CK_SLOT_ID slot) const;

 private:
  CK_FUNCTION_LIST* functions_;
};

class Session {
 public:
  Session(const Cryptoki& cryptoki, CK_SLOT_ID slot, bool readWrite);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Throws ToolError; a wrong PIN names the tries left when the token
  // tells them.
  void Login(PinKind kind, const Secret& pin);
  void Logout();

  CK_FUNCTION_LIST* operator->() const { return cryptoki_.functions(); }
  const Cryptoki& cryptoki() const { return cryptoki_; }
  CK_SESSION_HANDLE handle() const { return handle_; }
  CK_SLOT_ID slot() const { return slot_; }
  bool loggedIn() const { return loggedIn_; }

 private:
  const Cryptoki& cryptoki_;
  CK_SLOT_ID slot_;
  CK_SESSION_HANDLE handle_ = CK_INVALID_HANDLE;
  bool loggedIn_ = false;
};

// The message for a refused PIN, with the tries left as far as the token's
// flags tell them (read after the failure).
std::string PinFailureAdvice(const Cryptoki& cryptoki, CK_SLOT_ID slot, PinKind kind, CK_RV rv);

// A text field of an info structure without its blank padding, printable
// (the token writes these fields).
std::string FieldText(const CK_UTF8CHAR* field, size_t size);

// The 32-byte blank-padded label form; throws UsageError above 32 bytes.
std::vector<CK_UTF8CHAR> PaddedLabel(const std::string& label);

}  // namespace zorad::tool
