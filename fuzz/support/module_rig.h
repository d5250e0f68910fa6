// The module's entry points over a simulated card in a simulated reader,
// one fresh PC/SC world per fuzz input.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/cryptoki.h"
#include "sim/card/card_device.h"
#include "sim/card/card_state.h"

namespace zorad::fuzz {

inline constexpr const char* kUserPin = "12345678";
inline constexpr const char* kSoPin = "87654321";
// The user PIN after a PIN change.
inline constexpr const char* kChangedUserPin = "87651234";

// The default card after one life through the module: a public data object
// labelled "fuzz data", and a GOST key pair (private key with CKA_SIGN,
// public key with CKA_VERIFY, both labelled "fuzz key"). Made once.
const sim::CardState& PreparedCardState();

class ModuleRig {
 public:
  // A fresh PC/SC world with `card` in its one reader (T=0 when `t0`); the
  // module not initialised.
  explicit ModuleRig(std::shared_ptr<sim::CardDevice> card, bool t0 = false);
  // Finalises the module however often it was initialised; a reader
  // transaction left open or dropped is a failure.
  ~ModuleRig();
  ModuleRig(const ModuleRig&) = delete;
  ModuleRig& operator=(const ModuleRig&) = delete;

  // C_Initialize, the slot with a token, a read/write session and the user
  // logged in; the session, or CK_INVALID_HANDLE when a step failed.
  CK_SESSION_HANDLE OpenUserSession();
};

// C_Login with a PIN given as text.
CK_RV LoginAs(CK_SESSION_HANDLE session, CK_USER_TYPE user, const std::string& pin);

// Every object a search with `search` finds, at most `limit`.
std::vector<CK_OBJECT_HANDLE> FindObjects(CK_SESSION_HANDLE session, CK_ATTRIBUTE* search,
                                          CK_ULONG count, size_t limit = 64);

}  // namespace zorad::fuzz
