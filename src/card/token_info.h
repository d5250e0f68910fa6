// The token information: read from the card into the Token record, and
// handed to the application as a CK_TOKEN_INFO.
#pragma once

#include "card/card_slot.h"
#include "card/token.h"
#include "platform/cryptoki.h"

namespace zorad::card {

// The model every token of the family reports.
inline constexpr char kTokenModel[] = "Zorad 2.1";

// What a reading of the token information serves: a token in use, or token
// initialisation, which needs only the token information file, the serial
// number and the PIN limits (it rewrites the allocation tables itself), so
// reads neither the tables nor the PIN states.
enum class TokenInfoUse : uint8_t { kToken, kInitialisation };

// Refills the identity part of the slot's token from the card: label,
// token information file, serial number, free memory of the areas that
// can be read, and the PIN state flags.
//
// A card without the application or its token files (6A82) reads as a
// blank token; a token information file with another format or a wrong
// checksum reads as all zero. CKR_TOKEN_NOT_RECOGNIZED when the card
// answers an unexpected status word or an area's blocks leave no room for
// an object's body after its header, CKR_FUNCTION_FAILED for reader and
// transaction failures, and the results of the area selection pass through.
CK_RV ReadTokenInfo(CardSlot& slot, TokenInfoUse use = TokenInfoUse::kToken);

// The token information an application asks for: what the token holds
// while it stands (no card command), with the PIN state flags asked again
// after a table was read or written, a login, a logout or a PIN operation,
// and the private area's free memory read once after a login. Read whole
// (ReadTokenInfo) when the token was never read, after a card reset, and
// after another process changed an area's table.
CK_RV UpdateTokenInfo(CardSlot& slot);

// The token's CK_TOKEN_INFO; every field not taken from the token is zero.
void FillTokenInfo(CK_TOKEN_INFO& info, const Token& token);

}  // namespace zorad::card
