// A card in a simulated reader and a slot record for it, as the slot table
// would build one, for the token operations that take a slot.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "card/token.h"
#include "reader/reader.h"
#include "sim/card/simulated_card.h"
#include "slot/slot.h"
#include "support/module_fixture.h"

namespace zorad::test {

// A card of another family: "file not found" to every command. Counts the
// resets that would cost its own application the PIN it verified.
class ForeignCard : public sim::CardDevice {
 public:
  std::vector<uint8_t> Atr() const override { return {0x3B, 0x02, 0x14, 0x50}; }
  void PowerOn() override {}
  void PowerOff() override {}
  void Reset() override { ++resets; }
  sim::CardAnswer Transmit(std::span<const uint8_t>) override { return {{0x6A, 0x82}}; }
  int resets = 0;
};

using MakeCard = std::function<std::shared_ptr<sim::CardDevice>()>;

template <size_t N>
std::string Field(const unsigned char (&field)[N]) {
  return std::string(reinterpret_cast<const char*>(field), N);
}
inline std::string Padded(std::string text, size_t width) {
  text.resize(width, ' ');
  return text;
}

class TokenTest : public InitializedTest {
 protected:
  static constexpr const char* kReaderName = "Token Reader";

  void SetUp() override {
    InitializedTest::SetUp();
    ASSERT_TRUE(sim::pcsc::AddReader(kReaderName));
  }
  void TearDown() override {
    if (slot_.reader) reader::CloseReader(slot_.reader.get());
    InitializedTest::TearDown();
  }

  // Puts the card in the reader (replacing any) and gives the slot a new,
  // unread token, connected when `connect` is set.
  slot::Slot& Insert(std::shared_ptr<sim::CardDevice> card, bool connect = false) {
    if (slot_.reader) reader::CloseReader(slot_.reader.get());
    sim::pcsc::RemoveCard(kReaderName);
    if (card) {
      EXPECT_TRUE(sim::pcsc::InsertCard(kReaderName, card));
    }
    slot_.slotId = 1;
    slot_.readerName = kReaderName;
    slot_.reader = reader::NewReader(kReaderName);
    slot_.token = std::make_unique<card::Token>();
    if (connect) {
      EXPECT_EQ(reader::RDR_OK, reader::OpenReader(kReaderName, slot_.reader.get()));
    }
    return slot_;
  }
  std::shared_ptr<sim::SimulatedCard> InsertCard(const sim::CardPersonalisation& p = {},
                                                 bool connect = false) {
    auto card = std::make_shared<sim::SimulatedCard>(p);
    Insert(card, connect);
    return card;
  }

  slot::Slot slot_;
};

}  // namespace zorad::test
