#include "tests/sim_pcsc/scripted_card.h"

namespace zorad::sim::pcsc::testing {

CardAnswer ScriptedCard::Transmit(std::span<const uint8_t> command) {
  commands.emplace_back(command.begin(), command.end());
  if (answers_.empty()) return CardAnswer{{0x90, 0x00}, false};
  CardAnswer answer = std::move(answers_.front());
  answers_.pop_front();
  return answer;
}

bool ScriptedCard::TakeExternalReset() {
  const bool pending = externalResetPending;
  externalResetPending = false;
  return pending;
}

}  // namespace zorad::sim::pcsc::testing
