// Unknown and stale handles, sessions of the wrong kind and wrong user
// types, through the function list.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "bad_input/sweep_world.h"

namespace zorad::test {
namespace {

class HandleSweep : public SweepWorldTest {};

TEST_F(HandleSweep, SessionHandlesThatNameNoSession) {
  const std::pair<const char*, CK_SESSION_HANDLE> sessions[] = {
      {"0", CK_INVALID_HANDLE},        {"never issued", 0xDEADBEEF}, {"closed", closed_},
      {"open one + 2^32", Alias(rw_)}, {"~0", ~CK_ULONG{0}},
  };
  std::vector<BadInput> rows;
  for (const auto& [name, session] : sessions) {
    for (BadInput& row : WholeListRows({slotA_, session, tokenData_, privateKey_}, {0, 0})) {
      const CK_RV expected = AnswerToUnknownHandles(row.what);
      if (expected != CKR_SESSION_HANDLE_INVALID) continue;
      row.what += std::string(" session ") + name;
      row.expected = expected;
      rows.push_back(std::move(row));
    }
  }
  RunSweep("session handles", rows);
}

TEST_F(HandleSweep, ObjectHandlesThatNameNoObjectOfTheSession) {
  struct Target {
    const char* name;
    CK_SESSION_HANDLE session;
    CK_OBJECT_HANDLE object;
  };
  const Target targets[] = {
      {"0", rw_, CK_INVALID_HANDLE},
      {"never issued", rw_, 0xDEADBEEF},
      {"destroyed", rw_, destroyed_},
      {"of a closed session", rw_, orphan_},
      {"token object + 2^32", rw_, Alias(tokenData_)},
      {"private key + 2^32", rw_, Alias(privateKey_)},
      {"token object of another slot", publicRw_, tokenData_},
      {"key of another slot", publicRw_, privateKey_},
  };
  const std::map<std::string, CK_RV> kObjectFunctions = {
      {"C_DestroyObject", CKR_OBJECT_HANDLE_INVALID},
      {"C_GetAttributeValue", CKR_OBJECT_HANDLE_INVALID},
      {"C_SetAttributeValue", CKR_OBJECT_HANDLE_INVALID},
      {"C_SignInit", CKR_KEY_HANDLE_INVALID},
      {"C_VerifyInit", CKR_KEY_HANDLE_INVALID},
  };
  std::vector<BadInput> rows;
  for (const Target& t : targets) {
    for (BadInput& row : WholeListRows({slotA_, t.session, t.object, t.object}, {0, 0})) {
      const auto it = kObjectFunctions.find(row.what);
      if (it == kObjectFunctions.end()) continue;
      row.what += std::string(" object ") + t.name;
      row.expected = it->second;
      rows.push_back(std::move(row));
    }
  }
  RunSweep("object handles", rows);
}

CK_RV CreateFrom(CK_SESSION_HANDLE session, Template& t) {
  CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
  return F().C_CreateObject(session, t.data(), t.size(), &handle);
}

CK_RV GenerateKeyPair(CK_SESSION_HANDLE session) {
  Template publicKey, privateKey;
  publicKey.Bool(CKA_TOKEN, true);
  privateKey.Bool(CKA_TOKEN, true);
  CK_MECHANISM mechanism{CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};
  CK_OBJECT_HANDLE a = 0, b = 0;
  return F().C_GenerateKeyPair(session, &mechanism, publicKey.data(), publicKey.size(),
                               privateKey.data(), privateKey.size(), &a, &b);
}

CK_RV LoginAs(CK_SESSION_HANDLE session, CK_USER_TYPE type, const char* pin) {
  CK_UTF8CHAR bytes[8];
  std::memcpy(bytes, pin, 8);
  return F().C_Login(session, type, bytes, 8);
}

// Read-only sessions asked to write, the security officer asked for user
// work and the user for the officer's, nobody logged in, and user types
// that do not exist.
TEST_F(HandleSweep, SessionsOfTheWrongKind) {
  static CK_UTF8CHAR pin[8] = {'1', '2', '3', '4', '5', '6', '7', '8'};
  Template tokenData, privateData, privateToken;
  tokenData.Bool(CKA_TOKEN, true).Text(CKA_LABEL, "x");
  privateData.Bool(CKA_PRIVATE, true);
  privateToken.Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, true);
  static CK_BYTE label[] = {'y'};
  static CK_ATTRIBUTE relabel{CKA_LABEL, label, 1};
  const CK_SESSION_HANDLE ro = ro_, so = so_, rw = rw_, nobody = publicRw_;
  const CK_OBJECT_HANDLE data = tokenData_;
  std::vector<BadInput> rows = {
      {"read-only: token object", [&] { return CreateFrom(ro, tokenData); }, CKR_SESSION_READ_ONLY},
      {"read-only: destroy", [&] { return F().C_DestroyObject(ro, data); }, CKR_SESSION_READ_ONLY},
      {"read-only: set attribute", [&] { return F().C_SetAttributeValue(ro, data, &relabel, 1); },
       CKR_SESSION_READ_ONLY},
      {"read-only: key pair", [&] { return GenerateKeyPair(ro); }, CKR_SESSION_READ_ONLY},
      {"read-only: C_InitPIN", [&] { return F().C_InitPIN(ro, pin, 8); }, CKR_SESSION_READ_ONLY},
      {"read-only: C_SetPIN", [&] { return F().C_SetPIN(ro, pin, 8, pin, 8); },
       CKR_SESSION_READ_ONLY},
      {"SO login beside a read-only session", [this] { return LoginAs(publicRw_, CKU_SO, kSoPin); },
       CKR_SESSION_READ_ONLY_EXISTS},
      {"SO: key pair", [&] { return GenerateKeyPair(so); }, CKR_USER_NOT_LOGGED_IN},
      {"SO: private session object", [&] { return CreateFrom(so, privateData); },
       CKR_USER_NOT_LOGGED_IN},
      {"SO: private token object", [&] { return CreateFrom(so, privateToken); },
       CKR_USER_NOT_LOGGED_IN},
      {"SO: user login", [&] { return LoginAs(so, CKU_USER, kUserPin); },
       CKR_USER_ANOTHER_ALREADY_LOGGED_IN},
      {"SO: read-only session",
       [this] {
         CK_SESSION_HANDLE s = 0;
         return F().C_OpenSession(slotB_, kReadOnly, nullptr, nullptr, &s);
       },
       CKR_SESSION_READ_WRITE_SO_EXISTS},
      {"user: C_InitPIN", [&] { return F().C_InitPIN(rw, pin, 8); }, CKR_USER_NOT_LOGGED_IN},
      {"user: SO login", [&] { return LoginAs(rw, CKU_SO, kSoPin); },
       CKR_USER_ANOTHER_ALREADY_LOGGED_IN},
      {"user: login again", [&] { return LoginAs(rw, CKU_USER, kUserPin); },
       CKR_USER_ALREADY_LOGGED_IN},
      {"nobody: logout", [&] { return F().C_Logout(nobody); }, CKR_USER_NOT_LOGGED_IN},
      {"nobody: context-specific login",
       [&] { return LoginAs(nobody, CKU_CONTEXT_SPECIFIC, kUserPin); },
       CKR_OPERATION_NOT_INITIALIZED},
      {"nobody: private object", [&] { return CreateFrom(nobody, privateData); },
       CKR_USER_NOT_LOGGED_IN},
      {"nobody: key pair", [&] { return GenerateKeyPair(nobody); }, CKR_USER_NOT_LOGGED_IN},
      {"nobody: C_InitPIN", [&] { return F().C_InitPIN(nobody, pin, 8); }, CKR_USER_NOT_LOGGED_IN},
  };
  for (const CK_USER_TYPE type : {CK_USER_TYPE{3}, CK_USER_TYPE{0xFFFF}, ~CK_USER_TYPE{0},
                                  CK_USER_TYPE{CKU_SO | CKU_USER | 4}}) {
    rows.push_back({"user type " + std::to_string(type),
                    [=] { return LoginAs(nobody, type, kUserPin); }, CKR_USER_TYPE_INVALID});
  }
  // Token initialisation wipes the card: refused while the slot has sessions.
  for (const CK_SLOT_ID slot : {slotA_, slotB_, slotC_}) {
    rows.push_back({"C_InitToken with sessions on slot " + std::to_string(slot),
                    [slot] {
                      static CK_UTF8CHAR label[32] = {};
                      return F().C_InitToken(slot, pin, 8, label);
                    },
                    CKR_SESSION_EXISTS});
  }
  RunSweep("sessions of the wrong kind and user types", rows);
}

}  // namespace
}  // namespace zorad::test
