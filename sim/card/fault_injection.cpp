#include "sim/card/fault_injection.h"

#include <algorithm>

namespace zorad::sim {
namespace {

bool IsUpdateBinary(std::span<const uint8_t> command) {
  return command.size() >= 2 && (command[0] & 0xEF) == 0x00 && command[1] == 0xD6;
}

// Counts one command down on every entry; returns whether one reached zero
// (and drops it, so that it fires once).
template <typename T, typename Counter>
std::optional<T> Tick(std::vector<T>& items, Counter counter) {
  std::optional<T> fired;
  for (T& item : items) {
    uint32_t& left = counter(item);
    if (left > 0 && --left == 0 && !fired) fired = item;
  }
  std::erase_if(items, [&](T& item) { return counter(item) == 0; });
  return fired;
}

}  // namespace

bool CommandPattern::Matches(std::span<const uint8_t> command) const {
  if (cla && (command.empty() || command[0] != *cla)) return false;
  if (ins && (command.size() < 2 || command[1] != *ins)) return false;
  return true;
}

void FaultInjector::AnswerAt(uint32_t n, uint16_t sw) {
  if (n > 0) answers_.push_back({n, sw});
}

void FaultInjector::AnswerMatching(CommandPattern pattern, uint16_t sw) {
  patterns_.push_back({pattern, sw});
}

void FaultInjector::RemoveAt(uint32_t n) {
  if (n > 0) removals_.push_back(n);
}

void FaultInjector::TearWriteAt(uint32_t n, size_t bytesKept, TearEnd end) {
  if (n > 0) tears_.push_back({n, bytesKept, end});
}

void FaultInjector::Clear() {
  answers_.clear();
  patterns_.clear();
  removals_.clear();
  tears_.clear();
}

FaultDecision FaultInjector::OnCommand(std::span<const uint8_t> command) {
  FaultDecision decision;
  auto removal = Tick(removals_, [](uint32_t& left) -> uint32_t& { return left; });
  auto answer = Tick(answers_, [](NumberedAnswer& a) -> uint32_t& { return a.left; });
  std::optional<Tear> tear;
  if (IsUpdateBinary(command)) tear = Tick(tears_, [](Tear& t) -> uint32_t& { return t.writesLeft; });

  if (removal) {
    decision.kind = FaultDecision::Kind::kRemove;
  } else if (answer) {
    decision.kind = FaultDecision::Kind::kAnswer;
    decision.sw = answer->sw;
  } else if (auto it = std::find_if(patterns_.begin(), patterns_.end(),
                                    [&](const PatternAnswer& p) { return p.pattern.Matches(command); });
             it != patterns_.end()) {
    decision.kind = FaultDecision::Kind::kAnswer;
    decision.sw = it->sw;
  } else if (tear) {
    decision.kind = FaultDecision::Kind::kTear;
    decision.bytesKept = tear->kept;
    decision.tearEnd = tear->end;
  }
  return decision;
}

}  // namespace zorad::sim
