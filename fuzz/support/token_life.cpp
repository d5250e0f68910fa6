#include "support/token_life.h"

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "platform/cryptoki.h"
#include "support/fuzz_input.h"
#include "support/module_rig.h"

namespace zorad::fuzz {
namespace {

// Reads the attributes an application commonly asks for, lengths first.
CK_OBJECT_CLASS ReadAttributes(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object) {
  std::array<CK_ATTRIBUTE, 6> query{{{CKA_CLASS, nullptr, 0},
                                     {CKA_LABEL, nullptr, 0},
                                     {CKA_ID, nullptr, 0},
                                     {CKA_KEY_TYPE, nullptr, 0},
                                     {CKA_VALUE, nullptr, 0},
                                     {CKA_GOSTR3410_PARAMS, nullptr, 0}}};
  C_GetAttributeValue(session, object, query.data(), query.size());
  std::array<std::vector<uint8_t>, 6> values;
  for (size_t i = 0; i < query.size(); ++i) {
    const CK_ULONG length = query[i].ulValueLen;
    values[i].assign(length == CK_UNAVAILABLE_INFORMATION || length > 4096 ? 0 : length, 0);
    query[i].pValue = values[i].empty() ? nullptr : values[i].data();
    query[i].ulValueLen = values[i].size();
  }
  C_GetAttributeValue(session, object, query.data(), query.size());
  for (size_t i = 0; i < query.size(); ++i) {
    Check(query[i].ulValueLen == CK_UNAVAILABLE_INFORMATION ||
              query[i].ulValueLen <= values[i].size() || query[i].pValue == nullptr,
          "C_GetAttributeValue reports more bytes than the buffer holds");
  }
  CK_OBJECT_CLASS objectClass = CKO_VENDOR_DEFINED;
  if (query[0].ulValueLen == sizeof objectClass && values[0].size() == sizeof objectClass) {
    std::memcpy(&objectClass, values[0].data(), sizeof objectClass);
  }
  return objectClass;
}

void DataObject(CK_SESSION_HANDLE session) {
  CK_OBJECT_CLASS dataClass = CKO_DATA;
  CK_BBOOL yes = CK_TRUE;
  char label[] = "fuzzed";
  CK_ATTRIBUTE data[] = {{CKA_CLASS, &dataClass, sizeof dataClass},
                         {CKA_TOKEN, &yes, 1},
                         {CKA_LABEL, label, sizeof label - 1}};
  CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
  if (C_CreateObject(session, data, 3, &object) != CKR_OK) return;
  std::vector<uint8_t> longer(300, 'L');
  CK_ATTRIBUTE change[] = {{CKA_LABEL, longer.data(), static_cast<CK_ULONG>(longer.size())}};
  C_SetAttributeValue(session, object, change, 1);
  ReadAttributes(session, object);
  C_DestroyObject(session, object);
}

void SignAndVerify(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE privateKey,
                   CK_OBJECT_HANDLE publicKey) {
  CK_MECHANISM mechanism{CKM_GOSTR3410_WITH_GOSTR3411, nullptr, 0};
  std::vector<uint8_t> data(300, 0x5A);
  std::array<uint8_t, 64> signature{};
  CK_ULONG length = signature.size();
  if (C_SignInit(session, &mechanism, privateKey) == CKR_OK) {
    C_Sign(session, data.data(), static_cast<CK_ULONG>(data.size()), signature.data(), &length);
    Check(length <= signature.size(), "C_Sign reports a longer signature than the buffer");
  }
  if (C_VerifyInit(session, &mechanism, publicKey) == CKR_OK) {
    C_Verify(session, data.data(), static_cast<CK_ULONG>(data.size()), signature.data(), 64);
  }
}

void GenerateKeyPair(CK_SESSION_HANDLE session) {
  CK_BBOOL yes = CK_TRUE;
  uint8_t cryptoProA[] = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01};
  CK_ATTRIBUTE publicKey[] = {{CKA_TOKEN, &yes, 1},
                              {CKA_VERIFY, &yes, 1},
                              {CKA_GOSTR3410_PARAMS, cryptoProA, sizeof cryptoProA}};
  CK_ATTRIBUTE privateKey[] = {{CKA_TOKEN, &yes, 1}, {CKA_SIGN, &yes, 1}};
  CK_MECHANISM mechanism{CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};
  CK_OBJECT_HANDLE pub = CK_INVALID_HANDLE;
  CK_OBJECT_HANDLE priv = CK_INVALID_HANDLE;
  if (C_GenerateKeyPair(session, &mechanism, publicKey, 3, privateKey, 2, &pub, &priv) != CKR_OK) {
    return;
  }
  // Deleting a private key regenerates its card key slot.
  C_DestroyObject(session, priv);
  C_DestroyObject(session, pub);
}

void PinChange(CK_SESSION_HANDLE session) {
  std::string oldPin = kUserPin;
  std::string newPin = kChangedUserPin;
  C_SetPIN(session, reinterpret_cast<CK_UTF8CHAR*>(oldPin.data()), oldPin.size(),
           reinterpret_cast<CK_UTF8CHAR*>(newPin.data()), newPin.size());
}

void SlotEvents(CK_SLOT_ID slot) {
  CK_SLOT_ID event = 0;
  C_WaitForSlotEvent(CKF_DONT_BLOCK, &event, nullptr);
  CK_SLOT_INFO info{};
  C_GetSlotInfo(slot, &info);
}

// The security officer sets the user PIN, then initialises the token.
void Administration(CK_SLOT_ID slot, CK_SESSION_HANDLE session) {
  if (LoginAs(session, CKU_SO, kSoPin) == CKR_OK) {
    std::string pin = kUserPin;
    C_InitPIN(session, reinterpret_cast<CK_UTF8CHAR*>(pin.data()), pin.size());
    C_Logout(session);
  }
  C_CloseSession(session);
  std::string soPin = kSoPin;
  CK_UTF8CHAR label[32];
  std::memset(label, ' ', sizeof label);
  std::memcpy(label, "fuzzed token", 12);
  C_InitToken(slot, reinterpret_cast<CK_UTF8CHAR*>(soPin.data()), soPin.size(), label);
}

void LoggedIn(uint8_t scenario, CK_SESSION_HANDLE session) {
  CK_OBJECT_HANDLE privateKey = CK_INVALID_HANDLE;
  CK_OBJECT_HANDLE publicKey = CK_INVALID_HANDLE;
  for (CK_OBJECT_HANDLE object : FindObjects(session, nullptr, 0, 16)) {
    const CK_OBJECT_CLASS objectClass = ReadAttributes(session, object);
    if (objectClass == CKO_PRIVATE_KEY) privateKey = object;
    if (objectClass == CKO_PUBLIC_KEY) publicKey = object;
  }
  if (scenario & kLifeDataObject) DataObject(session);
  if (scenario & kLifeSignVerify) SignAndVerify(session, privateKey, publicKey);
  if (scenario & kLifeKeyPair) GenerateKeyPair(session);
  if (scenario & kLifeRandom) {
    std::array<uint8_t, 40> random{};
    C_GenerateRandom(session, random.data(), random.size());
  }
  if (scenario & kLifePinChange) PinChange(session);
  C_Logout(session);
}

}  // namespace

void TokenLife(uint8_t scenario) {
  CK_C_INITIALIZE_ARGS args{};
  args.flags = CKF_OS_LOCKING_OK;
  if (C_Initialize(&args) != CKR_OK) return;
  CK_ULONG count = 0;
  C_GetSlotList(CK_FALSE, nullptr, &count);
  CK_SLOT_ID slot = 0;
  count = 1;
  if (C_GetSlotList(CK_FALSE, &slot, &count) != CKR_OK || count == 0) return;
  if (scenario & kLifeSlotEvents) SlotEvents(slot);
  CK_TOKEN_INFO info{};
  C_GetTokenInfo(slot, &info);
  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  if (C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session) !=
      CKR_OK) {
    return;
  }
  if (LoginAs(session, CKU_USER, kUserPin) == CKR_OK) LoggedIn(scenario, session);
  C_GetTokenInfo(slot, &info);
  if (scenario & kLifeAdministration) return Administration(slot, session);
  C_CloseSession(session);
}

}  // namespace zorad::fuzz
