// Which card is in a slot's reader: the identity check by serial number,
// the test for a card of the family, and the token's device state.
#pragma once

#include <cstdint>

#include "card/card_slot.h"
#include "card/token.h"
#include "platform/cryptoki.h"
#include "reader/reader.h"

namespace zorad::card {

// The card's serial number as the token reports it; read from the card
// once per transaction.
reader::ReaderResult ReadCardSerial(reader::Reader& reader, SerialNumberField& serial);

// CKR_OK when the connected card carries the token's serial number;
// CKR_TOKEN_NOT_RECOGNIZED for another card, CKR_FUNCTION_FAILED when the
// serial number cannot be read, CKR_TOKEN_NOT_PRESENT without a card
// connection or a token. Runs inside the caller's transaction.
CK_RV IsTheSameToken(CardSlot& slot);
// The same against a serial number the caller kept.
CK_RV IsTheSameToken(CardSlot& slot, const SerialNumberField& expected);

// True once the slot's token has been read completely from the card.
bool IsTokenRead(const CardSlot& slot);

// Whether the card in the reader is a token of the family: the token
// already read, or any card that carries the application. Connects when
// needed. CKR_TOKEN_NOT_RECOGNIZED when no connection can be made,
// CKR_FUNCTION_FAILED when the transaction fails.
CK_RV IsTokenInSlot(CardSlot& slot, bool& inSlot);

// The last device error of the token's reader, for the session info: the
// PC/SC result when there was one, else 0xFFFF0000 | the card's last status
// word when there was one, else 0. No card access.
CK_RV GetTokenState(const CardSlot& slot, uint32_t* state);

}  // namespace zorad::card
