#include "bad_input/sweep_world.h"

#include "sim/card/card_state.h"

namespace zorad::test {
namespace {

constexpr const char* kReaders[] = {"Sweep A", "Sweep B", "Sweep C", "Sweep D"};

std::pair<uint8_t, uint8_t> PinTries(const sim::SimulatedCard& card) {
  return {card.PinTriesLeft(sim::kSoPinRef).value_or(0),
          card.PinTriesLeft(sim::kUserPinRef).value_or(0)};
}

CK_SESSION_HANDLE OpenOn(CK_SLOT_ID slot, CK_FLAGS flags) {
  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  EXPECT_CKR(CKR_OK, C_OpenSession(slot, flags, nullptr, nullptr, &session));
  return session;
}

}  // namespace

void SweepWorldTest::SetUp() {
  InitializedTest::SetUp();
  for (const char* reader : kReaders) {
    cards_.push_back(std::make_shared<sim::SimulatedCard>());
    ASSERT_TRUE(sim::pcsc::AddReader(reader));
    ASSERT_TRUE(sim::pcsc::InsertCard(reader, cards_.back()));
    pinTries_.push_back(PinTries(*cards_.back()));
  }
  ASSERT_TRUE(sim::pcsc::AddReader("Sweep E"));  // stays empty
  CK_ULONG count = 0;
  ASSERT_CKR(CKR_OK, C_GetSlotList(CK_FALSE, nullptr, &count));
  ASSERT_EQ(5u, count);
  CK_SLOT_ID all[5] = {};
  ASSERT_CKR(CKR_OK, C_GetSlotList(CK_FALSE, all, &count));
  slotE_ = all[4];
  ASSERT_CKR(CKR_OK, C_GetSlotList(CK_TRUE, nullptr, &count));
  ASSERT_EQ(4u, count);
  CK_SLOT_ID slots[4] = {};
  ASSERT_CKR(CKR_OK, C_GetSlotList(CK_TRUE, slots, &count));
  // Slots are numbered in the byte order of the reader names.
  slotA_ = slots[0];
  slotB_ = slots[1];
  slotC_ = slots[2];
  slotD_ = slots[3];
  OpenSessions();
  if (HasFatalFailure()) return;
  MakeKeyPair();
  if (HasFatalFailure()) return;
  MakeStaleHandles();
}

void SweepWorldTest::OpenSessions() {
  rw_ = OpenOn(slotA_, kReadWrite);
  ro_ = OpenOn(slotA_, kReadOnly);
  ASSERT_CKR(CKR_OK, Login(rw_, CKU_USER, kUserPin));
  so_ = OpenOn(slotB_, kReadWrite);
  ASSERT_CKR(CKR_OK, Login(so_, CKU_SO, kSoPin));
  publicRw_ = OpenOn(slotC_, kReadWrite);
  publicRo_ = OpenOn(slotC_, kReadOnly);
  Template data;
  data.Ulong(CKA_CLASS, CKO_DATA).Bool(CKA_TOKEN, true).Text(CKA_LABEL, "sweep token data");
  tokenData_ = CreateObject(rw_, data);
  Template session;
  session.Ulong(CKA_CLASS, CKO_DATA).Text(CKA_LABEL, "sweep session data");
  sessionData_ = CreateObject(rw_, session);
}

void SweepWorldTest::MakeKeyPair() {
  const std::vector<uint8_t> cryptoProA = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01};
  Template publicKey;
  publicKey.Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, true).Bool(CKA_VERIFY, true);
  publicKey.Bytes(CKA_GOSTR3410_PARAMS, cryptoProA);
  Template privateKey;
  privateKey.Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, true).Bool(CKA_SIGN, true);
  CK_MECHANISM mechanism{CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};
  ASSERT_CKR(CKR_OK,
             C_GenerateKeyPair(rw_, &mechanism, publicKey.data(), publicKey.size(),
                               privateKey.data(), privateKey.size(), &publicKey_, &privateKey_));
}

void SweepWorldTest::MakeStaleHandles() {
  closed_ = OpenOn(slotA_, kReadWrite);
  ASSERT_CKR(CKR_OK, C_CloseSession(closed_));
  Template object;
  object.Text(CKA_LABEL, "short-lived");
  destroyed_ = CreateObject(rw_, object);
  ASSERT_CKR(CKR_OK, C_DestroyObject(rw_, destroyed_));
  const CK_SESSION_HANDLE gone = OpenOn(slotA_, kReadWrite);
  orphan_ = CreateObject(gone, object);
  ASSERT_CKR(CKR_OK, C_CloseSession(gone));
}

CK_OBJECT_HANDLE SweepWorldTest::CreateObject(CK_SESSION_HANDLE session, Template& object) {
  CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
  EXPECT_CKR(CKR_OK, C_CreateObject(session, object.data(), object.size(), &handle));
  return handle;
}

// After every sweep the module still serves the same state: the sessions,
// the logins, the objects, and no PIN try was spent.
void SweepWorldTest::TearDown() {
  if (!HasFatalFailure()) {
    CK_SESSION_INFO info{};
    EXPECT_CKR(CKR_OK, C_GetSessionInfo(rw_, &info));
    EXPECT_EQ(CKS_RW_USER_FUNCTIONS, info.state);
    EXPECT_EQ(4u, FindAll(rw_).size());  // key pair, token and session data
    EXPECT_EQ("sweep token data", ReadText(rw_, tokenData_));
    EXPECT_CKR(CKR_USER_ALREADY_LOGGED_IN, Login(so_, CKU_SO, kSoPin));
    for (size_t i = 0; i < cards_.size(); ++i) {
      EXPECT_EQ(pinTries_[i], PinTries(*cards_[i])) << kReaders[i];
    }
  }
  InitializedTest::TearDown();
}

}  // namespace zorad::test
