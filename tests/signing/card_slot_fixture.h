// A personalised simulated card in a simulated reader, and a slot record for
// that reader as the slot table builds one: the state in which the token
// operations of signing and initialisation are called. Shared by the
// signing and the administration tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/card/personalisation.h"
#include "sim/card/simulated_card.h"
#include "slot/slot.h"
#include "support/module_fixture.h"

namespace zorad::test {

using Bytes = std::vector<uint8_t>;

// "00 A4 04 0C" style text of bytes, for readable command comparisons.
std::string HexText(const Bytes& bytes);
Bytes HexBytes(const std::string& text);

class CardSlotTest : public InitializedTest {
 protected:
  static constexpr const char* kReaderName = "Zorad Keys Reader";

  void SetUp() override;
  void TearDown() override;

  // Puts a card with these parameters into the reader.
  void InsertCard(const sim::CardPersonalisation& p = {});
  // The slot for the reader, without a token: as the slot table holds it
  // before a card is attached.
  slot::Slot& EmptySlot();
  // Attaches the card as the slot's token: token information and public
  // objects read.
  void AttachToken();
  // Verifies the user PIN on the card and reads the private objects too.
  void LoginUser();

  // A GOST key pair generated into the card's key slot `keyRef`.
  void PutKeyPair(uint8_t keyRef);
  // A key object record (header only, empty body) in block `block` of an
  // area, owned by table entry `ni`, behind the module's back.
  void WriteKeyObject(bool isPrivate, uint16_t block, uint8_t ni, uint32_t id, uint8_t keyRef,
                      uint16_t updateCount = 0);
  // The card's public key of a key slot in the PKCS#11 CKA_VALUE form.
  Bytes PublicKeyValue(uint8_t keyRef) const;

  std::vector<Bytes> Commands() const { return card_->Commands(); }
  std::vector<std::string> CommandTexts() const;
  void ClearLog() { card_->ClearLog(); }

  sim::CardPersonalisation personalisation_;
  std::shared_ptr<sim::SimulatedCard> card_;
  slot::Slot slot_;
};

}  // namespace zorad::test
