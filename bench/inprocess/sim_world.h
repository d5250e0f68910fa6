// The module linked into the benchmark program, talking to the PC/SC double:
// one simulated reader holding one simulated card, the module initialised
// through its own function list.
#pragma once

#include <memory>

#include "common/p11_client.h"
#include "inprocess/card_census.h"
#include "sim/card/personalisation.h"
#include "sim/card/simulated_card.h"

namespace zorad::bench {

// The default card with a public area of 251 blocks of 64 bytes: room for 250
// objects of one block, a table that reads in one command and is written in
// one (251 entries + 4 checksum bytes = 255 bytes).
sim::CardPersonalisation BenchPersonalisation();

class SimWorld {
 public:
  explicit SimWorld(const sim::CardPersonalisation& personalisation = BenchPersonalisation());
  ~SimWorld();
  SimWorld(const SimWorld&) = delete;
  SimWorld& operator=(const SimWorld&) = delete;

  Client& client() { return client_; }
  sim::SimulatedCard& card() { return *card_; }
  CardCensus Census() const { return TakeCensus(*card_, personalisation_); }

 private:
  sim::CardPersonalisation personalisation_;
  std::shared_ptr<sim::SimulatedCard> card_;
  Client client_;
};

// The module's function list (the module is linked in).
CK_FUNCTION_LIST* LinkedModule();

// Finalises the linked module however often it was initialised.
void FinalizeLinkedModule();

}  // namespace zorad::bench
