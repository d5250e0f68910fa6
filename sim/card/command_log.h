// The simulated card's record of every exchange, in order.
#pragma once

#include <cstdint>
#include <vector>

namespace zorad::sim {

struct Exchange {
  std::vector<uint8_t> command;
  std::vector<uint8_t> answer;  // data + SW1 SW2; empty when the card was gone
  bool cardRemoved = false;     // the card was (or went) out of the reader
};

}  // namespace zorad::sim
