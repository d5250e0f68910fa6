#include "signing/card_slot_fixture.h"

#include <cstdio>

#include "card/apdu.h"
#include "card/byte_order.h"
#include "card/crc32.h"
#include "card/token.h"
#include "reader/reader.h"
#include "reader/transaction.h"
#include "sim/card/gost_crypto.h"
#include "sim/pcsc/pcsc_double.h"
#include "slot/slot_token.h"
#include "store/token_object.h"
#include "store/token_refresh.h"

namespace zorad::test {

std::string HexText(const Bytes& bytes) {
  std::string text;
  for (size_t i = 0; i < bytes.size(); ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : " %02X", bytes[i]);
    text += hex;
  }
  return text;
}

Bytes HexBytes(const std::string& text) {
  Bytes bytes;
  std::string digits;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
  }
  for (size_t i = 0; i + 1 < digits.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

void CardSlotTest::SetUp() {
  InitializedTest::SetUp();
  ASSERT_TRUE(sim::pcsc::AddReader(kReaderName));
}

void CardSlotTest::TearDown() {
  if (slot_.reader) reader::CloseReader(slot_.reader.get());
  slot_.token.reset();
  InitializedTest::TearDown();
}

void CardSlotTest::InsertCard(const sim::CardPersonalisation& p) {
  personalisation_ = p;
  card_ = std::make_shared<sim::SimulatedCard>(p);
  ASSERT_TRUE(sim::pcsc::InsertCard(kReaderName, card_));
}

slot::Slot& CardSlotTest::EmptySlot() {
  if (slot_.reader) reader::CloseReader(slot_.reader.get());
  slot_.slotId = 1;
  slot_.readerName = kReaderName;
  slot_.reader = reader::NewReader(kReaderName);
  slot_.token.reset();
  slot_.loginState = card::kNobody;
  return slot_;
}

void CardSlotTest::AttachToken() {
  slot::Slot& slot = EmptySlot();
  ASSERT_CKR(CKR_OK, slot::InsertToken(slot, true));
  ASSERT_CKR(CKR_OK, store::RefreshToken(slot));
}

void CardSlotTest::LoginUser() {
  {
    reader::ReaderTransaction transaction(slot_.reader.get());
    ASSERT_EQ(reader::RDR_OK, transaction.Begin());
    ASSERT_EQ(reader::RDR_OK, card::APDU_SelectApp(slot_.reader.get()));
    const Bytes pin = sim::PinBlock(personalisation_.userPin);
    ASSERT_EQ(reader::RDR_OK, card::APDU_Verify(slot_.reader.get(), card::kUserPinReference,
                                                pin.data(), pin.size()));
  }
  slot_.loginState = card::kUser;
  ASSERT_CKR(CKR_OK, store::RefreshToken(slot_));
}

void CardSlotTest::PutKeyPair(uint8_t keyRef) {
  sim::CardState state = card_->State();
  const auto pair =
      sim::GenerateGostKeyPair(sim::GostCurveForParamSet(state.settings.gostParamSet));
  ASSERT_TRUE(pair.has_value());
  state.keys[keyRef] = sim::KeySlot{pair->privateKey, pair->publicKey};
  card_->ReplaceState(state);
}

void CardSlotTest::WriteKeyObject(bool isPrivate, uint16_t block, uint8_t ni, uint32_t id,
                                  uint8_t keyRef, uint16_t updateCount) {
  const sim::AreaDescriptor& area =
      isPrivate ? personalisation_.privateArea : personalisation_.publicArea;
  const uint16_t fid = isPrivate ? card::kPrivateAreaFile : card::kPublicAreaFile;
  store::TokenObjectHeader header;
  header.keyRef = keyRef;
  header.id = id;
  header.updateCount = updateCount;
  header.size = 0;
  header.crc = card::CRC32({});
  header.Seal();
  const auto encoded = header.Encode();
  card_->WriteFile(fid, 64 + size_t{block} * area.blockSize, Bytes(encoded.begin(), encoded.end()));

  const size_t tableOffset = size_t{area.capacity} + 128;
  Bytes table = card_->FileContent(fid);
  table = Bytes(table.begin() + tableOffset, table.begin() + tableOffset + 4 + area.blockCount);
  table[4 + block] = ni;
  card::StoreBE32(table.data(), card::CRC32(std::span(table).subspan(4)));
  card_->WriteFile(fid, tableOffset, table);
}

Bytes CardSlotTest::PublicKeyValue(uint8_t keyRef) const {
  const sim::CardState state = card_->State();
  const auto value = sim::SwapPublicKeyHalves(*state.keys.at(keyRef).publicKey);
  return Bytes(value.begin(), value.end());
}

std::vector<std::string> CardSlotTest::CommandTexts() const {
  std::vector<std::string> texts;
  for (const Bytes& command : card_->Commands()) texts.push_back(HexText(command));
  return texts;
}

}  // namespace zorad::test
