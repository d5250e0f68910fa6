// A card conversation as the benchmark counts it: each command's kind and
// the bytes it put on the wire in each direction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "sim/card/command_log.h"

namespace zorad::bench {

struct CardExchange {
  std::string kind;  // "SELECT app", "READ BINARY", ...
  size_t sent = 0;
  size_t received = 0;
};

using Conversation = std::vector<CardExchange>;

struct Totals {
  size_t commands = 0;
  size_t sent = 0;
  size_t received = 0;
};

// The command's kind from its instruction (and, where one instruction
// serves several purposes, its P1).
std::string KindOf(std::span<const uint8_t> command);

Conversation FromCardLog(const std::vector<sim::Exchange>& log);
Totals Sum(const Conversation& conversation);

// Kinds sent more or less often than needed, e.g. "+1 SELECT app"; empty
// when the kinds and their counts agree.
std::string Difference(const Conversation& measured, const Conversation& needed);

}  // namespace zorad::bench
