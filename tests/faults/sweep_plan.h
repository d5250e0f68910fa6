// What a fault sweep learns from an operation's undisturbed run: its card
// commands, where each fault can be injected, which failures the module
// tolerates, and a summary of the outcomes to print.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "faults/fault_world.h"

namespace zorad::test::faults {

enum class FaultKind {
  kRemoved,     // the card leaves the reader at command k
  kStatus6F00,  // command k answered 6F00, not executed
  kStatus6581,  // command k answered 6581 (memory failure), not executed
  kTorn,        // UPDATE BINARY k writes half its bytes, then the card is gone
};

const char* FaultName(FaultKind kind);

// One place to inject a fault: the 1-based command index k, and for a torn
// write the 1-based count of UPDATE BINARY commands up to k and the bytes
// it keeps.
struct FaultPoint {
  size_t command = 0;
  uint32_t update = 0;
  size_t kept = 0;
};

struct CommandPlan {
  std::vector<Bytes> commands;
  // The first and last commands that change the card; commands.size() + 1
  // and 0 if none does.
  size_t firstChange = 0;
  size_t lastChange = 0;
  // Erasures of blocks freed after the table was written: a failure there
  // leaves the change complete, and the operation may report success.
  std::set<size_t> tolerated;
  // UPDATE BINARY commands that overwrite a block the starting card lists,
  // or an allocation table: torn, they may leave a record or a whole area
  // failing its checksum.
  std::set<size_t> overwritesListed;

  std::vector<FaultPoint> Points(FaultKind kind) const;
};

// Classifies the commands of an undisturbed run against the starting card.
CommandPlan PlanCommands(const std::vector<Bytes>& commands, const sim::CardState& start);

// Outcomes of one operation's sweep, printed after all tests.
struct SweepSummary {
  size_t commands = 0;
  std::map<FaultKind, size_t> points;
  std::map<FaultKind, std::map<CK_RV, size_t>> results;
};

void Record(const std::string& operation, size_t commands, FaultKind kind,
            const std::map<CK_RV, size_t>& results, size_t points);
// The table: one line per operation and fault kind.
std::string SummaryText();

}  // namespace zorad::test::faults
