#include "common/p11_client.h"

#include <cstdio>
#include <cstring>

namespace zorad::bench {

void Check(CK_RV rv, const std::string& what) {
  if (rv == CKR_OK) return;
  char code[32];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(rv));
  throw BenchError(what + ": " + code);
}

Attributes& Attributes::Bool(CK_ATTRIBUTE_TYPE type, bool value) {
  return Bytes(type, {static_cast<uint8_t>(value ? 1 : 0)});
}

Attributes& Attributes::Ulong(CK_ATTRIBUTE_TYPE type, CK_ULONG value) {
  std::vector<uint8_t> bytes(sizeof value);
  std::memcpy(bytes.data(), &value, sizeof value);
  return Bytes(type, std::move(bytes));
}

Attributes& Attributes::Text(CK_ATTRIBUTE_TYPE type, const std::string& text) {
  return Bytes(type, std::vector<uint8_t>(text.begin(), text.end()));
}

Attributes& Attributes::Bytes(CK_ATTRIBUTE_TYPE type, std::vector<uint8_t> value) {
  values_.push_back(std::move(value));
  std::vector<uint8_t>& stored = values_.back();
  attributes_.push_back(
      {type, stored.empty() ? nullptr : stored.data(), static_cast<CK_ULONG>(stored.size())});
  return *this;
}

void Client::Initialize() {
  CK_C_INITIALIZE_ARGS args{};
  args.flags = CKF_OS_LOCKING_OK;
  Check(f_.C_Initialize(&args), "C_Initialize");
}

void Client::Finalize() { Check(f_.C_Finalize(nullptr), "C_Finalize"); }

CK_SLOT_ID Client::FirstSlotWithToken() {
  CK_ULONG count = 0;
  Check(f_.C_GetSlotList(CK_TRUE, nullptr, &count), "C_GetSlotList");
  if (count == 0) throw BenchError("no slot holds a token");
  std::vector<CK_SLOT_ID> slots(count);
  Check(f_.C_GetSlotList(CK_TRUE, slots.data(), &count), "C_GetSlotList");
  return slots.front();
}

CK_SESSION_HANDLE Client::Open(CK_SLOT_ID slot) {
  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  Check(f_.C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session),
        "C_OpenSession");
  return session;
}

void Client::Close(CK_SESSION_HANDLE session) {
  Check(f_.C_CloseSession(session), "C_CloseSession");
}

void Client::Login(CK_SESSION_HANDLE session, const std::string& pin) {
  std::vector<CK_UTF8CHAR> bytes(pin.begin(), pin.end());
  Check(f_.C_Login(session, CKU_USER, bytes.data(), static_cast<CK_ULONG>(bytes.size())),
        "C_Login");
}

void Client::Logout(CK_SESSION_HANDLE session) { Check(f_.C_Logout(session), "C_Logout"); }

CK_TOKEN_INFO Client::TokenInfo(CK_SLOT_ID slot) {
  CK_TOKEN_INFO info{};
  Check(f_.C_GetTokenInfo(slot, &info), "C_GetTokenInfo");
  return info;
}

void Client::SessionInfo(CK_SESSION_HANDLE session) {
  CK_SESSION_INFO info{};
  Check(f_.C_GetSessionInfo(session, &info), "C_GetSessionInfo");
}

std::vector<CK_OBJECT_HANDLE> Client::Find(CK_SESSION_HANDLE session, Attributes& search,
                                           CK_ULONG page) {
  Check(f_.C_FindObjectsInit(session, search.data(), search.size()), "C_FindObjectsInit");
  std::vector<CK_OBJECT_HANDLE> found;
  std::vector<CK_OBJECT_HANDLE> buffer(page);
  for (;;) {
    CK_ULONG count = 0;
    Check(f_.C_FindObjects(session, buffer.data(), page, &count), "C_FindObjects");
    if (count == 0) break;
    found.insert(found.end(), buffer.begin(), buffer.begin() + count);
  }
  Check(f_.C_FindObjectsFinal(session), "C_FindObjectsFinal");
  return found;
}

std::vector<CK_OBJECT_HANDLE> Client::FindAll(CK_SESSION_HANDLE session) {
  Attributes everything;
  return Find(session, everything);
}

CK_OBJECT_HANDLE Client::CreateData(CK_SESSION_HANDLE session, const std::string& label, bool token,
                                    bool isPrivate, const std::vector<uint8_t>& value) {
  Attributes object;
  object.Ulong(CKA_CLASS, CKO_DATA).Bool(CKA_TOKEN, token).Bool(CKA_PRIVATE, isPrivate);
  object.Text(CKA_LABEL, label);
  if (!value.empty()) object.Bytes(CKA_VALUE, value);
  CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
  Check(f_.C_CreateObject(session, object.data(), object.size(), &handle), "C_CreateObject");
  return handle;
}

std::string Client::ReadLabel(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object) {
  std::vector<uint8_t> value(256);
  CK_ATTRIBUTE attribute{CKA_LABEL, value.data(), static_cast<CK_ULONG>(value.size())};
  Check(f_.C_GetAttributeValue(session, object, &attribute, 1), "C_GetAttributeValue");
  return std::string(value.begin(), value.begin() + attribute.ulValueLen);
}

void Client::SetLabel(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                      const std::string& label) {
  Attributes change;
  change.Text(CKA_LABEL, label);
  Check(f_.C_SetAttributeValue(session, object, change.data(), change.size()),
        "C_SetAttributeValue");
}

void Client::Destroy(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object) {
  Check(f_.C_DestroyObject(session, object), "C_DestroyObject");
}

std::vector<uint8_t> GostParamSetA() {
  return {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01};
}

KeyPair Client::GenerateKeyPair(CK_SESSION_HANDLE session, const std::string& label) {
  Attributes publicKey;
  publicKey.Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, true).Bool(CKA_VERIFY, true);
  publicKey.Text(CKA_LABEL, label).Bytes(CKA_GOSTR3410_PARAMS, GostParamSetA());
  Attributes privateKey;
  privateKey.Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, true).Bool(CKA_SIGN, true);
  privateKey.Text(CKA_LABEL, label);
  CK_MECHANISM mechanism{CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};
  KeyPair pair;
  Check(
      f_.C_GenerateKeyPair(session, &mechanism, publicKey.data(), publicKey.size(),
                           privateKey.data(), privateKey.size(), &pair.publicKey, &pair.privateKey),
      "C_GenerateKeyPair");
  return pair;
}

std::vector<uint8_t> Client::Sign(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key,
                                  CK_MECHANISM_TYPE mechanism, const std::vector<uint8_t>& data) {
  CK_MECHANISM m{mechanism, nullptr, 0};
  Check(f_.C_SignInit(session, &m, key), "C_SignInit");
  std::vector<uint8_t> signature(64);
  CK_ULONG length = static_cast<CK_ULONG>(signature.size());
  Check(f_.C_Sign(session, const_cast<CK_BYTE*>(data.data()), static_cast<CK_ULONG>(data.size()),
                  signature.data(), &length),
        "C_Sign");
  signature.resize(length);
  return signature;
}

void Client::Verify(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key, CK_MECHANISM_TYPE mechanism,
                    const std::vector<uint8_t>& data, const std::vector<uint8_t>& signature) {
  CK_MECHANISM m{mechanism, nullptr, 0};
  Check(f_.C_VerifyInit(session, &m, key), "C_VerifyInit");
  Check(
      f_.C_Verify(session, const_cast<CK_BYTE*>(data.data()), static_cast<CK_ULONG>(data.size()),
                  const_cast<CK_BYTE*>(signature.data()), static_cast<CK_ULONG>(signature.size())),
      "C_Verify");
}

std::vector<uint8_t> Client::Random(CK_SESSION_HANDLE session, size_t length) {
  std::vector<uint8_t> bytes(length);
  Check(f_.C_GenerateRandom(session, bytes.data(), static_cast<CK_ULONG>(length)),
        "C_GenerateRandom");
  return bytes;
}

}  // namespace zorad::bench
