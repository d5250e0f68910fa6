// Attaching a card to a slot as its token and detaching it again.
#pragma once

#include <memory>

#include "card/token.h"
#include "platform/cryptoki.h"
#include "slot/slot.h"

namespace zorad::slot {

// Replaces the slot's token by a new one, connects to the card and, when
// `readInfo` is set, reads the token information. A failed connection is
// CKR_FUNCTION_FAILED; the new token stays attached either way.
CK_RV InsertToken(Slot& slot, bool readInfo);

// Disconnects from the card and frees the token; the slot's sessions end
// with it (kSessionsEnded), and so does a login (kLoginEnded), however the
// card's going was noticed. CKR_FUNCTION_FAILED when the disconnect fails;
// the token is freed all the same.
CK_RV RemoveToken(Slot& slot);

// Frees a token with everything it owns; null is fine.
void FreeToken(std::unique_ptr<card::Token>& token);

// Removes the token (its sessions end) and forgets the slot's token state:
// the token bit of the flags and of the reported flags, and the login
// state. The reader bits stay as they are: clearing them would make the
// next reader list report a reader event for a reader that never went.
CK_RV ClearSlot(Slot& slot);

// The first step of making the slot's token ready for a new session: the
// card must be in the reader (its state is polled); it is attached as the
// slot's token unless a token is attached and connected already. A card
// that was replaced since the module last looked takes the old token and
// its sessions along first. CKR_TOKEN_NOT_PRESENT without a card,
// CKR_FUNCTION_FAILED when the state cannot be read, else InsertToken's
// result.
CK_RV AttachTokenForSession(Slot& slot);

// True while the card is still reachable on the slot's connection: a
// transaction can be begun and ended without recovery.
bool ConnectionStillUsable(Slot& slot);

// The last step, once the token's object lists are read: the slot reports
// its token present and every change of the reader's state counts as seen.
void KeepTokenForSession(Slot& slot);

}  // namespace zorad::slot
