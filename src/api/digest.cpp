// Message digests: GOST R 34.11-94 computed by the card (CKM_GOSTR3411).
//
// A session keeps one digest operation beside its signature operation. The
// message of C_Digest, or the parts of C_DigestUpdate collected in the
// session, goes to the card at the final call in one transaction. No login
// is needed. A call that gets as far as the card ends the operation, and so
// does any error other than a length query's answer.
#include "api/entry_frame.h"
#include "session/output_length.h"
#include "session/session_table.h"
#include "card/token_digest.h"
#include "card/token_sign.h"

using namespace zorad::api;
using namespace zorad;

namespace {

constexpr CK_ULONG kDigestLength = card::kGostHashLength;

CK_RV DigestInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_TYPE mechanism) {
  const session::SessionSlot s = session::FindSessionSlot(hSession);
  if (s.rv != CKR_OK) return s.rv;
  if (s.session->digest) return CKR_OPERATION_ACTIVE;
  if (mechanism != CKM_GOSTR3411) return CKR_MECHANISM_INVALID;
  s.session->digest.emplace();
  return CKR_OK;
}

// Where a call that ends the digest stands before the card: `ready` when
// the card is to hash; otherwise the answer, and the operation stays as it
// is (no operation, C_Digest after updates, a length query, a buffer too
// small).
struct FinalCheck {
  CK_RV rv = CKR_OK;
  bool ready = false;
};

FinalCheck CheckFinal(const std::optional<session::CollectedParts>& digest, bool singlePart,
                      const CK_BYTE* pDigest, CK_ULONG& digestLength) {
  if (!digest) return {CKR_OPERATION_NOT_INITIALIZED};
  if (singlePart && digest->started()) return {CKR_OPERATION_ACTIVE};  // C_DigestFinal ends it
  if (const auto answer = session::AnswerLengthQuery(pDigest, digestLength, kDigestLength)) return {*answer};
  return {CKR_OK, true};
}

CK_RV HashAndEnd(session::Session& session, slot::Slot& slot, const uint8_t* data, size_t length,
                 CK_BYTE* pDigest, CK_ULONG& digestLength) {
  const CK_RV rv = length == 0 || length > session::kCollectedPartsLimit
                       ? CKR_DATA_LEN_RANGE  // the card hashes no empty message
                       : card::TokenDigest(slot, data, length, pDigest);
  session.digest.reset();
  if (rv == CKR_OK) digestLength = kDigestLength;
  return rv;
}

CK_RV Digest(CK_SESSION_HANDLE hSession, const CK_BYTE* pData, CK_ULONG ulDataLen, CK_BYTE* pDigest,
             CK_ULONG& digestLength) {
  const session::SessionSlot s = session::FindSessionSlot(hSession);
  if (s.rv != CKR_OK) return s.rv;
  const FinalCheck check = CheckFinal(s.session->digest, true, pDigest, digestLength);
  if (!check.ready) return check.rv;
  return HashAndEnd(*s.session, *s.slot, pData, ulDataLen, pDigest, digestLength);
}

CK_RV DigestUpdate(CK_SESSION_HANDLE hSession, const CK_BYTE* pPart, CK_ULONG ulPartLen) {
  const session::SessionSlot s = session::FindSessionSlot(hSession);
  if (s.rv != CKR_OK) return s.rv;
  if (!s.session->digest) return CKR_OPERATION_NOT_INITIALIZED;
  const CK_RV rv = s.session->digest->Append(pPart, ulPartLen);
  if (rv != CKR_OK) s.session->digest.reset();
  return rv;
}

CK_RV DigestFinal(CK_SESSION_HANDLE hSession, CK_BYTE* pDigest, CK_ULONG& digestLength) {
  const session::SessionSlot s = session::FindSessionSlot(hSession);
  if (s.rv != CKR_OK) return s.rv;
  const FinalCheck check = CheckFinal(s.session->digest, false, pDigest, digestLength);
  if (!check.ready) return check.rv;
  const session::CollectedParts& message = *s.session->digest;
  return HashAndEnd(*s.session, *s.slot, message.data(), message.size(), pDigest, digestLength);
}

}  // namespace

extern "C" {

CK_RV C_DigestInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism) {
  EntryFrame frame(EntryPoint::kDigestInit, TraceValue(hSession));
  if (pMechanism == nullptr) return frame.Return(CKR_ARGUMENTS_BAD);
  return frame.Locked([&] { return DigestInit(hSession, pMechanism->mechanism); });
}

CK_RV C_Digest(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
               CK_BYTE_PTR pDigest, CK_ULONG_PTR pulDigestLen) {
  EntryFrame frame(EntryPoint::kDigest, TraceValue(hSession));
  if (pulDigestLen == nullptr || (pData == nullptr && ulDataLen != 0)) {
    return frame.Return(CKR_ARGUMENTS_BAD);
  }
  return frame.Locked([&] { return Digest(hSession, pData, ulDataLen, pDigest, *pulDigestLen); });
}

CK_RV C_DigestUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
  EntryFrame frame(EntryPoint::kDigestUpdate, TraceValue(hSession));
  if (pPart == nullptr && ulPartLen != 0) return frame.Return(CKR_ARGUMENTS_BAD);
  return frame.Locked([&] { return DigestUpdate(hSession, pPart, ulPartLen); });
}

CK_RV C_DigestFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pDigest, CK_ULONG_PTR pulDigestLen) {
  EntryFrame frame(EntryPoint::kDigestFinal, TraceValue(hSession));
  if (pulDigestLen == nullptr) return frame.Return(CKR_ARGUMENTS_BAD);
  return frame.Locked([&] { return DigestFinal(hSession, pDigest, *pulDigestLen); });
}

}  // extern "C"
