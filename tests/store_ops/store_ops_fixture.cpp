#include "store_ops_fixture.h"

#include "card/apdu.h"
#include "card/token_info.h"
#include "card/token_refresh.h"
#include "reader/reader.h"
#include "reader/reader_context.h"
#include "reader/transaction.h"
#include "sim/pcsc/pcsc_double.h"
#include "store/attribute_access.h"
#include "store/object_create.h"
#include "store/object_search.h"
#include "support/ckr_names.h"
#include "trace/trace.h"

namespace zorad::test {

Bytes U32(uint32_t v) {
  return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes ParamSetOid(uint8_t n) { return {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, n}; }

AttributeList DataTemplate(const std::string& label, bool isPrivate) {
  return {{CKA_CLASS, U32(CKO_DATA)},
          {CKA_TOKEN, {1}},
          {CKA_PRIVATE, {uint8_t(isPrivate)}},
          {CKA_LABEL, Text(label)},
          {CKA_VALUE, Text("value of " + label)}};
}

AttributeList CertificateTemplate(const std::string& label, bool isPrivate) {
  return {{CKA_CLASS, U32(CKO_CERTIFICATE)},
          {CKA_TOKEN, {1}},
          {CKA_PRIVATE, {uint8_t(isPrivate)}},
          {CKA_LABEL, Text(label)},
          {CKA_CERTIFICATE_TYPE, U32(CKC_X_509)},
          {CKA_SUBJECT, Text("CN=" + label)},
          {CKA_VALUE, Bytes(100, 0x30)}};
}

AttributeList PrivateKeyTemplate(const std::string& label) {
  return {{CKA_CLASS, U32(CKO_PRIVATE_KEY)}, {CKA_KEY_TYPE, U32(CKK_GOSTR3410)},
          {CKA_TOKEN, {1}},                  {CKA_PRIVATE, {1}},
          {CKA_LABEL, Text(label)},          {CKA_SIGN, {1}}};
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

sim::CardPersonalisation StoreOpsTest::Personalisation() {
  sim::CardPersonalisation p;
  p.publicArea = {1024, 0, 16, 64};
  p.privateArea = {1024, 0, 16, 64};
  p.privateKeyRefFirst = 1;
  p.privateKeyRefLast = 4;
  p.publicKeyRefFirst = 9;
  p.publicKeyRefLast = 12;
  return p;
}

void StoreOpsTest::Start(const sim::CardPersonalisation& p) {
  if (slot_.reader) reader::CloseReader(slot_.reader.get());
  slot_.reader.reset();
  slot_.token.reset();
  reader::CloseReaderContext();
  trace::SetMask(0);
  sim::pcsc::Reset();
  personalisation_ = p;
  card_ = std::make_shared<sim::SimulatedCard>(p);
  ASSERT_EQ(SCARD_S_SUCCESS, reader::OpenReaderContext());
  ASSERT_TRUE(sim::pcsc::AddReader(kReaderName));
  ASSERT_TRUE(sim::pcsc::InsertCard(kReaderName, card_));
  ASSERT_CKR(CKR_OK, Attach(true));
  ClearLog();
}

CK_RV StoreOpsTest::Attach(bool loggedIn) { return AttachSlot(slot_, loggedIn); }

CK_RV StoreOpsTest::AttachSlot(slot::Slot& slot, bool loggedIn) {
  if (slot.reader) reader::CloseReader(slot.reader.get());
  slot.slotId = 1;
  slot.readerName = kReaderName;
  slot.loginState = slot::kNobody;
  slot.reader = reader::NewReader(kReaderName);
  slot.token = std::make_unique<card::Token>();
  if (reader::OpenReader(kReaderName, slot.reader.get()) != reader::RDR_OK) {
    return CKR_FUNCTION_FAILED;
  }
  const CK_RV rv = card::ReadTokenInfo(slot);
  if (rv != CKR_OK) return rv;
  if (loggedIn) LoginUser(slot);
  return card::RefreshToken(slot);
}

slot::Slot& StoreOpsTest::AnotherProcess() {
  other_ = std::make_unique<slot::Slot>();
  EXPECT_CKR(CKR_OK, AttachSlot(*other_, true));
  return *other_;
}

std::vector<uint32_t> StoreOpsTest::Fill(bool isPrivate, int count, const std::string& prefix) {
  std::vector<uint32_t> ids;
  for (int i = 0; i < count; ++i) {
    AttributeList object = DataTemplate(prefix + std::to_string(i), isPrivate);
    object.erase(CKA_VALUE);
    ids.push_back(Create(object));
  }
  return ids;
}

CK_RV StoreOpsTest::Reinsert(bool loggedIn) {
  card_->ClearFaults();
  sim::pcsc::RemoveCard(kReaderName);
  card_->Reinsert();
  EXPECT_TRUE(sim::pcsc::InsertCard(kReaderName, card_));
  return Attach(loggedIn);
}

void StoreOpsTest::LoginUser() { LoginUser(slot_); }

void StoreOpsTest::LoginUser(slot::Slot& slot) {
  const Bytes pin = sim::PinBlock(personalisation_.userPin);
  reader::ReaderTransaction transaction(slot.reader.get());
  ASSERT_EQ(reader::RDR_OK, transaction.Begin());
  ASSERT_EQ(reader::RDR_OK, card::APDU_SelectApp(slot.reader.get()));
  ASSERT_EQ(reader::RDR_OK, card::APDU_Verify(slot.reader.get(), card::kUserPinReference,
                                              pin.data(), pin.size()));
  slot.loginState = slot::kUser;
}

void StoreOpsTest::TearDown() {
  if (other_ && other_->reader) reader::CloseReader(other_->reader.get());
  if (slot_.reader) reader::CloseReader(slot_.reader.get());
  reader::CloseReaderContext();
  EXPECT_EQ(0u, sim::pcsc::LeakedTransactions()) << "a reader transaction was never ended";
}

uint32_t StoreOpsTest::Create(const AttributeList& object) {
  uint32_t id = 0;
  EXPECT_CKR(CKR_OK, store::CreateTokenObject(slot_, &id, object));
  EXPECT_NE(0u, id);
  return id;
}

std::pair<uint32_t, uint32_t> StoreOpsTest::GenerateKeyPair(const std::string& label) {
  uint32_t priv = 0, pub = 0;
  const AttributeList privateKey = PrivateKeyTemplate(label);
  const AttributeList publicKey = PublicKeyTemplate(label);
  EXPECT_CKR(CKR_OK, store::CreateTokenObject(slot_, &priv, privateKey, &pub, &publicKey));
  return {priv, pub};
}

AttributeList StoreOpsTest::Read(uint32_t id) {
  AttributeList out;
  if (store::GetTokenAttributeValues(slot_, id, out) != CKR_OK) return {};
  return out;
}

std::string StoreOpsTest::Label(uint32_t id) {
  const AttributeList a = Read(id);
  const auto it = a.find(CKA_LABEL);
  return it == a.end() ? std::string("<none>") : std::string(it->second.begin(), it->second.end());
}

store::TokenObject* StoreOpsTest::Object(uint32_t id) { return store::FindTokenObject(slot_, id); }

Bytes StoreOpsTest::AreaFile(bool isPrivate) const {
  return card_->FileContent(isPrivate ? card::kPrivateAreaFile : card::kPublicAreaFile);
}

Bytes StoreOpsTest::TableEntries(bool isPrivate) const {
  const auto& a = isPrivate ? personalisation_.privateArea : personalisation_.publicArea;
  const Bytes file = AreaFile(isPrivate);
  const size_t at = a.capacity + 128 + 4;
  return Bytes(file.begin() + at, file.begin() + at + a.blockCount);
}

size_t StoreOpsTest::Count(uint8_t insByte) const {
  return card_->CountCommands(sim::CommandPattern{std::nullopt, insByte});
}

}  // namespace zorad::test
