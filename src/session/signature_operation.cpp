#include "session/signature_operation.h"

#include "card/token_sign.h"
#include "session/attribute_values.h"
#include "session/object_table.h"
#include "session/output_length.h"
#include "session/session_table.h"
#include "store/attribute_access.h"
#include "store/object_sign.h"

namespace zorad::session {
namespace {

SignatureOperation& OperationOf(Session& session, SignatureUse use) {
  return use == SignatureUse::kSign ? session.sign : session.verify;
}

// The key of an Init: a token key of the session's own card (a card id
// names nothing on another slot's card) that allows the use and names a
// key type.
CK_RV CheckOperationKey(const SessionSlot& s, SignatureUse use, CK_MECHANISM_TYPE mechanism,
                        CK_OBJECT_HANDLE hKey, store::ObjectKey& key) {
  const ObjectEntry* entry = FindObjectEntry(hKey);
  if (entry == nullptr || (entry->isTokenObject() && entry->slotId != s.session->slotId)) {
    return CKR_KEY_HANDLE_INVALID;
  }
  const store::AttributeList* view = &entry->attributes;
  if (entry->isTokenObject()) {
    const CK_RV rv = store::ViewTokenAttributeValues(*s.slot, entry->tokenObject, view);
    if (rv == CKR_OBJECT_HANDLE_INVALID) return CKR_KEY_HANDLE_INVALID;
    if (rv != CKR_OK) return rv;
  }
  const store::AttributeList& attributes = *view;
  const uint32_t usage = use == SignatureUse::kSign ? CKA_SIGN : CKA_VERIFY;
  if (!AttributeIsTrue(attributes, usage) || !HasAttribute(attributes, CKA_KEY_TYPE)) {
    return CKR_KEY_TYPE_INCONSISTENT;
  }
  key = entry->tokenObject;
  return use == SignatureUse::kSign ? store::TokenSignInit(*s.slot, mechanism, key)
                                    : store::TokenVerifyInit(*s.slot, mechanism, key);
}

// C_Sign and C_Verify take the message whole: none may have come in parts.
CK_RV CheckSinglePart(const SignatureOperation& operation) {
  if (!operation.active()) return CKR_OPERATION_NOT_INITIALIZED;
  if (operation.parts.started()) return CKR_OPERATION_ACTIVE;  // the final call ends it
  return CKR_OK;
}

// The operation an update or final call continues: CKR_OK, or why there is
// none. CKM_GOSTR3410 signs a hash given whole and has no parts; asking it
// for them ends the operation.
CK_RV ContinueInParts(SignatureOperation& operation) {
  if (!operation.active()) return CKR_OPERATION_NOT_INITIALIZED;
  if (operation.mechanism != CKM_GOSTR3410_WITH_GOSTR3411) {
    operation.End();
    return CKR_FUNCTION_NOT_SUPPORTED;
  }
  return CKR_OK;
}

// Signs on the card and ends the operation, whatever the card answers.
CK_RV SignAndEnd(const SessionSlot& s, const uint8_t* data, size_t dataLength, uint8_t* signature,
                 CK_ULONG& signatureLength) {
  SignatureOperation& operation = s.session->sign;
  size_t length = signatureLength;
  const CK_RV rv = store::TokenSign(*s.slot, operation.key, operation.mechanism, data, dataLength,
                                    signature, &length);
  operation.End();
  if (rv == CKR_OK) signatureLength = static_cast<CK_ULONG>(length);
  return rv;
}

// Verifies on the card and ends the operation, whatever the card answers.
CK_RV VerifyAndEnd(const SessionSlot& s, const uint8_t* data, size_t dataLength,
                   const uint8_t* signature, size_t signatureLength) {
  SignatureOperation& operation = s.session->verify;
  const CK_RV rv = store::TokenVerify(*s.slot, operation.key, operation.mechanism, data,
                                      dataLength, signature, signatureLength);
  operation.End();
  return rv;
}

}  // namespace

CK_RV BeginSignatureOperation(CK_SESSION_HANDLE handle, SignatureUse use,
                              CK_MECHANISM_TYPE mechanism, CK_OBJECT_HANDLE key) {
  const SessionSlot s = FindSessionSlot(handle);
  if (s.rv != CKR_OK) return s.rv;
  SignatureOperation& operation = OperationOf(*s.session, use);
  if (operation.active()) return CKR_OPERATION_ACTIVE;
  store::ObjectKey checked;
  const CK_RV rv = CheckOperationKey(s, use, mechanism, key, checked);
  operation.End();  // nothing of an earlier message is signed
  if (rv != CKR_OK) return rv;
  operation.mechanism = mechanism;
  operation.key = checked;
  return CKR_OK;
}

CK_RV SignWhole(CK_SESSION_HANDLE handle, const uint8_t* data, size_t dataLength,
                uint8_t* signature, CK_ULONG& signatureLength) {
  const SessionSlot s = FindSessionSlot(handle);
  if (s.rv != CKR_OK) return s.rv;
  const CK_RV rv = CheckSinglePart(s.session->sign);
  if (rv != CKR_OK) return rv;
  if (const auto answer =
          AnswerLengthQuery(signature, signatureLength, card::kGostSignatureLength)) {
    return *answer;
  }
  return SignAndEnd(s, data, dataLength, signature, signatureLength);
}

CK_RV VerifyWhole(CK_SESSION_HANDLE handle, const uint8_t* data, size_t dataLength,
                  const uint8_t* signature, size_t signatureLength) {
  const SessionSlot s = FindSessionSlot(handle);
  if (s.rv != CKR_OK) return s.rv;
  SignatureOperation& operation = s.session->verify;
  const CK_RV rv = CheckSinglePart(operation);
  if (rv != CKR_OK) return rv;
  if (data == nullptr || dataLength == 0 || signature == nullptr) return CKR_ARGUMENTS_BAD;
  if (signatureLength != card::kGostSignatureLength) {
    operation.End();
    return CKR_SIGNATURE_LEN_RANGE;
  }
  return VerifyAndEnd(s, data, dataLength, signature, signatureLength);
}

CK_RV UpdateSignatureOperation(CK_SESSION_HANDLE handle, SignatureUse use, const uint8_t* part,
                               CK_ULONG partLength) {
  const SessionSlot s = FindSessionSlot(handle);
  if (s.rv != CKR_OK) return s.rv;
  SignatureOperation& operation = OperationOf(*s.session, use);
  CK_RV rv = ContinueInParts(operation);
  if (rv == CKR_OK) rv = operation.parts.Append(part, partLength);
  if (rv != CKR_OK) operation.End();
  return rv;
}

CK_RV SignFinal(CK_SESSION_HANDLE handle, uint8_t* signature, CK_ULONG& signatureLength) {
  const SessionSlot s = FindSessionSlot(handle);
  if (s.rv != CKR_OK) return s.rv;
  SignatureOperation& operation = s.session->sign;
  const CK_RV continued = ContinueInParts(operation);
  if (continued != CKR_OK) return continued;
  if (const auto answer =
          AnswerLengthQuery(signature, signatureLength, card::kGostSignatureLength)) {
    return *answer;
  }
  if (operation.parts.size() == 0) {  // the card hashes no empty message
    operation.End();
    return CKR_DATA_LEN_RANGE;
  }
  return SignAndEnd(s, operation.parts.data(), operation.parts.size(), signature, signatureLength);
}

CK_RV VerifyFinal(CK_SESSION_HANDLE handle, const uint8_t* signature, size_t signatureLength) {
  const SessionSlot s = FindSessionSlot(handle);
  if (s.rv != CKR_OK) return s.rv;
  SignatureOperation& operation = s.session->verify;
  const CK_RV continued = ContinueInParts(operation);
  if (continued != CKR_OK) return continued;
  CK_RV refused = CKR_OK;
  if (signatureLength != card::kGostSignatureLength) {
    refused = CKR_SIGNATURE_LEN_RANGE;
  } else if (operation.parts.size() == 0) {
    refused = CKR_DATA_LEN_RANGE;  // the card hashes no empty message
  }
  if (refused != CKR_OK) {
    operation.End();
    return refused;
  }
  return VerifyAndEnd(s, operation.parts.data(), operation.parts.size(), signature,
                      signatureLength);
}

}  // namespace zorad::session
