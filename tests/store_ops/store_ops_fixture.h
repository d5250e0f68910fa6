// A simulated card in a simulated reader and a slot whose token is read and
// whose object lists are refreshed, as a session finds it. Templates use
// the card's 4-byte integer form. Members are public so that table-driven
// scenarios can drive the fixture.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "card/token.h"
#include "sim/card/simulated_card.h"
#include "slot/slot.h"
#include "store/object_maps.h"
#include "store/token_object.h"

namespace zorad::test {

using Bytes = std::vector<uint8_t>;
using store::AttributeList;

inline constexpr bool kPublic = false;
inline constexpr bool kPrivate = true;
inline constexpr uint8_t kUpdate = 0xD6;   // UPDATE BINARY, also the erasure
inline constexpr uint8_t kKeyPair = 0x46;  // GENERATE KEY PAIR

Bytes U32(uint32_t v);  // 4 bytes, little-endian
Bytes Text(const std::string& text);
Bytes ParamSetOid(uint8_t n);  // 1.2.643.2.2.35.n: n 1 is the card's set 2
AttributeList With(AttributeList list, uint32_t type, Bytes value);
AttributeList Without(AttributeList list, uint32_t type);

AttributeList DataTemplate(const std::string& label, bool isPrivate);  // with a value
AttributeList CertificateTemplate(const std::string& label);           // private, 3 blocks
AttributeList PrivateKeyTemplate(const std::string& label);            // generation
AttributeList PublicKeyTemplate(const std::string& label);             // the token's set

class StoreOpsTest : public ::testing::Test {
 public:
  static constexpr const char* kReaderName = "Zorad Object Reader";

  // Both areas 16 blocks of 64 bytes (table at 1152); key references 1-4
  // (private) and 9-12 (public). The user is logged in.
  void SetUp() override;
  void TearDown() override;

  // Builds `slot` afresh against the card in the reader: connect, read the
  // token, log in when asked, refresh the object lists (its result).
  CK_RV Attach(slot::Slot& slot, bool loggedIn);
  // The card back in the reader after a cut, attached again.
  CK_RV Reinsert();
  // Another process's slot on the same card, logged in.
  slot::Slot& AnotherProcess();

  store::ObjectKey Create(const AttributeList& object);  // must succeed
  std::pair<store::ObjectKey, store::ObjectKey> GenerateKeyPair(const std::string& label);
  // One-block data objects labelled prefix0, prefix1, ...
  std::vector<store::ObjectKey> Fill(bool isPrivate, int count, const std::string& prefix = "f");
  AttributeList Read(const store::ObjectKey& key);  // fresh from the card; empty on failure
  std::string Label(const store::ObjectKey& key);

  card::ObjectCache& cache() { return slot_.token->objects; }
  store::ObjectMaps& maps() { return store::MapsOf(*slot_.token); }
  store::TokenObject* Object(const store::ObjectKey& key);
  Bytes TableEntries(bool isPrivate, size_t n = 16) const;  // the first n, as on the card
  bool BlockErased(bool isPrivate, unsigned block) const;
  std::vector<Bytes> Commands() const { return card_->Commands(); }
  size_t Count(uint8_t ins) const;
  void ClearLog() { card_->ClearLog(); }

  std::shared_ptr<sim::SimulatedCard> card_;
  slot::Slot slot_;
  std::unique_ptr<slot::Slot> other_;
};

}  // namespace zorad::test
