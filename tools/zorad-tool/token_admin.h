// Token administration shared by the admin commands and the demo: token
// initialisation, the user PIN set by the security officer, PIN changes.
#pragma once

#include <string>

#include "cryptoki_session.h"

namespace zorad::tool {

// Throws ToolError (kPin) unless the PIN length lies within the token's
// limits; nothing has been sent to the card then.
void CheckPinLength(const CK_TOKEN_INFO& token, const Secret& pin, const std::string& what);

// C_InitToken with the SO PIN and the label (at most 32 bytes).
void InitializeToken(const Cryptoki& cryptoki, CK_SLOT_ID slot, const Secret& soPin,
                     const std::string& label);

// C_InitPIN in a session where the security officer is logged in.
void SetUserPin(const Session& session, const Secret& userPin);

// C_SetPIN: the user's PIN with nobody logged in, the SO PIN while the
// security officer is.
void ChangePin(const Session& session, PinKind kind, const Secret& oldPin, const Secret& newPin);

}  // namespace zorad::tool
