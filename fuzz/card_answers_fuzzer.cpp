// Fuzz target: every card answer. A card answers each command the module
// sends either as the simulator does or with bytes from the input, while a
// whole token life runs through the module's entry points. After each run
// no reader transaction may be left open or dropped.
//
// Input:
//   byte   scenario: 0x01 T=0, 0x02 create, change and destroy a data
//          object, 0x04 sign and verify, 0x08 generate a key pair, 0x10
//          random bytes, 0x20 PIN change, 0x40 slot events
//   then one control byte per command (the simulator answers once the
//   input ends):
//     00-7F   the simulator's answer
//     80-9F   an answer from the input (chunk), the simulator not asked
//     A0-BF   the simulator's answer with the status word from the input (u16)
//     C0-DF   the simulator's answer cut to (byte) bytes before its status word
//     E0-EF   the simulator's answer with extra data (chunk) before its status word
//     F0-FE   fewer than two bytes: nothing, or one byte (byte)
//     FF      the card leaves the reader during the command
#include <array>
#include <cstring>
#include <memory>
#include <string>

#include "sim/card/simulated_card.h"
#include "support/fuzz_input.h"
#include "support/module_rig.h"

namespace zorad::fuzz {
namespace {

class FuzzCard : public sim::CardDevice {
 public:
  FuzzCard(std::shared_ptr<sim::SimulatedCard> real, FuzzInput& in)
      : real_(std::move(real)), in_(in) {}

  std::vector<uint8_t> Atr() const override { return real_->Atr(); }
  void PowerOn() override { real_->PowerOn(); }
  void PowerOff() override { real_->PowerOff(); }
  void Reset() override { real_->Reset(); }

  sim::CardAnswer Transmit(std::span<const uint8_t> command) override {
    if (in_.empty()) return real_->Transmit(command);
    const uint8_t control = in_.Byte();
    if (control < 0x80) return real_->Transmit(command);
    if (control < 0xA0) {
      const auto bytes = in_.Chunk();
      return {std::vector<uint8_t>(bytes.begin(), bytes.end()), false};
    }
    if (control == 0xFF) return {{}, true};
    if (control >= 0xF0) {
      const uint8_t one = in_.Byte();
      return {control & 1 ? std::vector<uint8_t>{one} : std::vector<uint8_t>{}, false};
    }
    sim::CardAnswer answer = real_->Transmit(command);
    std::vector<uint8_t>& bytes = answer.bytes;
    if (bytes.size() < 2) return answer;
    const auto sw = bytes.end() - 2;
    if (control < 0xC0) {
      const uint16_t status = in_.U16();
      sw[0] = static_cast<uint8_t>(status >> 8);
      sw[1] = static_cast<uint8_t>(status);
    } else if (control < 0xE0) {
      const size_t keep = std::min<size_t>(in_.Byte(), bytes.size() - 2);
      bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(keep), sw);
    } else {
      const auto extra = in_.Chunk();
      bytes.insert(sw, extra.begin(), extra.end());
    }
    return answer;
  }

 private:
  std::shared_ptr<sim::SimulatedCard> real_;
  FuzzInput& in_;
};

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
  if (query[0].ulValueLen == sizeof objectClass) {
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
  C_GenerateKeyPair(session, &mechanism, publicKey, 3, privateKey, 2, &pub, &priv);
}

void PinChange(CK_SESSION_HANDLE session) {
  std::string oldPin = kUserPin;
  std::string newPin = "87651234";
  C_SetPIN(session, reinterpret_cast<CK_UTF8CHAR*>(oldPin.data()), oldPin.size(),
           reinterpret_cast<CK_UTF8CHAR*>(newPin.data()), newPin.size());
}

void SlotEvents(CK_SLOT_ID slot) {
  CK_SLOT_ID event = 0;
  C_WaitForSlotEvent(CKF_DONT_BLOCK, &event, nullptr);
  CK_SLOT_INFO info{};
  C_GetSlotInfo(slot, &info);
}

void LoggedIn(uint8_t scenario, CK_SESSION_HANDLE session) {
  CK_OBJECT_HANDLE privateKey = CK_INVALID_HANDLE;
  CK_OBJECT_HANDLE publicKey = CK_INVALID_HANDLE;
  for (CK_OBJECT_HANDLE object : FindObjects(session, nullptr, 0, 16)) {
    const CK_OBJECT_CLASS objectClass = ReadAttributes(session, object);
    if (objectClass == CKO_PRIVATE_KEY) privateKey = object;
    if (objectClass == CKO_PUBLIC_KEY) publicKey = object;
  }
  if (scenario & 0x02) DataObject(session);
  if (scenario & 0x04) SignAndVerify(session, privateKey, publicKey);
  if (scenario & 0x08) GenerateKeyPair(session);
  if (scenario & 0x10) {
    std::array<uint8_t, 40> random{};
    C_GenerateRandom(session, random.data(), random.size());
  }
  if (scenario & 0x20) PinChange(session);
  C_Logout(session);
}

void TokenLife(uint8_t scenario) {
  CK_C_INITIALIZE_ARGS args{};
  args.flags = CKF_OS_LOCKING_OK;
  if (C_Initialize(&args) != CKR_OK) return;
  CK_ULONG count = 0;
  C_GetSlotList(CK_FALSE, nullptr, &count);
  CK_SLOT_ID slot = 0;
  count = 1;
  if (C_GetSlotList(CK_FALSE, &slot, &count) != CKR_OK || count == 0) return;
  if (scenario & 0x40) SlotEvents(slot);
  CK_TOKEN_INFO info{};
  C_GetTokenInfo(slot, &info);
  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  if (C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session) !=
      CKR_OK) {
    return;
  }
  if (LoginAs(session, CKU_USER, kUserPin) == CKR_OK) LoggedIn(scenario, session);
  C_GetTokenInfo(slot, &info);
  C_CloseSession(session);
}

}  // namespace
}  // namespace zorad::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zorad::fuzz::PreparedCardState();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zorad;
  using namespace zorad::fuzz;
  FuzzInput in(data, size);
  const uint8_t scenario = in.Byte();
  sim::CardState state = PreparedCardState();
  state.settings.protocol = scenario & 0x01 ? sim::Protocol::kT0 : sim::Protocol::kT1;
  auto real = std::make_shared<sim::SimulatedCard>(std::move(state));
  ModuleRig rig(std::make_shared<FuzzCard>(real, in), scenario & 0x01);
  TokenLife(scenario);
  return 0;
}
