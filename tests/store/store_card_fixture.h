// A personalised simulated card in a simulated reader, a slot connected to
// it with a Token whose area descriptors match the card, and a reader
// transaction with the card application selected: the state in which the
// store's card operations are called.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "card/token.h"
#include "reader/transaction.h"
#include "sim/card/simulated_card.h"
#include "slot/slot.h"
#include "store/object_maps.h"
#include "store/token_object.h"

namespace zorad::test {

using Bytes = std::vector<uint8_t>;

class StoreCardTest : public ::testing::Test {
 protected:
  static constexpr const char* kReaderName = "Zorad Store Reader";

  // Public area: 10 blocks of 64 bytes; private area: 5 blocks of 100.
  static sim::CardPersonalisation DefaultPersonalisation();

  void SetUp() override { Start(DefaultPersonalisation()); }
  void TearDown() override;

  // Replaces the card and starts over: connect, token, transaction, SELECT.
  void Start(const sim::CardPersonalisation& p);

  // Verifies the user PIN: the card then lets the private area be read.
  void LoginUser();

  card::ObjectCache& cache() { return slot_.token->objects; }
  store::ObjectMaps& maps() { return store::MapsOf(*slot_.token); }
  // The area file as the card holds it.
  Bytes AreaFile(bool isPrivate) const;
  // Writes into an area file behind the module's back (another process).
  void WriteArea(bool isPrivate, size_t offset, const Bytes& bytes);
  // Writes a table with a correct checksum for the given entries.
  void WriteTable(bool isPrivate, const Bytes& entries);
  // Writes a sealed header (and `body`, crc set from it) at `offs`.
  void WriteRecord(bool isPrivate, uint32_t offs, store::TokenObjectHeader header,
                   const Bytes& body);
  // Commands the card received since the last ClearLog().
  std::vector<Bytes> Commands() const { return card_->Commands(); }
  void ClearLog() { card_->ClearLog(); }

  sim::CardPersonalisation personalisation_;
  std::shared_ptr<sim::SimulatedCard> card_;
  slot::Slot slot_;
  std::unique_ptr<reader::ReaderTransaction> transaction_;
};

}  // namespace zorad::test
