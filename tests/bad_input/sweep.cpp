#include "bad_input/sweep.h"

#include <cstring>
#include <iostream>
#include <map>

namespace zorad::test {

CK_FUNCTION_LIST& F() {
  static CK_FUNCTION_LIST* list = [] {
    CK_FUNCTION_LIST* found = nullptr;
    C_GetFunctionList(&found);
    return found;
  }();
  return *list;
}

void RunSweep(const std::string& title, const std::vector<BadInput>& rows) {
  size_t exact = 0;
  std::map<CK_RV, size_t> anyOutcomes;
  for (const BadInput& row : rows) {
    SCOPED_TRACE(row.what);
    const CK_RV rv = row.call();
    EXPECT_EQ(0u, CkrName(rv).rfind("CKR_", 0)) << "no CKR_* code: " << CkrName(rv);
    if (row.expected == kAnyCode) {
      ++anyOutcomes[rv];
    } else {
      ++exact;
      EXPECT_CKR(row.expected, rv);
    }
    if (row.after) row.after();
  }
  std::cout << "[ sweep    ] " << title << ": " << rows.size() << " bad inputs, " << exact
            << " with the code decided for them";
  const char* separator = "; any code for the rest: ";
  for (const auto& [rv, count] : anyOutcomes) {
    std::cout << separator << CkrName(rv) << " x" << count;
    separator = ", ";
  }
  std::cout << "\n";
}

namespace {

// Arguments that pass every check made before the lock. Static: the rows
// run after this function returns.
struct PlausibleArguments {
  CK_INFO info{};
  CK_SLOT_INFO slotInfo{};
  CK_TOKEN_INFO tokenInfo{};
  CK_SESSION_INFO sessionInfo{};
  CK_MECHANISM_INFO mechanismInfo{};
  CK_FUNCTION_LIST* list = nullptr;
  CK_ULONG count = 0;
  CK_SLOT_ID slot = 0;
  CK_SESSION_HANDLE session = 0;
  CK_OBJECT_HANDLE handles[4] = {};
  CK_UTF8CHAR pin[8] = {'1', '2', '3', '4', '5', '6', '7', '8'};
  CK_UTF8CHAR label[32] = {};
  CK_BYTE data[64] = {};
  CK_BYTE signature[64] = {};
  CK_BYTE label8[8] = {'b', 'a', 'd', ' ', 'i', 'n', 'p', 't'};
  CK_ATTRIBUTE attribute{CKA_LABEL, label8, sizeof label8};
  CK_BBOOL yes = CK_TRUE;
  CK_ATTRIBUTE token{CKA_TOKEN, &yes, sizeof yes};
  CK_MECHANISM sign{CKM_GOSTR3410, nullptr, 0};
  CK_MECHANISM digest{CKM_GOSTR3411, nullptr, 0};
  CK_MECHANISM keyPair{CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};
};

PlausibleArguments& Args() {
  static PlausibleArguments args;
  return args;
}

// The 25 functions the module does not offer and the two parallel-function
// stubs: constants whatever the arguments, while the module is initialised.
std::vector<BadInput> StubRows(bool initialised) {
  const CK_RV outside = CKR_CRYPTOKI_NOT_INITIALIZED;
  const CK_RV no = initialised ? CKR_FUNCTION_NOT_SUPPORTED : outside;
  const CK_RV parallel = initialised ? CKR_FUNCTION_NOT_PARALLEL : outside;
  return {
      {"C_GetOperationState", [] { return F().C_GetOperationState(1, nullptr, nullptr); }, no},
      {"C_SetOperationState", [] { return F().C_SetOperationState(1, nullptr, 0xFFFFFFFF, 0, 0); },
       no},
      {"C_CopyObject", [] { return F().C_CopyObject(1, 1, nullptr, 5, nullptr); }, no},
      {"C_GetObjectSize", [] { return F().C_GetObjectSize(1, 1, nullptr); }, no},
      {"C_EncryptInit", [] { return F().C_EncryptInit(1, nullptr, 1); }, no},
      {"C_Encrypt", [] { return F().C_Encrypt(1, nullptr, 9, nullptr, nullptr); }, no},
      {"C_EncryptUpdate", [] { return F().C_EncryptUpdate(1, nullptr, 9, nullptr, nullptr); }, no},
      {"C_EncryptFinal", [] { return F().C_EncryptFinal(1, nullptr, nullptr); }, no},
      {"C_DecryptInit", [] { return F().C_DecryptInit(1, nullptr, 1); }, no},
      {"C_Decrypt", [] { return F().C_Decrypt(1, nullptr, 9, nullptr, nullptr); }, no},
      {"C_DecryptUpdate", [] { return F().C_DecryptUpdate(1, nullptr, 9, nullptr, nullptr); }, no},
      {"C_DecryptFinal", [] { return F().C_DecryptFinal(1, nullptr, nullptr); }, no},
      {"C_DigestKey", [] { return F().C_DigestKey(1, 0); }, no},
      {"C_SignRecoverInit", [] { return F().C_SignRecoverInit(1, nullptr, 1); }, no},
      {"C_SignRecover", [] { return F().C_SignRecover(1, nullptr, 9, nullptr, nullptr); }, no},
      {"C_VerifyRecoverInit", [] { return F().C_VerifyRecoverInit(1, nullptr, 1); }, no},
      {"C_VerifyRecover", [] { return F().C_VerifyRecover(1, nullptr, 9, nullptr, nullptr); }, no},
      {"C_DigestEncryptUpdate",
       [] { return F().C_DigestEncryptUpdate(1, nullptr, 9, nullptr, nullptr); }, no},
      {"C_DecryptDigestUpdate",
       [] { return F().C_DecryptDigestUpdate(1, nullptr, 9, nullptr, nullptr); }, no},
      {"C_SignEncryptUpdate",
       [] { return F().C_SignEncryptUpdate(1, nullptr, 9, nullptr, nullptr); }, no},
      {"C_DecryptVerifyUpdate",
       [] { return F().C_DecryptVerifyUpdate(1, nullptr, 9, nullptr, nullptr); }, no},
      {"C_GenerateKey", [] { return F().C_GenerateKey(1, nullptr, nullptr, 3, nullptr); }, no},
      {"C_WrapKey", [] { return F().C_WrapKey(1, nullptr, 1, 1, nullptr, nullptr); }, no},
      {"C_UnwrapKey",
       [] { return F().C_UnwrapKey(1, nullptr, 1, nullptr, 9, nullptr, 3, nullptr); }, no},
      {"C_DeriveKey", [] { return F().C_DeriveKey(1, nullptr, 1, nullptr, 3, nullptr); }, no},
      {"C_GetFunctionStatus", [] { return F().C_GetFunctionStatus(0); }, parallel},
      {"C_CancelFunction", [] { return F().C_CancelFunction(0); }, parallel},
  };
}

std::vector<BadInput> SlotAndTokenRows(const Handles& h, CK_RV rv) {
  return {
      {"C_GetInfo", [] { return F().C_GetInfo(&Args().info); }, rv},
      {"C_GetSlotList", [] { return F().C_GetSlotList(CK_FALSE, nullptr, &Args().count); }, rv},
      {"C_GetSlotInfo", [h] { return F().C_GetSlotInfo(h.slot, &Args().slotInfo); }, rv},
      {"C_GetTokenInfo", [h] { return F().C_GetTokenInfo(h.slot, &Args().tokenInfo); }, rv},
      {"C_WaitForSlotEvent",
       [] { return F().C_WaitForSlotEvent(CKF_DONT_BLOCK, &Args().slot, nullptr); }, rv},
      {"C_GetMechanismList", [h] { return F().C_GetMechanismList(h.slot, nullptr, &Args().count); },
       rv},
      {"C_GetMechanismInfo",
       [h] { return F().C_GetMechanismInfo(h.slot, CKM_GOSTR3410, &Args().mechanismInfo); }, rv},
      {"C_InitToken", [h] { return F().C_InitToken(h.slot, Args().pin, 8, Args().label); }, rv},
      {"C_OpenSession",
       [h] {
         return F().C_OpenSession(h.slot, CKF_SERIAL_SESSION, nullptr, nullptr, &Args().session);
       },
       rv},
      {"C_CloseAllSessions", [h] { return F().C_CloseAllSessions(h.slot); }, rv},
  };
}

std::vector<BadInput> SessionRows(const Handles& h, CK_RV rv) {
  const CK_SESSION_HANDLE s = h.session;
  return {
      {"C_InitPIN", [s] { return F().C_InitPIN(s, Args().pin, 8); }, rv},
      {"C_SetPIN", [s] { return F().C_SetPIN(s, Args().pin, 8, Args().pin, 8); }, rv},
      {"C_CloseSession", [s] { return F().C_CloseSession(s); }, rv},
      {"C_GetSessionInfo", [s] { return F().C_GetSessionInfo(s, &Args().sessionInfo); }, rv},
      {"C_Login", [s] { return F().C_Login(s, CKU_USER, Args().pin, 8); }, rv},
      {"C_Logout", [s] { return F().C_Logout(s); }, rv},
      {"C_CreateObject",
       [s] { return F().C_CreateObject(s, &Args().attribute, 1, &Args().handles[0]); }, rv},
      {"C_DestroyObject", [h] { return F().C_DestroyObject(h.session, h.object); }, rv},
      {"C_GetAttributeValue",
       [h] { return F().C_GetAttributeValue(h.session, h.object, &Args().attribute, 1); }, rv},
      {"C_SetAttributeValue",
       [h] { return F().C_SetAttributeValue(h.session, h.object, &Args().attribute, 1); }, rv},
      {"C_FindObjectsInit", [s] { return F().C_FindObjectsInit(s, nullptr, 0); }, rv},
      {"C_FindObjects", [s] { return F().C_FindObjects(s, Args().handles, 4, &Args().count); }, rv},
      {"C_FindObjectsFinal", [s] { return F().C_FindObjectsFinal(s); }, rv},
      {"C_SignInit", [h] { return F().C_SignInit(h.session, &Args().sign, h.key); }, rv},
      {"C_Sign",
       [s] {
         Args().count = sizeof Args().signature;
         return F().C_Sign(s, Args().data, 32, Args().signature, &Args().count);
       },
       rv},
      {"C_VerifyInit", [h] { return F().C_VerifyInit(h.session, &Args().sign, h.key); }, rv},
      {"C_Verify", [s] { return F().C_Verify(s, Args().data, 32, Args().signature, 64); }, rv},
      {"C_SignUpdate", [s] { return F().C_SignUpdate(s, Args().data, 32); }, rv},
      {"C_SignFinal",
       [s] {
         Args().count = sizeof Args().signature;
         return F().C_SignFinal(s, Args().signature, &Args().count);
       },
       rv},
      {"C_VerifyUpdate", [s] { return F().C_VerifyUpdate(s, Args().data, 32); }, rv},
      {"C_VerifyFinal", [s] { return F().C_VerifyFinal(s, Args().signature, 64); }, rv},
      {"C_DigestInit", [s] { return F().C_DigestInit(s, &Args().digest); }, rv},
      {"C_Digest",
       [s] {
         Args().count = 32;
         return F().C_Digest(s, Args().data, 32, Args().signature, &Args().count);
       },
       rv},
      {"C_DigestUpdate", [s] { return F().C_DigestUpdate(s, Args().data, 32); }, rv},
      {"C_DigestFinal",
       [s] {
         Args().count = 32;
         return F().C_DigestFinal(s, Args().signature, &Args().count);
       },
       rv},
      {"C_GenerateKeyPair",
       [s] {
         return F().C_GenerateKeyPair(s, &Args().keyPair, &Args().token, 1, &Args().token, 1,
                                      &Args().handles[0], &Args().handles[1]);
       },
       rv},
      {"C_GenerateRandom", [s] { return F().C_GenerateRandom(s, Args().data, 16); }, rv},
      {"C_SeedRandom", [s] { return F().C_SeedRandom(s, Args().data, 16); }, rv},
  };
}

}  // namespace

CK_RV AnswerToUnknownHandles(const std::string& function) {
  static const std::map<std::string, CK_RV> kSlotOrGlobal = {
      {"C_GetSlotInfo", CKR_SLOT_ID_INVALID},
      {"C_GetTokenInfo", CKR_SLOT_ID_INVALID},
      {"C_GetMechanismList", CKR_SLOT_ID_INVALID},
      {"C_GetMechanismInfo", CKR_SLOT_ID_INVALID},
      {"C_InitToken", CKR_SLOT_ID_INVALID},
      {"C_OpenSession", CKR_SLOT_ID_INVALID},
      {"C_CloseAllSessions", CKR_SLOT_ID_INVALID},
  };
  const auto it = kSlotOrGlobal.find(function);
  if (it != kSlotOrGlobal.end()) return it->second;
  for (const BadInput& row : SessionRows(Handles{}, CKR_OK)) {
    if (row.what == function) return CKR_SESSION_HANDLE_INVALID;
  }
  return kAnyCode;
}

std::vector<BadInput> WholeListRows(const Handles& handles, const ListExpectations& expect) {
  std::vector<BadInput> rows = StubRows(expect.finalize != CKR_CRYPTOKI_NOT_INITIALIZED);
  rows.push_back({"C_GetFunctionList", [] { return F().C_GetFunctionList(&Args().list); }, CKR_OK});
  rows.push_back({"C_Finalize", [] { return F().C_Finalize(nullptr); }, expect.finalize});
  for (auto& row : SlotAndTokenRows(handles, expect.locking)) rows.push_back(std::move(row));
  for (auto& row : SessionRows(handles, expect.locking)) rows.push_back(std::move(row));
  return rows;
}

}  // namespace zorad::test
