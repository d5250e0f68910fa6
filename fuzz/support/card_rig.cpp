#include "support/card_rig.h"

#include <algorithm>
#include <vector>

#include "card/apdu.h"
#include "card/area_layout.h"
#include "card/byte_order.h"
#include "card/crc32.h"
#include "reader/reader.h"
#include "reader/reader_context.h"
#include "sim/card/personalisation.h"
#include "sim/pcsc/pcsc_double.h"
#include "support/fuzz_input.h"
#include "trace/trace.h"

namespace zorad::fuzz {
namespace {

constexpr const char* kReaderName = "Zorad Fuzz Reader";

}  // namespace

const sim::CardState& DefaultCardState() {
  static const sim::CardState state = sim::Personalise(sim::CardPersonalisation{});
  return state;
}

void PutFileBytes(sim::CardState& state, uint16_t fid, size_t offset,
                  std::span<const uint8_t> bytes) {
  std::vector<uint8_t>& data = state.files[fid].data;
  if (offset >= sim::kMaxFileSize) return;
  const size_t n = std::min(bytes.size(), sim::kMaxFileSize - offset);
  if (data.size() < offset + n) data.resize(offset + n, 0);
  std::copy_n(bytes.begin(), n, data.begin() + static_cast<std::ptrdiff_t>(offset));
}

void PutAreaTable(sim::CardState& state, uint16_t fid, uint32_t capacity, uint16_t blockCount,
                  std::span<const uint8_t> table, bool seal) {
  const size_t offset = size_t{capacity} + card::kAreaTableGap;
  if (!seal) {
    PutFileBytes(state, fid, offset, table);
    return;
  }
  std::vector<uint8_t> bytes(card::kTableChecksumSize + blockCount, 0);
  const size_t n = std::min<size_t>(table.size(), blockCount);
  std::copy_n(table.begin(), n, bytes.begin() + card::kTableChecksumSize);
  card::StoreBE32(bytes.data(), card::CRC32(std::span(bytes).subspan(card::kTableChecksumSize)));
  PutFileBytes(state, fid, offset, bytes);
}

CardRig::CardRig(sim::CardState state, bool t0) {
  trace::SetMask(0);
  sim::pcsc::Reset();
  state.settings.protocol = t0 ? sim::Protocol::kT0 : sim::Protocol::kT1;
  card_ = std::make_shared<sim::SimulatedCard>(std::move(state));
  sim::pcsc::ReaderOptions options;
  options.protocol = t0 ? sim::pcsc::ReaderProtocol::kT0 : sim::pcsc::ReaderProtocol::kT1;
  Check(reader::OpenReaderContext() == SCARD_S_SUCCESS, "no PC/SC context");
  Check(sim::pcsc::AddReader(kReaderName, options), "reader not added");
  Check(sim::pcsc::InsertCard(kReaderName, card_), "card not inserted");
  slot_.readerName = kReaderName;
  slot_.reader = reader::NewReader(kReaderName);
  Check(slot_.reader != nullptr, "no reader record");
  Check(reader::OpenReader(kReaderName, slot_.reader.get()) == reader::RDR_OK, "not connected");
  slot_.token = std::make_unique<card::Token>();
}

CardRig::~CardRig() {
  transaction_.reset();
  const bool balanced = slot_.reader->transactionDepth == 0;
  reader::CloseReader(slot_.reader.get());
  reader::CloseReaderContext();
  Check(balanced && sim::pcsc::LeakedTransactions() == 0, "a reader transaction was never ended");
}

bool CardRig::BeginAndSelect() {
  transaction_ = std::make_unique<reader::ReaderTransaction>(slot_.reader.get());
  return transaction_->Begin() == reader::RDR_OK &&
         card::APDU_SelectApp(slot_.reader.get()) == reader::RDR_OK;
}

bool CardRig::LoginUser() {
  const auto pin = sim::PinBlock(sim::CardPersonalisation{}.userPin);
  if (card::APDU_Verify(slot_.reader.get(), card::kUserPinReference, pin.data(), pin.size()) !=
      reader::RDR_OK) {
    return false;
  }
  slot_.loginState = card::kUser;
  return true;
}

}  // namespace zorad::fuzz
