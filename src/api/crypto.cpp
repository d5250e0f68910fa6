// Signing, verification, key pair generation and random bytes.
//
// A session keeps one signature operation: the mechanism and the card id of
// the key given to the last C_SignInit or C_VerifyInit. The key is used up
// by the C_Sign or C_Verify that reaches the card; the mechanism stays. A
// failed C_SignInit or C_VerifyInit ends the operation.
//
// With CKM_GOSTR3410_WITH_GOSTR3411 the message may come in parts
// (C_SignUpdate, C_VerifyUpdate): they are collected in the session and the
// final call sends them to the card, which hashes them, in the one
// transaction that also signs or verifies. An error of an update or final
// call ends the operation; so does every final call that gets as far as the
// card, whatever the card says.
#include "api/entry_frame.h"
#include "api/integer_attributes.h"
#include "api/output_length.h"
#include "session/session_table.h"
#include "card/token_random.h"
#include "card/token_sign.h"
#include "session/attribute_values.h"
#include "session/object_table.h"
#include "store/attribute_access.h"
#include "store/object_create.h"
#include "store/object_sign.h"

using namespace zorad::api;
using namespace zorad;

namespace {

// C_SignInit and C_VerifyInit: the key must allow the use (`usage`,
// CKA_SIGN or CKA_VERIFY) and name a key type; a token key's attributes are
// read from the card first.
CK_RV CheckOperationKey(const session::SessionSlot& s, CK_MECHANISM_TYPE mechanism,
                        CK_OBJECT_HANDLE hKey, CK_ATTRIBUTE_TYPE usage, store::ObjectKey& keyId) {
  const session::ObjectEntry* key = session::FindObjectEntry(hKey);
  // A token key of another slot's card must not be looked up by its id on
  // this one.
  if (key == nullptr || (key->isTokenObject() && key->slotId != s.session->slotId)) {
    return CKR_KEY_HANDLE_INVALID;
  }
  store::AttributeList read;
  if (key->isTokenObject()) {
    const CK_RV rv = store::GetTokenAttributeValues(*s.slot, key->tokenObject, read);
    if (rv == CKR_OBJECT_HANDLE_INVALID) return CKR_KEY_HANDLE_INVALID;
    if (rv != CKR_OK) return rv;
  }
  const store::AttributeList& attributes = key->isTokenObject() ? read : key->attributes;
  if (!session::AttributeIsTrue(attributes, static_cast<uint32_t>(usage)) ||
      !session::HasAttribute(attributes, CKA_KEY_TYPE)) {
    return CKR_KEY_TYPE_INCONSISTENT;
  }
  keyId = key->tokenObject;
  return usage == CKA_SIGN ? store::TokenSignInit(*s.slot, mechanism, keyId)
                           : store::TokenVerifyInit(*s.slot, mechanism, keyId);
}

// A new operation replaces the session's earlier one, also when it is
// refused: a later C_Sign or C_Verify must never act with the key of an
// operation the application meant to replace.
CK_RV OperationInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_TYPE mechanism, CK_OBJECT_HANDLE hKey,
                    CK_ATTRIBUTE_TYPE usage) {
  const session::SessionSlot s = session::FindSessionSlot(hSession);
  if (s.rv != CKR_OK) return s.rv;
  store::ObjectKey keyId;
  const CK_RV rv = CheckOperationKey(s, mechanism, hKey, usage, keyId);
  s.session->operationMechanism = rv == CKR_OK ? mechanism : 0;
  s.session->operationKey = rv == CKR_OK ? keyId : store::ObjectKey{};
  s.session->operationParts.Clear();  // nothing of an earlier message is signed
  return rv;
}

// C_Sign and C_Verify: a signature operation that takes the message whole.
CK_RV CheckSinglePart(const session::Session& session) {
  if (!card::IsSignatureMechanism(session.operationMechanism)) {
    return CKR_OPERATION_NOT_INITIALIZED;
  }
  if (session.operationParts.started()) return CKR_OPERATION_ACTIVE;  // the final call ends it
  return CKR_OK;
}

// Signs on the card and ends the operation, whatever the card answers.
CK_RV SignAndEnd(const session::SessionSlot& s, const CK_BYTE* data, size_t dataLength, CK_BYTE* pSignature,
                 CK_ULONG& signatureLength) {
  session::Session& session = *s.session;
  size_t length = signatureLength;
  const CK_RV rv = store::TokenSign(*s.slot, session.operationKey, session.operationMechanism, data,
                                    dataLength, pSignature, &length);
  session.EndSignatureOperation();
  if (rv == CKR_OK) signatureLength = static_cast<CK_ULONG>(length);
  return rv;
}

// Verifies on the card and ends the operation, whatever the card answers.
CK_RV VerifyAndEnd(const session::SessionSlot& s, const CK_BYTE* data, size_t dataLength,
                   const CK_BYTE* pSignature, CK_ULONG ulSignatureLen) {
  session::Session& session = *s.session;
  const CK_RV rv = store::TokenVerify(*s.slot, session.operationKey, session.operationMechanism,
                                      data, dataLength, pSignature, ulSignatureLen);
  session.EndSignatureOperation();
  return rv;
}

CK_RV Sign(CK_SESSION_HANDLE hSession, const CK_BYTE* pData, CK_ULONG ulDataLen,
           CK_BYTE* pSignature, CK_ULONG& signatureLength) {
  const session::SessionSlot s = session::FindSessionSlot(hSession);
  if (s.rv != CKR_OK) return s.rv;
  const CK_RV rv = CheckSinglePart(*s.session);
  if (rv != CKR_OK) return rv;
  if (const auto answer =
          AnswerLengthQuery(pSignature, signatureLength, card::kGostSignatureLength)) {
    return *answer;
  }
  return SignAndEnd(s, pData, ulDataLen, pSignature, signatureLength);
}

CK_RV Verify(CK_SESSION_HANDLE hSession, const CK_BYTE* pData, CK_ULONG ulDataLen,
             const CK_BYTE* pSignature, CK_ULONG ulSignatureLen) {
  const session::SessionSlot s = session::FindSessionSlot(hSession);
  if (s.rv != CKR_OK) return s.rv;
  const CK_RV rv = CheckSinglePart(*s.session);
  if (rv != CKR_OK) return rv;
  if (ulSignatureLen != card::kGostSignatureLength || pData == nullptr || pSignature == nullptr ||
      ulDataLen == 0) {
    return CKR_ARGUMENTS_BAD;
  }
  return VerifyAndEnd(s, pData, ulDataLen, pSignature, ulSignatureLen);
}

// The signature operation that an update or final call continues: CKR_OK,
// or why there is none. CKM_GOSTR3410 signs a hash given whole and has no
// parts; asking it for them ends the operation.
CK_RV ContinueInParts(session::Session& session) {
  if (!card::IsSignatureMechanism(session.operationMechanism) || session.operationKey.id == 0) {
    return CKR_OPERATION_NOT_INITIALIZED;
  }
  if (session.operationMechanism != CKM_GOSTR3410_WITH_GOSTR3411) {
    session.EndSignatureOperation();
    return CKR_FUNCTION_NOT_SUPPORTED;
  }
  return CKR_OK;
}

// C_SignUpdate and C_VerifyUpdate.
CK_RV UpdateInParts(CK_SESSION_HANDLE hSession, const CK_BYTE* pPart, CK_ULONG ulPartLen) {
  const session::SessionSlot s = session::FindSessionSlot(hSession);
  if (s.rv != CKR_OK) return s.rv;
  CK_RV rv = ContinueInParts(*s.session);
  if (rv == CKR_OK) rv = s.session->operationParts.Append(pPart, ulPartLen);
  if (rv != CKR_OK) s.session->EndSignatureOperation();
  return rv;
}

CK_RV SignFinal(CK_SESSION_HANDLE hSession, CK_BYTE* pSignature, CK_ULONG& signatureLength) {
  const session::SessionSlot s = session::FindSessionSlot(hSession);
  if (s.rv != CKR_OK) return s.rv;
  session::Session& session = *s.session;
  const CK_RV continued = ContinueInParts(session);
  if (continued != CKR_OK) return continued;
  if (const auto answer =
          AnswerLengthQuery(pSignature, signatureLength, card::kGostSignatureLength)) {
    return *answer;
  }
  const session::CollectedParts& message = session.operationParts;
  if (message.size() == 0) {  // the card hashes no empty message
    session.EndSignatureOperation();
    return CKR_DATA_LEN_RANGE;
  }
  return SignAndEnd(s, message.data(), message.size(), pSignature, signatureLength);
}

CK_RV VerifyFinal(CK_SESSION_HANDLE hSession, const CK_BYTE* pSignature, CK_ULONG ulSignatureLen) {
  const session::SessionSlot s = session::FindSessionSlot(hSession);
  if (s.rv != CKR_OK) return s.rv;
  session::Session& session = *s.session;
  const CK_RV continued = ContinueInParts(session);
  if (continued != CKR_OK) return continued;
  const session::CollectedParts& message = session.operationParts;
  CK_RV refused = CKR_OK;
  if (ulSignatureLen != card::kGostSignatureLength) {
    refused = CKR_SIGNATURE_LEN_RANGE;
  } else if (message.size() == 0) {
    refused = CKR_DATA_LEN_RANGE;  // the card hashes no empty message
  }
  if (refused == CKR_OK) {
    return VerifyAndEnd(s, message.data(), message.size(), pSignature, ulSignatureLen);
  }
  session.EndSignatureOperation();
  return refused;
}

// Both keys must be token objects, and private objects, wherever the
// templates say anything about it.
CK_RV CheckKeyPairTemplates(const store::AttributeList& publicKey,
                            const store::AttributeList& privateKey) {
  for (const store::AttributeList* list : {&privateKey, &publicKey}) {
    for (const CK_ATTRIBUTE_TYPE type : {CKA_TOKEN, CKA_PRIVATE}) {
      if (session::HasAttribute(*list, type) && !session::AttributeIsTrue(*list, type)) {
        return CKR_ATTRIBUTE_VALUE_INVALID;
      }
    }
  }
  return CKR_OK;
}

// Adds an integer attribute in the card's 4-byte little-endian form unless
// the template has it.
void AddIfMissing(store::AttributeList& list, CK_ATTRIBUTE_TYPE type, uint32_t value) {
  list.try_emplace(
      static_cast<uint32_t>(type),
      std::vector<uint8_t>{static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                           static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)});
}

CK_RV GenerateKeyPair(CK_SESSION_HANDLE hSession, const CK_ATTRIBUTE* pPublicKeyTemplate,
                      CK_ULONG publicCount, const CK_ATTRIBUTE* pPrivateKeyTemplate,
                      CK_ULONG privateCount, CK_OBJECT_HANDLE& publicKey,
                      CK_OBJECT_HANDLE& privateKey) {
  const session::SessionSlot s = session::FindSessionSlot(hSession);
  if (s.rv != CKR_OK) return s.rv;
  if (s.slot->loginState != card::kUser) return CKR_USER_NOT_LOGGED_IN;
  if (s.session->readWrite == 0) return CKR_SESSION_READ_ONLY;
  store::AttributeList publicList;
  store::AttributeList privateList;
  CK_RV rv = ApplicationTemplate(pPublicKeyTemplate, publicCount, publicList);
  if (rv == CKR_OK) rv = ApplicationTemplate(pPrivateKeyTemplate, privateCount, privateList);
  if (rv == CKR_OK) rv = CheckKeyPairTemplates(publicList, privateList);
  if (rv != CKR_OK) return rv;
  AddIfMissing(publicList, CKA_CLASS, CKO_PUBLIC_KEY);
  AddIfMissing(publicList, CKA_KEY_TYPE, CKK_GOSTR3410);
  AddIfMissing(privateList, CKA_CLASS, CKO_PRIVATE_KEY);
  AddIfMissing(privateList, CKA_KEY_TYPE, CKK_GOSTR3410);
  store::ObjectKey privateId;
  store::ObjectKey publicId;
  rv = store::CreateTokenObject(*s.slot, &privateId, privateList, &publicId, &publicList);
  if (rv != CKR_OK) return rv;
  // Handles are made once both objects are on the card, so a failure
  // leaves none behind.
  const uint32_t slotId = s.session->slotId;
  publicKey = session::NewTokenObjectHandle(slotId, publicId, publicList);
  privateKey = session::NewTokenObjectHandle(slotId, privateId, privateList);
  return CKR_OK;
}

CK_RV GenerateRandom(CK_SESSION_HANDLE hSession, CK_BYTE* pRandomData, CK_ULONG ulRandomLen) {
  const session::SessionSlot s = session::FindSessionSlot(hSession);
  if (s.rv != CKR_OK) return s.rv;
  if (pRandomData == nullptr || ulRandomLen == 0) return CKR_ARGUMENTS_BAD;
  return card::GenerateTokenRandom(*s.slot, pRandomData, ulRandomLen);
}

// The card's generator takes no seed from outside.
CK_RV SeedRandom(CK_SESSION_HANDLE hSession) {
  const session::SessionSlot s = session::FindSessionSlot(hSession);
  return s.rv != CKR_OK ? s.rv : CKR_RANDOM_SEED_NOT_SUPPORTED;
}

}  // namespace

extern "C" {

CK_RV C_SignInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
  EntryFrame frame(EntryPoint::kSignInit, TraceValue(hSession));
  if (pMechanism == nullptr) return frame.ReturnWithoutExitLine(CKR_ARGUMENTS_BAD);
  return frame.Locked(
      [&] { return OperationInit(hSession, pMechanism->mechanism, hKey, CKA_SIGN); });
}

CK_RV C_Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
             CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen) {
  EntryFrame frame(EntryPoint::kSign, TraceValue(hSession));
  if (pulSignatureLen == nullptr) return frame.Return(CKR_ARGUMENTS_BAD);
  return frame.Locked(
      [&] { return Sign(hSession, pData, ulDataLen, pSignature, *pulSignatureLen); });
}

CK_RV C_SignUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
  EntryFrame frame(EntryPoint::kSignUpdate, TraceValue(hSession));
  if (pPart == nullptr && ulPartLen != 0) return frame.Return(CKR_ARGUMENTS_BAD);
  return frame.Locked([&] { return UpdateInParts(hSession, pPart, ulPartLen); });
}

CK_RV C_SignFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature,
                  CK_ULONG_PTR pulSignatureLen) {
  EntryFrame frame(EntryPoint::kSignFinal, TraceValue(hSession));
  if (pulSignatureLen == nullptr) return frame.Return(CKR_ARGUMENTS_BAD);
  return frame.Locked([&] { return SignFinal(hSession, pSignature, *pulSignatureLen); });
}

CK_RV C_VerifyInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
  EntryFrame frame(EntryPoint::kVerifyInit, TraceValue(hSession));
  if (pMechanism == nullptr) return frame.Return(CKR_ARGUMENTS_BAD);
  return frame.Locked(
      [&] { return OperationInit(hSession, pMechanism->mechanism, hKey, CKA_VERIFY); });
}

CK_RV C_Verify(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
               CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen) {
  EntryFrame frame(EntryPoint::kVerify, TraceValue(hSession));
  return frame.Locked(
      [&] { return Verify(hSession, pData, ulDataLen, pSignature, ulSignatureLen); });
}

CK_RV C_VerifyUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
  EntryFrame frame(EntryPoint::kVerifyUpdate, TraceValue(hSession));
  if (pPart == nullptr && ulPartLen != 0) return frame.Return(CKR_ARGUMENTS_BAD);
  return frame.Locked([&] { return UpdateInParts(hSession, pPart, ulPartLen); });
}

CK_RV C_VerifyFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen) {
  EntryFrame frame(EntryPoint::kVerifyFinal, TraceValue(hSession));
  if (pSignature == nullptr) return frame.Return(CKR_ARGUMENTS_BAD);
  return frame.Locked([&] { return VerifyFinal(hSession, pSignature, ulSignatureLen); });
}

CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                        CK_ATTRIBUTE_PTR pPublicKeyTemplate, CK_ULONG ulPublicKeyAttributeCount,
                        CK_ATTRIBUTE_PTR pPrivateKeyTemplate, CK_ULONG ulPrivateKeyAttributeCount,
                        CK_OBJECT_HANDLE_PTR phPublicKey, CK_OBJECT_HANDLE_PTR phPrivateKey) {
  EntryFrame frame(EntryPoint::kGenerateKeyPair, TraceValue(hSession));
  if (pMechanism == nullptr || pPublicKeyTemplate == nullptr || pPrivateKeyTemplate == nullptr ||
      phPrivateKey == nullptr || phPublicKey == nullptr) {
    return frame.Return(CKR_ARGUMENTS_BAD);
  }
  if (pMechanism->mechanism != CKM_GOSTR3410_KEY_PAIR_GEN) {
    return frame.Return(CKR_MECHANISM_INVALID);
  }
  return frame.Locked([&] {
    return GenerateKeyPair(hSession, pPublicKeyTemplate, ulPublicKeyAttributeCount,
                           pPrivateKeyTemplate, ulPrivateKeyAttributeCount, *phPublicKey,
                           *phPrivateKey);
  });
}

CK_RV C_GenerateRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pRandomData, CK_ULONG ulRandomLen) {
  EntryFrame frame(EntryPoint::kGenerateRandom, TraceValue(hSession));
  return frame.Locked([&] { return GenerateRandom(hSession, pRandomData, ulRandomLen); });
}

CK_RV C_SeedRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSeed, CK_ULONG ulSeedLen) {
  EntryFrame frame(EntryPoint::kSeedRandom, TraceValue(hSession));
  if (pSeed == nullptr && ulSeedLen != 0) return frame.Return(CKR_ARGUMENTS_BAD);
  return frame.Locked([&] { return SeedRandom(hSession); });
}

}  // extern "C"
