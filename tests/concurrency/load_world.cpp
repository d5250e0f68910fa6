#include "concurrency/load_world.h"

#include <cstdlib>
#include <set>
#include <sstream>

#include "sim/card/card_state.h"

namespace zorad::test {
namespace {

std::mutex g_applicationMutex;

CK_RV CreateMutex(CK_VOID_PTR_PTR mutex) {
  ++CountingMutex::creates;
  *mutex = &g_applicationMutex;
  return CKR_OK;
}
CK_RV DestroyMutex(CK_VOID_PTR) {
  ++CountingMutex::destroys;
  return CKR_OK;
}
CK_RV LockMutex(CK_VOID_PTR mutex) {
  static_cast<std::mutex*>(mutex)->lock();
  ++CountingMutex::locks;
  return CKR_OK;
}
CK_RV UnlockMutex(CK_VOID_PTR mutex) {
  ++CountingMutex::unlocks;
  static_cast<std::mutex*>(mutex)->unlock();
  return CKR_OK;
}

using CodeSet = std::set<CK_RV>;

// What a call may answer while its card is pulled and re-inserted under
// it: the card vanishes between or during commands, another thread's
// C_GetTokenInfo clears the slot (closing its sessions and logging it out),
// and a re-inserted card has forgotten the user's PIN verification.
const std::map<std::string, CodeSet>& PulledCardCodes() {
  static const CodeSet kCardGone = {
      CKR_OK,           CKR_TOKEN_NOT_PRESENT,     CKR_TOKEN_NOT_RECOGNIZED, CKR_FUNCTION_FAILED,
      CKR_DEVICE_ERROR, CKR_SESSION_HANDLE_INVALID};
  auto with = [](std::initializer_list<CK_RV> more) {
    CodeSet codes = kCardGone;
    codes.insert(more);
    return codes;
  };
  static const std::map<std::string, CodeSet> kCodes = {
      {"C_GetTokenInfo", kCardGone},
      {"C_OpenSession", kCardGone},
      // The session's slot has no token attached.
      {"C_GetSessionInfo", with({CKR_GENERAL_ERROR})},
      // Private objects unreadable after the PIN check: logged out again.
      {"C_Login", with({CKR_USER_ALREADY_LOGGED_IN, CKR_GENERAL_ERROR})},
      {"C_GenerateRandom", kCardGone},
      {"C_FindObjectsInit", kCardGone},
      {"C_FindObjects", with({CKR_OPERATION_NOT_INITIALIZED})},
      {"C_FindObjectsFinal", kCardGone},
      // Private objects dropped by another thread's logout.
      {"C_GetAttributeValue", with({CKR_OBJECT_HANDLE_INVALID, CKR_USER_NOT_LOGGED_IN})},
      {"C_SignInit", with({CKR_KEY_HANDLE_INVALID, CKR_OBJECT_HANDLE_INVALID})},
      // The key may be dropped by another thread's logout between
      // C_SignInit and C_Sign.
      {"C_Sign", with({CKR_OPERATION_NOT_INITIALIZED, CKR_OBJECT_HANDLE_INVALID})},
      {"C_Logout", with({CKR_USER_NOT_LOGGED_IN, CKR_GENERAL_ERROR})},
      {"C_CloseSession", kCardGone},
  };
  return kCodes;
}

// The slot list may have been rebuilt by another thread's count query
// between the two halves of C_GetSlotList. A slot-event wait ends with
// C_Finalize, or with the error of attaching a card that was pulled again
// while its token was being read.
const std::map<std::string, CodeSet>& AllSlotsCodes() {
  static const std::map<std::string, CodeSet> kCodes = {
      {"C_GetSlotList count", {CKR_OK}},
      {"C_GetSlotList list", {CKR_OK, CKR_BUFFER_TOO_SMALL}},
      {"C_Initialize nested", {CKR_OK}},
      {"C_Finalize nested", {CKR_OK}},
      {"C_WaitForSlotEvent",
       {CKR_OK, CKR_CRYPTOKI_NOT_INITIALIZED, CKR_DEVICE_ERROR, CKR_FUNCTION_FAILED}},
  };
  return kCodes;
}

CodeSet AllowedCodes(const std::string& call, Scope scope) {
  // A card nobody touches: every call on it succeeds.
  if (scope == Scope::kSteadyCard) return {CKR_OK};
  const auto& table = scope == Scope::kPulledCard ? PulledCardCodes() : AllSlotsCodes();
  const auto it = table.find(call);
  return it == table.end() ? CodeSet{} : it->second;
}

const char* ScopeName(Scope scope) {
  switch (scope) {
    case Scope::kSteadyCard:
      return "steady card";
    case Scope::kPulledCard:
      return "pulled card";
    default:
      return "all slots";
  }
}

}  // namespace

CK_C_INITIALIZE_ARGS CountingMutex::Args() {
  CK_C_INITIALIZE_ARGS args{};
  args.CreateMutex = CreateMutex;
  args.DestroyMutex = DestroyMutex;
  args.LockMutex = LockMutex;
  args.UnlockMutex = UnlockMutex;
  return args;
}

TraceIntoTemporaryFile::TraceIntoTemporaryFile(bool on) {
  if (on) directory_.emplace("0x3F");
}

TraceIntoTemporaryFile::~TraceIntoTemporaryFile() {
  if (!directory_ || !directory_->ok()) return;
  // Tracing stays as the last C_Initialize configured it; switch it off for
  // the tests that follow in this process.
  setenv("ZORAD_PKCS11_TRACEMODE", "0", 1);
  C_Initialize(nullptr);
  C_Finalize(nullptr);
}

void CallTally::Merge(const CallTally& other) {
  for (const auto& [key, codes] : other.counts_) {
    for (const auto& [rv, count] : codes) counts_[key][rv] += count;
  }
}

size_t CallTally::Total() const {
  size_t total = 0;
  for (const auto& [key, codes] : counts_) {
    for (const auto& [rv, count] : codes) total += count;
  }
  return total;
}

std::vector<std::string> CallTally::Unexpected() const {
  std::vector<std::string> found;
  for (const auto& [key, codes] : counts_) {
    const CodeSet allowed = AllowedCodes(key.first, key.second);
    for (const auto& [rv, count] : codes) {
      if (allowed.count(rv) == 0) {
        found.push_back(key.first + " [" + ScopeName(key.second) + "] returned " + CkrName(rv) +
                        " x" + std::to_string(count));
      }
    }
  }
  return found;
}

std::string CallTally::Summary() const {
  std::ostringstream text;
  for (const auto& [key, codes] : counts_) {
    size_t calls = 0;
    for (const auto& [rv, count] : codes) calls += count;
    text << "  " << key.first << " [" << ScopeName(key.second) << "]: " << calls << " (";
    const char* separator = "";
    for (const auto& [rv, count] : codes) {
      text << separator << CkrName(rv) << " " << count;
      separator = ", ";
    }
    text << ")\n";
  }
  return text.str();
}

void LoadWorldTest::StartModule(bool applicationCallbacks) {
  CountingMutex::Reset();
  cards_.assign(2, LoadCard{});
  for (size_t i = 0; i < cards_.size(); ++i) {
    const char letter = static_cast<char>('A' + i);
    cards_[i].reader = std::string("Load Reader ") + letter;
    cards_[i].keyLabel = std::string("load key ") + letter;
    cards_[i].card = std::make_shared<sim::SimulatedCard>();
  }
  cards_[0].pulled = true;
  for (LoadCard& card : cards_) {
    ASSERT_TRUE(sim::pcsc::AddReader(card.reader));
    ASSERT_TRUE(sim::pcsc::InsertCard(card.reader, card.card));
    card.userPinTries = card.card->PinTriesLeft(sim::kUserPinRef).value_or(0);
  }
  CK_C_INITIALIZE_ARGS args = CountingMutex::Args();
  if (!applicationCallbacks)
    args = CK_C_INITIALIZE_ARGS{nullptr, nullptr, nullptr, nullptr, CKF_OS_LOCKING_OK, nullptr};
  ASSERT_CKR(CKR_OK, C_Initialize(&args));
  CK_ULONG count = 0;
  ASSERT_CKR(CKR_OK, C_GetSlotList(CK_TRUE, nullptr, &count));
  ASSERT_EQ(2u, count);
  CK_SLOT_ID slots[2] = {};
  ASSERT_CKR(CKR_OK, C_GetSlotList(CK_TRUE, slots, &count));
  // Slots are numbered in the byte order of the reader names.
  cards_[0].slotId = slots[0];
  cards_[1].slotId = slots[1];
  for (LoadCard& card : cards_) {
    MakeKeyPair(card);
    if (HasFatalFailure()) return;
  }
}

void LoadWorldTest::MakeKeyPair(LoadCard& card) {
  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  ASSERT_CKR(CKR_OK, C_OpenSession(card.slotId, kReadWrite, nullptr, nullptr, &session));
  ASSERT_CKR(CKR_OK, Login(session, CKU_USER, kUserPin));
  // CryptoPro parameter set A, the card's own.
  const std::vector<uint8_t> paramSet = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01};
  Template publicKey;
  publicKey.Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, true).Bool(CKA_VERIFY, true);
  publicKey.Bytes(CKA_GOSTR3410_PARAMS, paramSet);
  publicKey.Text(CKA_LABEL, card.keyLabel);
  Template privateKey;
  privateKey.Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, true).Bool(CKA_SIGN, true);
  privateKey.Text(CKA_LABEL, card.keyLabel);
  CK_MECHANISM mechanism{CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};
  CK_OBJECT_HANDLE publicHandle = 0;
  CK_OBJECT_HANDLE privateHandle = 0;
  ASSERT_CKR(CKR_OK, C_GenerateKeyPair(session, &mechanism, publicKey.data(), publicKey.size(),
                                       privateKey.data(), privateKey.size(), &publicHandle,
                                       &privateHandle));
  card.publicKey = ReadAttribute(session, publicHandle, CKA_VALUE);
  ASSERT_EQ(64u, card.publicKey.size());
  // Kept open, as a long-lived application keeps its session: the login
  // ends with the slot's last session, and the workers' rounds close theirs.
}

void LoadWorldTest::ExpectCardsConsistent() {
  EXPECT_EQ(0u, sim::pcsc::OpenTransactions());
  EXPECT_EQ(0u, sim::pcsc::LeakedTransactions());
  ASSERT_CKR(CKR_OK, C_Initialize(nullptr));
  CK_ULONG count = 0;
  ASSERT_CKR(CKR_OK, C_GetSlotList(CK_TRUE, nullptr, &count));
  std::vector<CK_SLOT_ID> slots(count);
  ASSERT_CKR(CKR_OK, C_GetSlotList(CK_TRUE, slots.data(), &count));
  ASSERT_EQ(2u, count);
  for (size_t i = 0; i < cards_.size(); ++i) {
    SCOPED_TRACE(cards_[i].reader);
    EXPECT_EQ(cards_[i].userPinTries, cards_[i].card->PinTriesLeft(sim::kUserPinRef).value_or(0));
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    ASSERT_CKR(CKR_OK, C_OpenSession(slots[i], kReadWrite, nullptr, nullptr, &session));
    ASSERT_CKR(CKR_OK, Login(session, CKU_USER, kUserPin));
    Template key;
    key.Ulong(CKA_CLASS, CKO_PRIVATE_KEY);
    const auto privateKeys = FindAll(session, key);
    EXPECT_EQ(2u, FindAll(session).size());
    ASSERT_EQ(1u, privateKeys.size());
    EXPECT_EQ(cards_[i].keyLabel, ReadText(session, privateKeys[0]));
    CK_MECHANISM mechanism{CKM_GOSTR3410, nullptr, 0};
    std::vector<uint8_t> hash(32, 0x5A), signature(64);
    CK_ULONG length = signature.size();
    ASSERT_CKR(CKR_OK, C_SignInit(session, &mechanism, privateKeys[0]));
    ASSERT_CKR(CKR_OK, C_Sign(session, hash.data(), hash.size(), signature.data(), &length));
    EXPECT_TRUE(sim::VerifyPkcs11GostSignature(2, cards_[i].publicKey, hash, signature));
  }
  EXPECT_CKR(CKR_OK, C_Finalize(nullptr));
  EXPECT_EQ(0u, sim::pcsc::OpenTransactions());
}

}  // namespace zorad::test
