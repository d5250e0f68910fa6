// The fixture ladder for the session and object entry points: the module
// initialised, a simulated card in a reader, a session open on its slot,
// the user logged in. Each rung adds one step in SetUp.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/cryptoki.h"
#include "sim/card/simulated_card.h"
#include "sim/pcsc/pcsc_double.h"
#include "support/module_fixture.h"

namespace zorad::test {

inline constexpr const char* kUserPin = "12345678";
inline constexpr const char* kSoPin = "87654321";
inline constexpr CK_FLAGS kReadWrite = CKF_SERIAL_SESSION | CKF_RW_SESSION;
inline constexpr CK_FLAGS kReadOnly = CKF_SERIAL_SESSION;

// A CK_ATTRIBUTE template that owns its values.
class Template {
 public:
  Template& Bool(CK_ATTRIBUTE_TYPE type, bool value) {
    return Bytes(type, std::vector<uint8_t>{static_cast<uint8_t>(value ? 1 : 0)});
  }
  // A CK_ULONG in the platform's own form (8 bytes on Linux).
  Template& Ulong(CK_ATTRIBUTE_TYPE type, CK_ULONG value) {
    std::vector<uint8_t> bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return Bytes(type, std::move(bytes));
  }
  Template& Text(CK_ATTRIBUTE_TYPE type, const std::string& text) {
    return Bytes(type, std::vector<uint8_t>(text.begin(), text.end()));
  }
  Template& Bytes(CK_ATTRIBUTE_TYPE type, std::vector<uint8_t> value) {
    values_.push_back(std::move(value));
    std::vector<uint8_t>& stored = values_.back();
    attributes_.push_back(
        {type, stored.empty() ? nullptr : stored.data(), static_cast<CK_ULONG>(stored.size())});
    return *this;
  }

  CK_ATTRIBUTE* data() { return attributes_.empty() ? nullptr : attributes_.data(); }
  CK_ULONG size() const { return static_cast<CK_ULONG>(attributes_.size()); }

 private:
  std::deque<std::vector<uint8_t>> values_;
  std::vector<CK_ATTRIBUTE> attributes_;
};

inline CK_RV Login(CK_SESSION_HANDLE session, CK_USER_TYPE userType, const std::string& pin) {
  std::vector<CK_UTF8CHAR> bytes(pin.begin(), pin.end());
  return C_Login(session, userType, bytes.empty() ? nullptr : bytes.data(),
                 static_cast<CK_ULONG>(bytes.size()));
}

// Every handle a search with the template returns, fetched `page` at a time.
inline std::vector<CK_OBJECT_HANDLE> FindAll(CK_SESSION_HANDLE session, Template& search,
                                             CK_ULONG page = 16) {
  std::vector<CK_OBJECT_HANDLE> found;
  EXPECT_CKR(CKR_OK, C_FindObjectsInit(session, search.data(), search.size()));
  std::vector<CK_OBJECT_HANDLE> buffer(page);
  for (int round = 0; round < 256; ++round) {
    CK_ULONG count = 0;
    EXPECT_CKR(CKR_OK, C_FindObjects(session, buffer.data(), page, &count));
    if (count == 0) break;
    found.insert(found.end(), buffer.begin(), buffer.begin() + count);
  }
  EXPECT_CKR(CKR_OK, C_FindObjectsFinal(session));
  return found;
}
inline std::vector<CK_OBJECT_HANDLE> FindAll(CK_SESSION_HANDLE session) {
  Template everything;
  return FindAll(session, everything);
}

// One attribute's value as the application reads it; empty when refused.
inline std::vector<uint8_t> ReadAttribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                                          CK_ATTRIBUTE_TYPE type) {
  std::vector<uint8_t> value(256);
  CK_ATTRIBUTE attribute{type, value.data(), static_cast<CK_ULONG>(value.size())};
  if (C_GetAttributeValue(session, object, &attribute, 1) != CKR_OK) return {};
  value.resize(attribute.ulValueLen);
  return value;
}
inline std::string ReadText(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                            CK_ATTRIBUTE_TYPE type = CKA_LABEL) {
  const std::vector<uint8_t> value = ReadAttribute(session, object, type);
  return std::string(value.begin(), value.end());
}

// A simulated card in a reader, the module initialised, and the slot found.
class CardInReaderTest : public InitializedTest {
 protected:
  static constexpr const char* kReaderName = "Session Reader";

  void SetUp() override {
    InitializedTest::SetUp();
    ASSERT_TRUE(sim::pcsc::AddReader(kReaderName));
    card_ = std::make_shared<sim::SimulatedCard>(Personalisation());
    ASSERT_TRUE(sim::pcsc::InsertCard(kReaderName, card_));
    CK_ULONG count = 0;
    ASSERT_CKR(CKR_OK, C_GetSlotList(CK_TRUE, nullptr, &count));
    ASSERT_EQ(1u, count);
    ASSERT_CKR(CKR_OK, C_GetSlotList(CK_TRUE, &slotId_, &count));
  }

  virtual sim::CardPersonalisation Personalisation() const { return {}; }

  CK_SESSION_HANDLE Open(CK_FLAGS flags = kReadWrite) {
    CK_SESSION_HANDLE handle = CK_INVALID_HANDLE;
    EXPECT_CKR(CKR_OK, C_OpenSession(slotId_, flags, nullptr, nullptr, &handle));
    return handle;
  }

  CK_STATE StateOf(CK_SESSION_HANDLE session) {
    CK_SESSION_INFO info{};
    EXPECT_CKR(CKR_OK, C_GetSessionInfo(session, &info));
    return info.state;
  }

  std::shared_ptr<sim::SimulatedCard> card_;
  CK_SLOT_ID slotId_ = 0;
};

// ... with a read/write session open.
class SessionTest : public CardInReaderTest {
 protected:
  void SetUp() override {
    CardInReaderTest::SetUp();
    if (HasFatalFailure()) return;
    session_ = Open();
    ASSERT_NE(CK_INVALID_HANDLE, session_);
  }

  // A data object with a label; a token object when `token`, private when
  // `isPrivate`.
  CK_OBJECT_HANDLE CreateData(const std::string& label, bool token, bool isPrivate = false,
                              CK_SESSION_HANDLE session = CK_INVALID_HANDLE) {
    Template object;
    object.Ulong(CKA_CLASS, CKO_DATA).Bool(CKA_TOKEN, token).Bool(CKA_PRIVATE, isPrivate);
    object.Text(CKA_LABEL, label);
    CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
    EXPECT_CKR(CKR_OK, C_CreateObject(session == CK_INVALID_HANDLE ? session_ : session,
                                      object.data(), object.size(), &handle));
    return handle;
  }

  CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
};

// ... with the user logged in.
class UserSessionTest : public SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_CKR(CKR_OK, Login(session_, CKU_USER, kUserPin));
  }
};

}  // namespace zorad::test
