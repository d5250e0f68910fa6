#include "store_ops_fixture.h"

#include <algorithm>

#include "card/apdu.h"
#include "card/token.h"
#include "card/token_info.h"
#include "reader/reader.h"
#include "reader/reader_context.h"
#include "reader/transaction.h"
#include "sim/pcsc/pcsc_double.h"
#include "store/attribute_access.h"
#include "store/object_create.h"
#include "store/object_search.h"
#include "store/token_refresh.h"
#include "support/ckr_names.h"
#include "trace/trace.h"

namespace zorad::test {
namespace {

constexpr uint32_t kCapacity = 1024;

sim::CardPersonalisation Personalisation() {
  sim::CardPersonalisation p;
  p.publicArea = {kCapacity, 0, 16, 64};
  p.privateArea = {kCapacity, 0, 16, 64};
  p.privateKeyRefLast = 4;
  p.publicKeyRefFirst = 9;
  p.publicKeyRefLast = 12;
  return p;
}

void Close(slot::Slot* slot) {
  if (slot && slot->reader) reader::CloseReader(slot->reader.get());
}

}  // namespace

Bytes U32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }
Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }
Bytes ParamSetOid(uint8_t n) { return {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, n}; }

AttributeList With(AttributeList list, uint32_t type, Bytes value) {
  list[type] = std::move(value);
  return list;
}

AttributeList Without(AttributeList list, uint32_t type) {
  list.erase(type);
  return list;
}

AttributeList DataTemplate(const std::string& label, bool isPrivate) {
  return {{CKA_CLASS, U32(CKO_DATA)},
          {CKA_TOKEN, {1}},
          {CKA_PRIVATE, {uint8_t(isPrivate)}},
          {CKA_LABEL, Text(label)},
          {CKA_VALUE, Text("value of " + label)}};
}

AttributeList CertificateTemplate(const std::string& label) {
  return {{CKA_CLASS, U32(CKO_CERTIFICATE)},
          {CKA_TOKEN, {1}},
          {CKA_PRIVATE, {1}},
          {CKA_LABEL, Text(label)},
          {CKA_CERTIFICATE_TYPE, U32(CKC_X_509)},
          {CKA_SUBJECT, Text("CN=" + label)},
          {CKA_VALUE, Bytes(100, 0x30)}};
}

AttributeList PrivateKeyTemplate(const std::string& label) {
  return {{CKA_CLASS, U32(CKO_PRIVATE_KEY)},
          {CKA_KEY_TYPE, U32(CKK_GOSTR3410)},
          {CKA_TOKEN, {1}},
          {CKA_PRIVATE, {1}},
          {CKA_LABEL, Text(label)},
          {CKA_SIGN, {1}}};
}

AttributeList PublicKeyTemplate(const std::string& label) {
  return {{CKA_CLASS, U32(CKO_PUBLIC_KEY)},
          {CKA_KEY_TYPE, U32(CKK_GOSTR3410)},
          {CKA_TOKEN, {1}},
          {CKA_PRIVATE, {1}},
          {CKA_LABEL, Text(label)},
          {CKA_VERIFY, {1}},
          {CKA_GOSTR3410_PARAMS, ParamSetOid(1)}};
}

void StoreOpsTest::SetUp() {
  trace::SetMask(0);
  sim::pcsc::Reset();
  card_ = std::make_shared<sim::SimulatedCard>(Personalisation());
  ASSERT_EQ(SCARD_S_SUCCESS, reader::OpenReaderContext());
  ASSERT_TRUE(sim::pcsc::AddReader(kReaderName));
  ASSERT_TRUE(sim::pcsc::InsertCard(kReaderName, card_));
  ASSERT_CKR(CKR_OK, Attach(slot_, true));
  ClearLog();
}

void StoreOpsTest::TearDown() {
  Close(other_.get());
  Close(&slot_);
  reader::CloseReaderContext();
  EXPECT_EQ(0u, sim::pcsc::LeakedTransactions()) << "a reader transaction was never ended";
}

CK_RV StoreOpsTest::Attach(slot::Slot& slot, bool loggedIn) {
  Close(&slot);
  slot.readerName = kReaderName;
  slot.loginState = card::kNobody;
  slot.reader = reader::NewReader(kReaderName);
  slot.token = std::make_unique<card::Token>();
  if (reader::OpenReader(kReaderName, slot.reader.get()) != reader::RDR_OK) {
    return CKR_FUNCTION_FAILED;
  }
  CK_RV rv = card::ReadTokenInfo(slot);
  if (rv != CKR_OK || !loggedIn) return rv == CKR_OK ? store::RefreshToken(slot) : rv;
  const Bytes pin = sim::PinBlock(Personalisation().userPin);
  reader::ReaderTransaction transaction(slot.reader.get());
  if (transaction.Begin() != reader::RDR_OK ||
      card::APDU_SelectApp(slot.reader.get()) != reader::RDR_OK ||
      card::APDU_Verify(slot.reader.get(), card::kUserPinReference, pin.data(), pin.size()) !=
          reader::RDR_OK) {
    return CKR_FUNCTION_FAILED;
  }
  slot.loginState = card::kUser;
  return store::RefreshToken(slot);
}

CK_RV StoreOpsTest::Reinsert() {
  card_->ClearFaults();
  sim::pcsc::RemoveCard(kReaderName);
  card_->Reinsert();
  EXPECT_TRUE(sim::pcsc::InsertCard(kReaderName, card_));
  return Attach(slot_, true);
}

slot::Slot& StoreOpsTest::AnotherProcess() {
  other_ = std::make_unique<slot::Slot>();
  EXPECT_CKR(CKR_OK, Attach(*other_, true));
  return *other_;
}

store::ObjectKey StoreOpsTest::Create(const AttributeList& object) {
  store::ObjectKey id;
  EXPECT_CKR(CKR_OK, store::CreateTokenObject(slot_, &id, object));
  return id;
}

std::pair<store::ObjectKey, store::ObjectKey> StoreOpsTest::GenerateKeyPair(
    const std::string& label) {
  store::ObjectKey priv, pub;
  const AttributeList privateKey = PrivateKeyTemplate(label), publicKey = PublicKeyTemplate(label);
  EXPECT_CKR(CKR_OK, store::CreateTokenObject(slot_, &priv, privateKey, &pub, &publicKey));
  return {priv, pub};
}

std::vector<store::ObjectKey> StoreOpsTest::Fill(bool isPrivate, int count,
                                                const std::string& prefix) {
  std::vector<store::ObjectKey> ids;
  for (int i = 0; i < count; ++i) {
    ids.push_back(Create(Without(DataTemplate(prefix + std::to_string(i), isPrivate), CKA_VALUE)));
  }
  return ids;
}

AttributeList StoreOpsTest::Read(const store::ObjectKey& id) {
  AttributeList out;
  return store::GetTokenAttributeValues(slot_, id, out) == CKR_OK ? out : AttributeList{};
}

std::string StoreOpsTest::Label(const store::ObjectKey& id) {
  const AttributeList a = Read(id);
  return a.count(CKA_LABEL) ? std::string(a.at(CKA_LABEL).begin(), a.at(CKA_LABEL).end())
                            : "<none>";
}

store::TokenObject* StoreOpsTest::Object(const store::ObjectKey& id) {
  return store::FindTokenObject(slot_, id);
}

Bytes StoreOpsTest::TableEntries(bool isPrivate, size_t n) const {
  const Bytes file = card_->FileContent(isPrivate ? card::kPrivateAreaFile : card::kPublicAreaFile);
  return Bytes(file.begin() + kCapacity + 132, file.begin() + kCapacity + 132 + n);
}

bool StoreOpsTest::BlockErased(bool isPrivate, unsigned block) const {
  const Bytes file = card_->FileContent(isPrivate ? card::kPrivateAreaFile : card::kPublicAreaFile);
  const auto at = file.begin() + 64 + 64 * block;
  return std::all_of(at, at + 64, [](uint8_t b) { return b == 0; });
}

size_t StoreOpsTest::Count(uint8_t ins) const {
  return card_->CountCommands(sim::CommandPattern{std::nullopt, ins});
}

}  // namespace zorad::test
