#include "faults/sweep_plan.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <optional>

#include "faults/operations.h"
#include "sim/card/personalisation.h"
#include "support/ckr_names.h"

namespace zorad::test::faults {
namespace {

constexpr uint8_t kSelect = 0xA4;
constexpr uint8_t kReadBinary = 0xB0;
constexpr uint8_t kUpdateBinary = 0xD6;

// Both areas of the starting card: blocks from 64 on, the table (a
// checksum, then one entry per block) at the capacity plus 128.
constexpr uint32_t kFirstBlock = 64;
struct AreaShape {
  uint32_t capacity;
  uint16_t blockCount;
  uint16_t blockSize;
  uint32_t TableOffset() const { return capacity + 128; }
};
const AreaShape kArea{StartingPersonalisation().privateArea.capacity,
                      StartingPersonalisation().privateArea.blockCount,
                      StartingPersonalisation().privateArea.blockSize};

bool Changes(const Bytes& c) {
  const uint8_t ins = c[1];
  return ins == kUpdateBinary || ins == 0x24 || ins == 0x44 || ins == 0x04 ||
         (ins == 0x46 && c[2] == 0x02);
}

uint32_t Offset(const Bytes& c) { return uint32_t{c[2]} << 8 | c[3]; }

bool AllZero(const Bytes& c) {
  return c.size() > 5 && std::all_of(c.begin() + 5, c.end(), [](uint8_t b) { return b == 0; });
}

// Whether the write at `offset` of an area file lands on its table or on a
// block the starting card lists.
bool OverwritesListed(const sim::CardState& start, uint16_t fid, uint32_t offset) {
  if (offset == kArea.TableOffset()) return true;
  if (offset < kFirstBlock) return false;
  const uint32_t block = (offset - kFirstBlock) / kArea.blockSize;
  const auto file = start.files.find(fid);
  if (block >= kArea.blockCount || file == start.files.end()) return false;
  const size_t entry = kArea.TableOffset() + 4 + block;
  return entry < file->second.data.size() && file->second.data[entry] != 0;
}

std::mutex g_mutex;
std::map<std::string, SweepSummary> g_summaries;

}  // namespace

const char* FaultName(FaultKind kind) {
  switch (kind) {
    case FaultKind::kRemoved:
      return "removed";
    case FaultKind::kStatus6F00:
      return "6F00";
    case FaultKind::kStatus6581:
      return "6581";
    case FaultKind::kTorn:
      return "torn";
  }
  return "?";
}

std::vector<FaultPoint> CommandPlan::Points(FaultKind kind) const {
  std::vector<FaultPoint> points;
  uint32_t updates = 0;
  for (size_t k = 1; k <= commands.size(); ++k) {
    const Bytes& c = commands[k - 1];
    const bool update = c[1] == kUpdateBinary;
    if (update) ++updates;
    if (kind != FaultKind::kTorn) {
      points.push_back({k, 0, 0});
    } else if (update) {
      points.push_back({k, updates, (c.size() - 5) / 2});
    }
  }
  return points;
}

CommandPlan PlanCommands(const std::vector<Bytes>& commands, const sim::CardState& start) {
  CommandPlan plan;
  plan.commands = commands;
  plan.firstChange = commands.size() + 1;
  std::optional<uint16_t> file;
  size_t lastTable = 0;
  for (size_t k = 1; k <= commands.size(); ++k) {
    const Bytes& c = commands[k - 1];
    if (Changes(c)) {
      plan.firstChange = std::min(plan.firstChange, k);
      plan.lastChange = k;
    }
    if (c[1] == kSelect && c.size() == 7) file = uint16_t(c[5] << 8 | c[6]);
    if (c[1] == kReadBinary && (c[2] & 0x80)) file = c[2] & 0x1F;
    if (c[1] != kUpdateBinary || !file) continue;
    const bool area = *file == sim::kPrivateAreaFid || *file == sim::kPublicAreaFid;
    if (area && Offset(c) == kArea.TableOffset()) lastTable = k;
    if (area && OverwritesListed(start, *file, Offset(c))) plan.overwritesListed.insert(k);
  }
  for (size_t k = lastTable + 1; lastTable != 0 && k <= commands.size(); ++k) {
    if (commands[k - 1][1] == kUpdateBinary && AllZero(commands[k - 1])) plan.tolerated.insert(k);
  }
  return plan;
}

void Record(const std::string& operation, size_t commands, FaultKind kind,
            const std::map<CK_RV, size_t>& results, size_t points) {
  std::lock_guard lock(g_mutex);
  SweepSummary& summary = g_summaries[operation];
  summary.commands = commands;
  summary.points[kind] = points;
  summary.results[kind] = results;
}

std::string SummaryText() {
  std::lock_guard lock(g_mutex);
  std::string text;
  for (const auto& [operation, summary] : g_summaries) {
    for (const auto& [kind, results] : summary.results) {
      char line[160];
      std::snprintf(line, sizeof line, "%-18s %3zu commands  %-7s %3zu points:", operation.c_str(),
                    summary.commands, FaultName(kind), summary.points.at(kind));
      text += line;
      for (const auto& [rv, count] : results) {
        text += ' ';
        text += CkrName(rv);
        text += ' ';
        text += std::to_string(count);
      }
      text += "\n";
    }
  }
  return text;
}

}  // namespace zorad::test::faults
