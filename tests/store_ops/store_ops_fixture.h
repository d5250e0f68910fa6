// A personalised simulated card in a simulated reader and a slot with its
// token read and its object lists refreshed, as a session would find it:
// the state in which the object operations are called. Templates use the
// card's 4-byte integer form.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "card/token.h"
#include "sim/card/simulated_card.h"
#include "slot/slot.h"
#include "store/token_object.h"

namespace zorad::test {

using Bytes = std::vector<uint8_t>;
using store::AttributeList;

inline constexpr bool kPublic = false;
inline constexpr bool kPrivate = true;

Bytes U32(uint32_t v);  // 4 bytes, little-endian
Bytes Text(const std::string& text);
// DER of 1.2.643.2.2.35.n: n 1 is the card's set 2, n 2 its set 1.
Bytes ParamSetOid(uint8_t n);

AttributeList DataTemplate(const std::string& label, bool isPrivate);
AttributeList CertificateTemplate(const std::string& label, bool isPrivate);
AttributeList PrivateKeyTemplate(const std::string& label);  // generation: no value
AttributeList PublicKeyTemplate(const std::string& label);   // with the token's set

// Members are public so that table-driven scenarios can drive the fixture.
class StoreOpsTest : public ::testing::Test {
 public:
  static constexpr const char* kReaderName = "Zorad Object Reader";

  // Both areas: 16 blocks of 64 bytes; key references 1-4 and 9-12.
  static sim::CardPersonalisation Personalisation();

  void SetUp() override { Start(Personalisation()); }
  void TearDown() override;

  // A new card with these parameters in the reader, the slot attached.
  void Start(const sim::CardPersonalisation& p);
  // Builds the slot afresh against the card now in the reader: connect,
  // read the token, log in when `loggedIn`, refresh the object lists.
  // Returns the refresh result (the card readable or not).
  CK_RV Attach(bool loggedIn);
  // The card goes back into the reader after a cut, and is attached again.
  CK_RV Reinsert(bool loggedIn);
  void LoginUser();
  // A slot of another process on the same card, attached and logged in;
  // closed when the test ends.
  slot::Slot& AnotherProcess();
  // One-block data objects labelled prefix0, prefix1, ...; their ids.
  std::vector<uint32_t> Fill(bool isPrivate, int count, const std::string& prefix = "f");

  // Creation that must succeed; the new id.
  uint32_t Create(const AttributeList& object);
  // Generation that must succeed; {private id, public id}.
  std::pair<uint32_t, uint32_t> GenerateKeyPair(const std::string& label);
  // The attributes as the card gives them now (empty on failure).
  AttributeList Read(uint32_t id);
  std::string Label(uint32_t id);

  store::ObjectCache& cache() { return slot_.token->objects; }
  store::TokenObject* Object(uint32_t id);
  Bytes AreaFile(bool isPrivate) const;
  Bytes TableEntries(bool isPrivate) const;  // the card's table entries
  std::vector<Bytes> Commands() const { return card_->Commands(); }
  size_t Count(uint8_t ins) const;
  void ClearLog() { card_->ClearLog(); }

  sim::CardPersonalisation personalisation_;
  std::shared_ptr<sim::SimulatedCard> card_;
  slot::Slot slot_;
  std::unique_ptr<slot::Slot> other_;

 private:
  CK_RV AttachSlot(slot::Slot& slot, bool loggedIn);
  void LoginUser(slot::Slot& slot);
};

// INS bytes of the card commands the store sends.
namespace ins {
inline constexpr uint8_t kSelect = 0xA4;
inline constexpr uint8_t kRead = 0xB0;
inline constexpr uint8_t kUpdate = 0xD6;
inline constexpr uint8_t kChallenge = 0x84;
inline constexpr uint8_t kKeyPair = 0x46;
inline constexpr uint8_t kChangeRef = 0x24;
inline constexpr uint8_t kSerial = 0xFE;
}  // namespace ins

}  // namespace zorad::test
