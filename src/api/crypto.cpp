// Signing, verification, key pair generation and random bytes.
//
// The sign and the verify operation live in the session
// (session/signature_operation.h); the entry points check their arguments
// and hand over.
#include "api/entry_frame.h"
#include "api/integer_attributes.h"
#include "card/token_random.h"
#include "session/attribute_values.h"
#include "session/object_table.h"
#include "session/session_table.h"
#include "session/signature_operation.h"
#include "store/attribute_rules.h"
#include "store/object_create.h"

using namespace zorad::api;
using namespace zorad;

namespace {

using session::SignatureUse;

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
  store::AddKeyOrigin(privateList, store::KeyOrigin::kGeneratedOnCard);
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
  if (ulRandomLen == 0) return CKR_OK;  // nothing asked, nothing sent
  if (pRandomData == nullptr) return CKR_ARGUMENTS_BAD;
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
  return frame.Locked([&] {
    return session::BeginSignatureOperation(hSession, SignatureUse::kSign, pMechanism->mechanism,
                                            hKey);
  });
}

CK_RV C_Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
             CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen) {
  EntryFrame frame(EntryPoint::kSign, TraceValue(hSession));
  if (pulSignatureLen == nullptr) return frame.Return(CKR_ARGUMENTS_BAD);
  return frame.Locked(
      [&] { return session::SignWhole(hSession, pData, ulDataLen, pSignature, *pulSignatureLen); });
}

CK_RV C_SignUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
  EntryFrame frame(EntryPoint::kSignUpdate, TraceValue(hSession));
  if (pPart == nullptr && ulPartLen != 0) return frame.Return(CKR_ARGUMENTS_BAD);
  return frame.Locked([&] {
    return session::UpdateSignatureOperation(hSession, SignatureUse::kSign, pPart, ulPartLen);
  });
}

CK_RV C_SignFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature,
                  CK_ULONG_PTR pulSignatureLen) {
  EntryFrame frame(EntryPoint::kSignFinal, TraceValue(hSession));
  if (pulSignatureLen == nullptr) return frame.Return(CKR_ARGUMENTS_BAD);
  return frame.Locked(
      [&] { return session::SignFinal(hSession, pSignature, *pulSignatureLen); });
}

CK_RV C_VerifyInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
  EntryFrame frame(EntryPoint::kVerifyInit, TraceValue(hSession));
  if (pMechanism == nullptr) return frame.Return(CKR_ARGUMENTS_BAD);
  return frame.Locked([&] {
    return session::BeginSignatureOperation(hSession, SignatureUse::kVerify,
                                            pMechanism->mechanism, hKey);
  });
}

CK_RV C_Verify(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
               CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen) {
  EntryFrame frame(EntryPoint::kVerify, TraceValue(hSession));
  return frame.Locked([&] {
    return session::VerifyWhole(hSession, pData, ulDataLen, pSignature, ulSignatureLen);
  });
}

CK_RV C_VerifyUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
  EntryFrame frame(EntryPoint::kVerifyUpdate, TraceValue(hSession));
  if (pPart == nullptr && ulPartLen != 0) return frame.Return(CKR_ARGUMENTS_BAD);
  return frame.Locked([&] {
    return session::UpdateSignatureOperation(hSession, SignatureUse::kVerify, pPart, ulPartLen);
  });
}

CK_RV C_VerifyFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen) {
  EntryFrame frame(EntryPoint::kVerifyFinal, TraceValue(hSession));
  if (pSignature == nullptr) return frame.Return(CKR_ARGUMENTS_BAD);
  return frame.Locked(
      [&] { return session::VerifyFinal(hSession, pSignature, ulSignatureLen); });
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
