// Fixtures for the Windows suite, built up one step per rung: a clean
// simulated PC/SC world and a finalised module; the module initialised; a
// card in a reader with its slot found; a read/write session; the user
// logged in. Every call goes through the module's function list.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "loaded_module.h"
#include "support/ckr_names.h"

namespace zorad::wintest {

using Bytes = std::vector<uint8_t>;

inline constexpr const char* kUserPin = "12345678";
inline constexpr const char* kSoPin = "87654321";
inline constexpr const char* kReader = "Wine Reader 0";
inline constexpr CK_FLAGS kReadWrite = CKF_SERIAL_SESSION | CKF_RW_SESSION;
inline constexpr CK_FLAGS kReadOnly = CKF_SERIAL_SESSION;
inline constexpr uint8_t kUserPinRef = 0x69;
inline constexpr uint8_t kSoPinRef = 0x67;

// Finalises the module however often it was initialised.
inline void FinalizeCompletely() {
  for (int i = 0; i < 16 && F().C_Finalize(nullptr) == CKR_OK; ++i) {
  }
}

// A blank-padded text field as a string.
template <size_t N>
std::string Field(const CK_UTF8CHAR (&field)[N]) {
  return std::string(reinterpret_cast<const char*>(field), N);
}
inline std::string Padded(const std::string& text, size_t width) {
  std::string padded = text.substr(0, width);
  padded.resize(width, ' ');
  return padded;
}

// A CK_ATTRIBUTE template that owns its values; integers in the Windows
// form, 4 bytes little-endian.
class Template {
 public:
  Template& Bool(CK_ATTRIBUTE_TYPE type, bool value) {
    return Add(type, Bytes{static_cast<uint8_t>(value ? 1 : 0)});
  }
  Template& Ulong(CK_ATTRIBUTE_TYPE type, CK_ULONG value) {
    Bytes bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return Add(type, std::move(bytes));
  }
  Template& Text(CK_ATTRIBUTE_TYPE type, const std::string& text) {
    return Add(type, Bytes(text.begin(), text.end()));
  }
  Template& Add(CK_ATTRIBUTE_TYPE type, Bytes value) {
    values_.push_back(std::move(value));
    Bytes& stored = values_.back();
    attributes_.push_back(
        {type, stored.empty() ? nullptr : stored.data(), static_cast<CK_ULONG>(stored.size())});
    return *this;
  }
  CK_ATTRIBUTE* data() { return attributes_.empty() ? nullptr : attributes_.data(); }
  CK_ULONG size() const { return static_cast<CK_ULONG>(attributes_.size()); }

 private:
  std::deque<Bytes> values_;
  std::vector<CK_ATTRIBUTE> attributes_;
};

inline CK_RV Login(CK_SESSION_HANDLE session, CK_USER_TYPE type, const std::string& pin) {
  Bytes bytes(pin.begin(), pin.end());
  return F().C_Login(session, type, bytes.empty() ? nullptr : bytes.data(),
                     static_cast<CK_ULONG>(bytes.size()));
}

// One attribute as an application reads it; empty when refused.
inline Bytes ReadAttribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                           CK_ATTRIBUTE_TYPE type) {
  Bytes value(512);
  CK_ATTRIBUTE attribute{type, value.data(), static_cast<CK_ULONG>(value.size())};
  if (F().C_GetAttributeValue(session, object, &attribute, 1) != CKR_OK) return {};
  value.resize(attribute.ulValueLen);
  return value;
}

inline CK_ULONG UlongOf(const Bytes& value) {
  CK_ULONG v = 0;
  if (value.size() == sizeof v) std::memcpy(&v, value.data(), sizeof v);
  return v;
}

// Every handle a search with the template returns, `page` at a time.
inline std::vector<CK_OBJECT_HANDLE> FindAll(CK_SESSION_HANDLE session, Template& search,
                                             CK_ULONG page = 8) {
  std::vector<CK_OBJECT_HANDLE> found;
  EXPECT_CKR(CKR_OK, F().C_FindObjectsInit(session, search.data(), search.size()));
  std::vector<CK_OBJECT_HANDLE> buffer(page);
  for (int round = 0; round < 256; ++round) {
    CK_ULONG count = 0;
    EXPECT_CKR(CKR_OK, F().C_FindObjects(session, buffer.data(), page, &count));
    if (count == 0) break;
    found.insert(found.end(), buffer.begin(), buffer.begin() + count);
  }
  EXPECT_CKR(CKR_OK, F().C_FindObjectsFinal(session));
  return found;
}
inline std::vector<CK_OBJECT_HANDLE> FindAll(CK_SESSION_HANDLE session) {
  Template everything;
  return FindAll(session, everything);
}

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FinalizeCompletely();
    Sim().Reset();
  }
  void TearDown() override {
    FinalizeCompletely();
    EXPECT_EQ(0u, Sim().LeakedTransactions()) << "a reader transaction was never ended";
  }
};

// The module initialised with the built-in lock.
class InitializedTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    ASSERT_CKR(CKR_OK, F().C_Initialize(&args));
  }
};

// A simulated card in a reader, and its slot.
class CardTest : public InitializedTest {
 protected:
  void SetUp() override {
    InitializedTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(Sim().AddReader(kReader, nullptr));
    ZoradSimCardSetup setup;
    Sim().DefaultCardSetup(&setup);
    Customise(setup);
    ASSERT_TRUE(Sim().InsertCard(kReader, &setup));
    CK_ULONG count = 0;
    ASSERT_CKR(CKR_OK, F().C_GetSlotList(CK_TRUE, nullptr, &count));
    ASSERT_EQ(1u, count);
    ASSERT_CKR(CKR_OK, F().C_GetSlotList(CK_TRUE, &slot_, &count));
  }
  virtual void Customise(ZoradSimCardSetup&) {}

  CK_SESSION_HANDLE Open(CK_FLAGS flags = kReadWrite) {
    CK_SESSION_HANDLE handle = CK_INVALID_HANDLE;
    EXPECT_CKR(CKR_OK, F().C_OpenSession(slot_, flags, nullptr, nullptr, &handle));
    return handle;
  }
  CK_STATE StateOf(CK_SESSION_HANDLE session) {
    CK_SESSION_INFO info{};
    EXPECT_CKR(CKR_OK, F().C_GetSessionInfo(session, &info));
    return info.state;
  }

  CK_SLOT_ID slot_ = 0;
};

// ... with a read/write session open.
class SessionTest : public CardTest {
 protected:
  void SetUp() override {
    CardTest::SetUp();
    if (HasFatalFailure()) return;
    session_ = Open();
    ASSERT_NE(CK_INVALID_HANDLE, session_);
  }

  CK_OBJECT_HANDLE CreateData(const std::string& label, bool token, bool isPrivate = false) {
    Template object;
    object.Ulong(CKA_CLASS, CKO_DATA).Bool(CKA_TOKEN, token).Bool(CKA_PRIVATE, isPrivate);
    object.Text(CKA_LABEL, label);
    CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
    EXPECT_CKR(CKR_OK, F().C_CreateObject(session_, object.data(), object.size(), &handle));
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

}  // namespace zorad::wintest
