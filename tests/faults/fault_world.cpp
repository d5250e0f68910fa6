#include "faults/fault_world.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "sim/pcsc/pcsc_double.h"
#include "support/ckr_names.h"
#include "support/module_fixture.h"
#include "trace/trace.h"

namespace zorad::test::faults {
namespace {

// What a view compares of each object.
constexpr CK_ATTRIBUTE_TYPE kViewTypes[] = {
    CKA_CLASS,
    CKA_TOKEN,
    CKA_PRIVATE,
    CKA_LABEL,
    CKA_VALUE,
    CKA_KEY_TYPE,
    CKA_SIGN,
    CKA_VERIFY,
    CKA_SUBJECT,
    CKA_CERTIFICATE_TYPE,
    CKA_GOSTR3410_PARAMS,
};

// Results that still hand out the attributes an object has.
bool Served(CK_RV rv) {
  return rv == CKR_OK || rv == CKR_ATTRIBUTE_TYPE_INVALID || rv == CKR_ATTRIBUTE_SENSITIVE;
}

}  // namespace

CK_RV ReadObject(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE handle, ObjectView& view) {
  std::vector<CK_ATTRIBUTE> query;
  for (CK_ATTRIBUTE_TYPE type : kViewTypes) query.push_back({type, nullptr, 0});
  CK_RV rv = C_GetAttributeValue(session, handle, query.data(), query.size());
  if (!Served(rv)) return rv;
  std::vector<Bytes> values(query.size());
  for (size_t i = 0; i < query.size(); ++i) {
    if (query[i].ulValueLen == CK_UNAVAILABLE_INFORMATION) continue;
    values[i].resize(query[i].ulValueLen);
    query[i].pValue = values[i].empty() ? nullptr : values[i].data();
  }
  rv = C_GetAttributeValue(session, handle, query.data(), query.size());
  if (!Served(rv)) return rv;
  for (size_t i = 0; i < query.size(); ++i) {
    if (query[i].ulValueLen != CK_UNAVAILABLE_INFORMATION) view[query[i].type] = values[i];
  }
  return CKR_OK;
}

void CardWorld::Start(const sim::CardState& state) {
  FinalizeCompletely();
  sim::pcsc::Reset();
  unsetenv("ZORAD_PKCS11_TRACEMODE");
  trace::SetMask(0);
  ASSERT_TRUE(sim::pcsc::AddReader(kFaultReader));
  card_ = std::make_shared<sim::SimulatedCard>(state);
  ASSERT_TRUE(sim::pcsc::InsertCard(kFaultReader, card_));
  CK_C_INITIALIZE_ARGS args{};
  args.flags = CKF_OS_LOCKING_OK;
  ASSERT_CKR(CKR_OK, C_Initialize(&args));
  CK_ULONG count = 1;
  ASSERT_CKR(CKR_OK, C_GetSlotList(CK_TRUE, &slot_, &count));
  ASSERT_EQ(1u, count);
}

void CardWorld::Stop() { FinalizeCompletely(); }

void CardWorld::Reinsert() {
  Stop();
  card_->ClearFaults();
  sim::pcsc::RemoveCard(kFaultReader);
  card_->Reinsert();
  ASSERT_TRUE(sim::pcsc::InsertCard(kFaultReader, card_));
  CK_C_INITIALIZE_ARGS args{};
  args.flags = CKF_OS_LOCKING_OK;
  ASSERT_CKR(CKR_OK, C_Initialize(&args));
  CK_ULONG count = 1;
  ASSERT_CKR(CKR_OK, C_GetSlotList(CK_FALSE, &slot_, &count));
}

CK_SESSION_HANDLE CardWorld::OpenSession() {
  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  EXPECT_CKR(CKR_OK,
             C_OpenSession(slot_, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session));
  return session;
}

CK_OBJECT_HANDLE CardWorld::Find(CK_SESSION_HANDLE session, const std::string& label) {
  CK_ATTRIBUTE search{CKA_LABEL, const_cast<char*>(label.data()),
                      static_cast<CK_ULONG>(label.size())};
  CK_OBJECT_HANDLE handle = 0;
  CK_ULONG found = 0;
  if (C_FindObjectsInit(session, &search, 1) != CKR_OK) return 0;
  const CK_RV rv = C_FindObjects(session, &handle, 1, &found);
  C_FindObjectsFinal(session);
  return rv == CKR_OK && found == 1 ? handle : 0;
}

TokenView CardWorld::View(const std::string& userPin) {
  TokenView view;
  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  view.open = C_OpenSession(slot_, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session);
  if (view.open != CKR_OK) return view;
  view.login = LoginUser(session, userPin);
  view.search = ReadObjects(session, view.objects);
  return view;
}

CK_RV ReadObjects(CK_SESSION_HANDLE session, std::map<std::string, ObjectView>& objects,
                  Handles* byLabel) {
  CK_RV rv = C_FindObjectsInit(session, nullptr, 0);
  if (rv != CKR_OK) return rv;
  // One handle at a time, so that the objects met before a failure are
  // read all the same.
  std::vector<CK_OBJECT_HANDLE> handles;
  for (;;) {
    CK_OBJECT_HANDLE handle = 0;
    CK_ULONG count = 0;
    rv = C_FindObjects(session, &handle, 1, &count);
    if (rv != CKR_OK || count == 0) break;
    handles.push_back(handle);
  }
  C_FindObjectsFinal(session);
  const CK_RV searched = rv;
  for (CK_OBJECT_HANDLE handle : handles) {
    ObjectView view;
    rv = ReadObject(session, handle, view);
    if (rv != CKR_OK) return rv;
    const Bytes& value = view[CKA_LABEL];
    const std::string label(value.begin(), value.end());
    if (byLabel) (*byLabel)[label] = handle;
    objects[label] = std::move(view);
  }
  return searched;
}

CK_RV LoginUser(CK_SESSION_HANDLE session, const std::string& pin) {
  std::vector<CK_UTF8CHAR> bytes(pin.begin(), pin.end());
  return C_Login(session, CKU_USER, bytes.data(), bytes.size());
}

CK_STATE SessionState(CK_SESSION_HANDLE session) {
  CK_SESSION_INFO info{};
  return C_GetSessionInfo(session, &info) == CKR_OK ? info.state : ~CK_STATE{0};
}

bool SameCard(const sim::CardState& a, const sim::CardState& b) {
  if (a.files.size() != b.files.size() || a.pins.size() != b.pins.size() ||
      a.keys.size() != b.keys.size()) {
    return false;
  }
  for (const auto& [fid, file] : a.files) {
    const auto it = b.files.find(fid);
    if (it == b.files.end() || it->second.data != file.data || it->second.active != file.active) {
      return false;
    }
  }
  for (const auto& [ref, pin] : a.pins) {
    const auto it = b.pins.find(ref);
    if (it == b.pins.end() || it->second.value != pin.value ||
        it->second.triesLeft != pin.triesLeft) {
      return false;
    }
  }
  for (const auto& [ref, key] : a.keys) {
    const auto it = b.keys.find(ref);
    if (it == b.keys.end() || it->second.privateKey != key.privateKey ||
        it->second.publicKey != key.publicKey) {
      return false;
    }
  }
  return true;
}

}  // namespace zorad::test::faults
