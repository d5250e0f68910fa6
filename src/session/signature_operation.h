// The sign and the verify operation of a session (C_SignInit ... C_SignFinal,
// C_VerifyInit ... C_VerifyFinal). They are two operations: each has its
// own mechanism, key and collected message, both may be active at once, and
// a key is used only for the operation whose Init checked it. An Init while
// its operation is active is CKR_OPERATION_ACTIVE and changes nothing; any
// other failure of an Init leaves the operation ended.
//
// With CKM_GOSTR3410_WITH_GOSTR3411 the message may come in parts: they are
// collected in the session and the final call sends them to the card, which
// hashes them, in the one transaction that also signs or verifies. A call
// that gets as far as the card ends the operation, whatever the card says,
// and so does every error of an update or final call; a length query and a
// buffer too small leave it active.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/cryptoki.h"
#include "session/collected_parts.h"
#include "store/token_object.h"

namespace zorad::session {

struct SignatureOperation {
  CK_MECHANISM_TYPE mechanism = 0;
  store::ObjectKey key;  // where the key lives on the card; id 0: no operation
  CollectedParts parts;  // the message the updates collected

  bool active() const { return key.id != 0; }
  // The key is used up and the collected message wiped.
  void End() {
    mechanism = 0;
    key = {};
    parts.Clear();
  }
};

enum class SignatureUse : uint8_t { kSign, kVerify };

// C_SignInit, C_VerifyInit: the key must be a token key of the session's
// card that allows the use (CKA_SIGN, CKA_VERIFY) and names a key type; its
// attributes are read from the card first.
CK_RV BeginSignatureOperation(CK_SESSION_HANDLE handle, SignatureUse use,
                              CK_MECHANISM_TYPE mechanism, CK_OBJECT_HANDLE key);

// C_Sign: `signatureLength` is the capacity on entry and the length on
// return (also for a length query, `signature` null).
CK_RV SignWhole(CK_SESSION_HANDLE handle, const uint8_t* data, size_t dataLength,
                uint8_t* signature, CK_ULONG& signatureLength);
// C_Verify. A signature that is not 64 bytes is CKR_SIGNATURE_LEN_RANGE
// and ends the operation.
CK_RV VerifyWhole(CK_SESSION_HANDLE handle, const uint8_t* data, size_t dataLength,
                  const uint8_t* signature, size_t signatureLength);

// C_SignUpdate, C_VerifyUpdate.
CK_RV UpdateSignatureOperation(CK_SESSION_HANDLE handle, SignatureUse use, const uint8_t* part,
                               CK_ULONG partLength);

// C_SignFinal, C_VerifyFinal.
CK_RV SignFinal(CK_SESSION_HANDLE handle, uint8_t* signature, CK_ULONG& signatureLength);
CK_RV VerifyFinal(CK_SESSION_HANDLE handle, const uint8_t* signature, size_t signatureLength);

}  // namespace zorad::session
