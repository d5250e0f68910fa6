#include "store_card_fixture.h"

#include "card/apdu.h"
#include "card/byte_order.h"
#include "card/crc32.h"
#include "reader/reader.h"
#include "reader/reader_context.h"
#include "sim/pcsc/pcsc_double.h"
#include "trace/trace.h"

namespace zorad::test {
namespace {

uint16_t FileOf(bool isPrivate) { return isPrivate ? card::kPrivateAreaFile : card::kPublicAreaFile; }

card::AreaDescriptor Descriptor(const sim::AreaDescriptor& a) {
  return {a.capacity, a.reserved, a.blockCount, a.blockSize};
}

}  // namespace

sim::CardPersonalisation StoreCardTest::DefaultPersonalisation() {
  sim::CardPersonalisation p;
  p.publicArea = {640, 0, 10, 64};
  p.privateArea = {500, 0, 5, 100};
  p.writeChunk = 100;
  return p;
}

void StoreCardTest::Start(const sim::CardPersonalisation& p) {
  transaction_.reset();
  slot_.reader.reset();
  reader::CloseReaderContext();
  trace::SetMask(0);
  sim::pcsc::Reset();
  personalisation_ = p;
  card_ = std::make_shared<sim::SimulatedCard>(p);
  ASSERT_EQ(SCARD_S_SUCCESS, reader::OpenReaderContext());
  ASSERT_TRUE(sim::pcsc::AddReader(kReaderName));
  ASSERT_TRUE(sim::pcsc::InsertCard(kReaderName, card_));
  slot_.readerName = kReaderName;
  slot_.reader = reader::NewReader(kReaderName);
  ASSERT_EQ(reader::RDR_OK, reader::OpenReader(kReaderName, slot_.reader.get()));
  slot_.token = std::make_unique<card::Token>();
  slot_.token->info.writeChunk = p.writeChunk;
  slot_.token->info.publicArea = Descriptor(p.publicArea);
  slot_.token->info.privateArea = Descriptor(p.privateArea);
  transaction_ = std::make_unique<reader::ReaderTransaction>(slot_.reader.get());
  ASSERT_EQ(reader::RDR_OK, transaction_->Begin());
  ASSERT_EQ(reader::RDR_OK, card::APDU_SelectApp(slot_.reader.get()));
  card_->ClearLog();
}

void StoreCardTest::TearDown() {
  transaction_.reset();
  if (slot_.reader) reader::CloseReader(slot_.reader.get());
  reader::CloseReaderContext();
  EXPECT_EQ(0u, sim::pcsc::LeakedTransactions()) << "a reader transaction was never ended";
}

void StoreCardTest::LoginUser() {
  const Bytes pin = sim::PinBlock(personalisation_.userPin);
  ASSERT_EQ(reader::RDR_OK, card::APDU_Verify(slot_.reader.get(), card::kUserPinReference,
                                              pin.data(), pin.size()));
  slot_.loginState = card::kUser;
}

Bytes StoreCardTest::AreaFile(bool isPrivate) const { return card_->FileContent(FileOf(isPrivate)); }

void StoreCardTest::WriteArea(bool isPrivate, size_t offset, const Bytes& bytes) {
  card_->WriteFile(FileOf(isPrivate), offset, bytes);
}

void StoreCardTest::WriteTable(bool isPrivate, const Bytes& entries) {
  const auto& a = isPrivate ? personalisation_.privateArea : personalisation_.publicArea;
  Bytes table(4);
  card::StoreBE32(table.data(), card::CRC32(entries));
  table.insert(table.end(), entries.begin(), entries.end());
  WriteArea(isPrivate, a.capacity + 128, table);
}

void StoreCardTest::WriteRecord(bool isPrivate, uint32_t offs, store::TokenObjectHeader header,
                                const Bytes& body) {
  header.size = static_cast<uint16_t>(body.size());
  header.crc = card::CRC32(body);
  header.Seal();
  const auto h = header.Encode();
  Bytes record(h.begin(), h.end());
  record.insert(record.end(), body.begin(), body.end());
  WriteArea(isPrivate, offs, record);
}

}  // namespace zorad::test
