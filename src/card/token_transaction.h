// The frame of every operation that touches a token's card: one PC/SC
// transaction on the slot's reader, recovered when another application
// reset the card, with a check that the card is still the token the slot
// holds, then the selection of the card application. Whatever path leaves
// the operation, a begun transaction is ended.
//
//   TokenTransaction transaction(slot);
//   if (transaction.Begin() != CKR_OK) return CKR_FUNCTION_FAILED;
//   if (transaction.SelectApplication() != RDR_OK) return <the operation's code>;
//   ... the operation's commands ...
//   return transaction.End();   // or let the destructor end it on failure paths
#pragma once

#include "card/card_slot.h"
#include "card/token.h"
#include "platform/cryptoki.h"
#include "reader/transaction.h"

namespace zorad::card {

class TokenTransaction {
 public:
  explicit TokenTransaction(CardSlot& slot);
  ~TokenTransaction() = default;  // the reader transaction ends itself
  TokenTransaction(const TokenTransaction&) = delete;
  TokenTransaction& operator=(const TokenTransaction&) = delete;

  // Begins the transaction. After a recovery from a card reset the card
  // must carry the token's serial number (when the slot holds a token yet:
  // a card being examined for the first time has none to keep).
  // CKR_FUNCTION_FAILED when the transaction cannot be had or another card
  // answers.
  CK_RV Begin();
  // The same, checking the card after a recovery against `expected`: for
  // callers that are about to overwrite the token's own serial number.
  CK_RV Begin(const SerialNumberField& expected);

  // SELECT of the card application; each operation maps a failure itself
  // (the status word stays in the reader's lastStatusWord).
  reader::ReaderResult SelectApplication();

  // Begin and SelectApplication in one: `selectFailure` when the
  // application cannot be selected.
  CK_RV BeginAndSelect(CK_RV selectFailure = CKR_FUNCTION_FAILED);

  // Ends the transaction now. CKR_FUNCTION_FAILED when ending fails; CKR_OK
  // when nothing was begun.
  CK_RV End();

  reader::Reader* reader() const { return slot_.reader.get(); }
  bool active() const { return transaction_.active(); }

 private:
  CK_RV CheckedAfterRecovery(CK_RV sameToken);

  CardSlot& slot_;
  reader::ReaderTransaction transaction_;
};

// Begins and ends a transaction without a command: a card reset since the
// last call is followed (FollowCardReset, the card checked against the
// token) and a card taken out is recorded, before anything is answered
// from what the module holds. Inside an entry point call the transaction
// stays held for the call's card work. CKR_FUNCTION_FAILED as Begin.
CK_RV NoticeCardEvents(CardSlot& slot);

}  // namespace zorad::card
