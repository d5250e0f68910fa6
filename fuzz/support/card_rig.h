// A simulated card in a simulated reader and a slot connected to it, as the
// token and store operations find them: one rig per fuzz input, so that no
// input sees what an earlier one left behind.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "card/token.h"
#include "reader/transaction.h"
#include "sim/card/card_state.h"
#include "sim/card/simulated_card.h"
#include "slot/slot.h"

namespace zorad::fuzz {

// The default personalised card (see sim::CardPersonalisation), made once.
const sim::CardState& DefaultCardState();

// Puts `bytes` into the card's file at `offset`, growing the file as far as
// the card's largest file size (a missing file is created); what lies
// beyond is dropped.
void PutFileBytes(sim::CardState& state, uint16_t fid, size_t offset,
                  std::span<const uint8_t> bytes);

// An area's allocation table at capacity + 128: `table` as the checksum and
// entry bytes, or, when `seal`, `blockCount` entries taken from `table`
// (zero-filled) behind their correct checksum.
void PutAreaTable(sim::CardState& state, uint16_t fid, uint32_t capacity, uint16_t blockCount,
                  std::span<const uint8_t> table, bool seal);

class CardRig {
 public:
  // A fresh PC/SC world holding the card, and a slot connected to it whose
  // token record is empty. `t0` runs card and reader under T=0.
  explicit CardRig(sim::CardState state, bool t0 = false);
  // Disconnects; a reader transaction left open or dropped is a failure.
  ~CardRig();
  CardRig(const CardRig&) = delete;
  CardRig& operator=(const CardRig&) = delete;

  slot::Slot& slot() { return slot_; }
  card::Token& token() { return *slot_.token; }
  sim::SimulatedCard& card() { return *card_; }

  // Begins a reader transaction held until End() or the rig's end, and
  // selects the card application. False when either is refused.
  bool BeginAndSelect();
  void End() { transaction_.reset(); }
  // Verifies the user PIN and marks the slot logged in: the private area
  // becomes readable.
  bool LoginUser();

 private:
  std::shared_ptr<sim::SimulatedCard> card_;
  slot::Slot slot_;
  std::unique_ptr<reader::ReaderTransaction> transaction_;
};

}  // namespace zorad::fuzz
