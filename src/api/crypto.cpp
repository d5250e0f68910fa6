// Signing, verification, key pair generation and random bytes.
#include "api/entry_frame.h"
#include "api/pending.h"

using namespace zorad::api;

extern "C" {

CK_RV C_SignInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE) {
  EntryFrame frame(EntryPoint::kSignInit, TraceValue(hSession));
  if (pMechanism == nullptr) return frame.ReturnWithoutExitLine(CKR_ARGUMENTS_BAD);
  return frame.Locked([&] { return NotAvailableYet(); });
}

CK_RV C_Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR,
             CK_ULONG_PTR pulSignatureLen) {
  EntryFrame frame(EntryPoint::kSign, TraceValue(hSession));
  if (pulSignatureLen == nullptr) return frame.Return(CKR_ARGUMENTS_BAD);
  return frame.Locked([&] { return NotAvailableYet(); });
}

CK_RV C_VerifyInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                   CK_OBJECT_HANDLE) {
  EntryFrame frame(EntryPoint::kVerifyInit, TraceValue(hSession));
  if (pMechanism == nullptr) return frame.Return(CKR_ARGUMENTS_BAD);
  return frame.Locked([&] { return NotAvailableYet(); });
}

CK_RV C_Verify(CK_SESSION_HANDLE hSession, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG) {
  EntryFrame frame(EntryPoint::kVerify, TraceValue(hSession));
  return frame.Locked([&] { return NotAvailableYet(); });
}

CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                        CK_ATTRIBUTE_PTR pPublicKeyTemplate, CK_ULONG,
                        CK_ATTRIBUTE_PTR pPrivateKeyTemplate, CK_ULONG,
                        CK_OBJECT_HANDLE_PTR phPublicKey, CK_OBJECT_HANDLE_PTR phPrivateKey) {
  EntryFrame frame(EntryPoint::kGenerateKeyPair, TraceValue(hSession));
  if (pMechanism == nullptr || pPublicKeyTemplate == nullptr ||
      pPrivateKeyTemplate == nullptr || phPrivateKey == nullptr || phPublicKey == nullptr) {
    return frame.Return(CKR_ARGUMENTS_BAD);
  }
  if (pMechanism->mechanism != CKM_GOSTR3410_KEY_PAIR_GEN) {
    return frame.Return(CKR_MECHANISM_INVALID);
  }
  return frame.Locked([&] { return NotAvailableYet(); });
}

CK_RV C_GenerateRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR, CK_ULONG) {
  EntryFrame frame(EntryPoint::kGenerateRandom, TraceValue(hSession));
  return frame.Locked([&] { return NotAvailableYet(); });
}

}  // extern "C"
