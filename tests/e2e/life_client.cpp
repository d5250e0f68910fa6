// zorad-e2e-client MODULE: a token's life through the function list of the
// shipped module, loaded with dlopen as applications load it, on the real
// PC/SC stack (inside scripts/virtual-reader run). Written to run under
// valgrind: every entry point family is used, the card is pulled and put
// back while a thread waits for the slot event, and C_Finalize ends a
// second waiting thread. Prints each failed step; exit status 0 when every
// step gave what it should.
#include <dlfcn.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/cryptoki.h"

namespace {

using Bytes = std::vector<CK_BYTE>;

int g_failures = 0;
CK_FUNCTION_LIST_PTR f = nullptr;

void Expect(CK_RV expected, CK_RV got, const char* what, int line) {
  if (expected == got) return;
  std::printf("line %d: %s gave 0x%lx, expected 0x%lx\n", line, what, got, expected);
  ++g_failures;
}
void Check(bool condition, const char* what, int line) {
  if (condition) return;
  std::printf("line %d: %s\n", line, what);
  ++g_failures;
}
#define EXPECT_RV(expected, call) Expect((expected), (call), #call, __LINE__)
#define CHECK(condition) Check((condition), #condition, __LINE__)

const std::string kSoPin = "87654321";
const std::string kUserPin = "27182818";
const Bytes kCryptoProA = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01};

CK_UTF8CHAR_PTR Text(const std::string& s) {
  return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(s.data()));
}

CK_RV Login(CK_SESSION_HANDLE s, CK_USER_TYPE who, const std::string& pin) {
  return f->C_Login(s, who, Text(pin), pin.size());
}

// The pulled and inserted card, through the virtual reader's own command.
void VirtualReader(const char* verb) {
  const char* script = std::getenv("ZORAD_VIRTUAL_READER");
  CHECK(script != nullptr);
  if (script == nullptr) return;
  const std::string command = std::string(script) + " " + verb;
  CHECK(std::system(command.c_str()) == 0);
}

CK_SLOT_ID TheSlot() {
  CK_ULONG count = 0;
  EXPECT_RV(CKR_OK, f->C_GetSlotList(CK_TRUE, nullptr, &count));
  std::vector<CK_SLOT_ID> slots(count);
  EXPECT_RV(CKR_OK, f->C_GetSlotList(CK_TRUE, slots.data(), &count));
  CHECK(count == 1);
  return count == 0 ? 0 : slots[0];
}

void DescribeAndInitialise(CK_SLOT_ID slot) {
  CK_INFO info{};
  EXPECT_RV(CKR_OK, f->C_GetInfo(&info));
  CK_SLOT_INFO slotInfo{};
  EXPECT_RV(CKR_OK, f->C_GetSlotInfo(slot, &slotInfo));
  CHECK((slotInfo.flags & CKF_TOKEN_PRESENT) != 0);
  CK_ULONG count = 0;
  EXPECT_RV(CKR_OK, f->C_GetMechanismList(slot, nullptr, &count));
  std::vector<CK_MECHANISM_TYPE> mechanisms(count);
  EXPECT_RV(CKR_OK, f->C_GetMechanismList(slot, mechanisms.data(), &count));
  CHECK(count == 4);
  CK_MECHANISM_INFO mechanism{};
  EXPECT_RV(CKR_OK, f->C_GetMechanismInfo(slot, CKM_GOSTR3410, &mechanism));
  std::string label = "valgrind token";
  label.resize(32, ' ');
  EXPECT_RV(CKR_OK, f->C_InitToken(slot, Text(kSoPin), kSoPin.size(), Text(label)));
  CK_TOKEN_INFO token{};
  EXPECT_RV(CKR_OK, f->C_GetTokenInfo(slot, &token));
  CHECK(std::memcmp(token.label, label.data(), 32) == 0);
}

CK_SESSION_HANDLE SetPinsAndLogIn(CK_SLOT_ID slot) {
  CK_SESSION_HANDLE s = CK_INVALID_HANDLE;
  EXPECT_RV(CKR_OK,
            f->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s));
  EXPECT_RV(CKR_OK, Login(s, CKU_SO, kSoPin));
  EXPECT_RV(CKR_OK, f->C_InitPIN(s, Text(kUserPin), kUserPin.size()));
  EXPECT_RV(CKR_OK, f->C_Logout(s));
  EXPECT_RV(CKR_PIN_INCORRECT, Login(s, CKU_USER, "00000000"));
  EXPECT_RV(CKR_OK, Login(s, CKU_USER, kUserPin));
  const std::string other = "99887766";
  EXPECT_RV(CKR_OK, f->C_SetPIN(s, Text(kUserPin), kUserPin.size(), Text(other), other.size()));
  EXPECT_RV(CKR_OK, f->C_SetPIN(s, Text(other), other.size(), Text(kUserPin), kUserPin.size()));
  CK_SESSION_INFO info{};
  EXPECT_RV(CKR_OK, f->C_GetSessionInfo(s, &info));
  CHECK(info.state == CKS_RW_USER_FUNCTIONS);
  return s;
}

std::vector<CK_OBJECT_HANDLE> Find(CK_SESSION_HANDLE s, CK_ATTRIBUTE* templ, CK_ULONG count) {
  EXPECT_RV(CKR_OK, f->C_FindObjectsInit(s, templ, count));
  std::vector<CK_OBJECT_HANDLE> found;
  CK_OBJECT_HANDLE page[2];
  CK_ULONG n = 0;
  do {
    EXPECT_RV(CKR_OK, f->C_FindObjects(s, page, 2, &n));
    found.insert(found.end(), page, page + n);
  } while (n == 2);
  EXPECT_RV(CKR_OK, f->C_FindObjectsFinal(s));
  return found;
}

Bytes Attribute(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
  CK_ATTRIBUTE a{type, nullptr, 0};
  EXPECT_RV(CKR_OK, f->C_GetAttributeValue(s, object, &a, 1));
  Bytes value(a.ulValueLen);
  a.pValue = value.data();
  EXPECT_RV(CKR_OK, f->C_GetAttributeValue(s, object, &a, 1));
  return value;
}

// A data object created, found, grown by a longer label, shrunk, destroyed.
void DataObjects(CK_SESSION_HANDLE s) {
  CK_OBJECT_CLASS dataClass = CKO_DATA;
  CK_BBOOL yes = CK_TRUE;
  std::string label = "valgrind data";
  Bytes value(300, 0x5A);
  CK_ATTRIBUTE templ[] = {{CKA_CLASS, &dataClass, sizeof dataClass},
                          {CKA_TOKEN, &yes, sizeof yes},
                          {CKA_LABEL, label.data(), label.size()},
                          {CKA_VALUE, value.data(), value.size()}};
  CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
  EXPECT_RV(CKR_OK, f->C_CreateObject(s, templ, 4, &object));
  const auto found = Find(s, templ, 3);
  CHECK(found.size() == 1 && found[0] == object);
  CHECK(Attribute(s, object, CKA_VALUE) == value);
  Bytes longer(700, 0xA5);
  CK_ATTRIBUTE grow{CKA_VALUE, longer.data(), longer.size()};
  EXPECT_RV(CKR_OK, f->C_SetAttributeValue(s, object, &grow, 1));
  CHECK(Attribute(s, object, CKA_VALUE) == longer);
  CK_ATTRIBUTE shrink{CKA_VALUE, value.data(), 10};
  EXPECT_RV(CKR_OK, f->C_SetAttributeValue(s, object, &shrink, 1));
  CHECK(Attribute(s, object, CKA_VALUE) == Bytes(value.begin(), value.begin() + 10));
  EXPECT_RV(CKR_OK, f->C_DestroyObject(s, object));
  CHECK(Find(s, templ, 3).empty());
}

void KeysAndSignatures(CK_SESSION_HANDLE s) {
  CK_BBOOL yes = CK_TRUE;
  CK_ATTRIBUTE pub[] = {
      {CKA_TOKEN, &yes, sizeof yes},
      {CKA_VERIFY, &yes, sizeof yes},
      {CKA_GOSTR3410_PARAMS, const_cast<CK_BYTE*>(kCryptoProA.data()), kCryptoProA.size()}};
  CK_ATTRIBUTE priv[] = {{CKA_TOKEN, &yes, sizeof yes}, {CKA_SIGN, &yes, sizeof yes}};
  CK_MECHANISM generate{CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};
  CK_OBJECT_HANDLE pubKey = CK_INVALID_HANDLE;
  CK_OBJECT_HANDLE privKey = CK_INVALID_HANDLE;
  EXPECT_RV(CKR_OK, f->C_GenerateKeyPair(s, &generate, pub, 3, priv, 2, &pubKey, &privKey));
  CHECK(Attribute(s, pubKey, CKA_VALUE).size() == 64);
  Bytes message(1000, 0x31);
  Bytes hash(32, 0x77);
  for (CK_MECHANISM_TYPE type : {CKM_GOSTR3410, CKM_GOSTR3410_WITH_GOSTR3411}) {
    Bytes& data = type == CKM_GOSTR3410 ? hash : message;
    CK_MECHANISM mechanism{type, nullptr, 0};
    Bytes signature(64);
    CK_ULONG length = signature.size();
    EXPECT_RV(CKR_OK, f->C_SignInit(s, &mechanism, privKey));
    EXPECT_RV(CKR_OK, f->C_Sign(s, data.data(), data.size(), signature.data(), &length));
    EXPECT_RV(CKR_OK, f->C_VerifyInit(s, &mechanism, pubKey));
    EXPECT_RV(CKR_OK, f->C_Verify(s, data.data(), data.size(), signature.data(), 64));
    signature[10] ^= 0x10;
    EXPECT_RV(CKR_OK, f->C_VerifyInit(s, &mechanism, pubKey));
    EXPECT_RV(CKR_SIGNATURE_INVALID, f->C_Verify(s, data.data(), data.size(), signature.data(), 64));
  }
  // In parts, and the card's digest; a digest left unfinished goes with
  // its session.
  CK_MECHANISM inParts{CKM_GOSTR3410_WITH_GOSTR3411, nullptr, 0};
  CK_MECHANISM digest{CKM_GOSTR3411, nullptr, 0};
  Bytes signature(64);
  CK_ULONG length = signature.size();
  EXPECT_RV(CKR_OK, f->C_SignInit(s, &inParts, privKey));
  EXPECT_RV(CKR_OK, f->C_SignUpdate(s, message.data(), 400));
  EXPECT_RV(CKR_OK, f->C_SignUpdate(s, message.data() + 400, 600));
  EXPECT_RV(CKR_OK, f->C_SignFinal(s, signature.data(), &length));
  EXPECT_RV(CKR_OK, f->C_VerifyInit(s, &inParts, pubKey));
  EXPECT_RV(CKR_OK, f->C_VerifyUpdate(s, message.data(), message.size()));
  EXPECT_RV(CKR_OK, f->C_VerifyFinal(s, signature.data(), 64));
  EXPECT_RV(CKR_OK, f->C_DigestInit(s, &digest));
  EXPECT_RV(CKR_OK, f->C_Digest(s, message.data(), message.size(), hash.data(), &length));
  EXPECT_RV(CKR_OK, f->C_DigestInit(s, &digest));
  EXPECT_RV(CKR_OK, f->C_DigestUpdate(s, message.data(), message.size()));
  Bytes random(100);
  EXPECT_RV(CKR_OK, f->C_GenerateRandom(s, random.data(), random.size()));
}

// The card leaves while a thread blocks in C_WaitForSlotEvent and comes back
// while the application polls; its objects are there again after login.
void PullAndInsert(CK_SLOT_ID slot) {
  CK_SLOT_ID event = 0;
  while (f->C_WaitForSlotEvent(CKF_DONT_BLOCK, &event, nullptr) == CKR_OK) {
  }
  CK_RV waited = CKR_GENERAL_ERROR;
  std::thread waiter([&] { waited = f->C_WaitForSlotEvent(0, &event, nullptr); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  VirtualReader("pull");
  waiter.join();
  EXPECT_RV(CKR_OK, waited);
  CHECK(event == slot);
  CK_TOKEN_INFO token{};
  EXPECT_RV(CKR_TOKEN_NOT_PRESENT, f->C_GetTokenInfo(slot, &token));
  VirtualReader("insert");
  CK_RV polled = CKR_NO_EVENT;
  for (int i = 0; i < 200 && polled == CKR_NO_EVENT; ++i) {
    polled = f->C_WaitForSlotEvent(CKF_DONT_BLOCK, &event, nullptr);
    if (polled == CKR_NO_EVENT) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_RV(CKR_OK, polled);
  CHECK(event == slot);
  CK_SESSION_HANDLE s = CK_INVALID_HANDLE;
  EXPECT_RV(CKR_OK, f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &s));
  EXPECT_RV(CKR_OK, Login(s, CKU_USER, kUserPin));
  CHECK(Find(s, nullptr, 0).size() == 2);  // the key pair
  EXPECT_RV(CKR_OK, f->C_CloseSession(s));
}

// C_Finalize ends a wait that another thread is blocked in.
void FinalizeWhileWaiting() {
  CK_SLOT_ID event = 0;
  CK_RV waited = CKR_OK;
  std::thread waiter([&] { waited = f->C_WaitForSlotEvent(0, &event, nullptr); });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_RV(CKR_OK, f->C_Finalize(nullptr));
  waiter.join();
  EXPECT_RV(CKR_CRYPTOKI_NOT_INITIALIZED, waited);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s MODULE\n", argv[0]);
    return 2;
  }
  void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    std::printf("dlopen: %s\n", dlerror());
    return 1;
  }
  auto getFunctionList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList"));
  if (getFunctionList == nullptr || getFunctionList(&f) != CKR_OK) {
    std::printf("no function list\n");
    return 1;
  }
  CK_C_INITIALIZE_ARGS args{};
  args.flags = CKF_OS_LOCKING_OK;
  EXPECT_RV(CKR_OK, f->C_Initialize(&args));
  const CK_SLOT_ID slot = TheSlot();
  DescribeAndInitialise(slot);
  const CK_SESSION_HANDLE s = SetPinsAndLogIn(slot);
  DataObjects(s);
  KeysAndSignatures(s);
  EXPECT_RV(CKR_OK, f->C_Logout(s));
  EXPECT_RV(CKR_OK, f->C_CloseSession(s));
  PullAndInsert(slot);
  FinalizeWhileWaiting();
  dlclose(module);
  std::printf(g_failures == 0 ? "OK\n" : "%d steps failed\n", g_failures);
  return g_failures == 0 ? 0 : 1;
}
