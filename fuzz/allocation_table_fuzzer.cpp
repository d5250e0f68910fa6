// Fuzz target: area selection and the allocation table operations on a
// simulated card whose area descriptor and table come from the input,
// followed by a sequence of table operations from the input.
//
// Input:
//   byte   flags: 0x01 raw descriptor (else a derived one), 0x02 seal the
//          table, 0x04 private area (user logged in), 0x08 T=0, 0x10 area
//          file ends before the table does, 0x20 write chunk from the input
//   raw:     u32 capacity, u16 blockCount, u16 blockSize
//   derived: byte count (blockCount = 1 + count), byte size (blockSize =
//            18 + size), byte slack (capacity = blocks + 8 * slack)
//   byte   write chunk
//   chunk  table bytes (entries only when sealed)
//   then operations, each an op byte and its arguments:
//     0 create (u16 size), 1 alloc (u16 size, byte ni), 2 recreate (u16
//     size, byte ni), 3 delete (byte ni), 4 write the table and select
//     again, 5 erase the blocks freed since the snapshot, 6 select again,
//     7 take a snapshot of the table
#include <algorithm>
#include <optional>

#include "card/allocation_table.h"
#include "card/apdu.h"
#include "card/area.h"
#include "card/area_select.h"
#include "sim/card/card_state.h"
#include "store/toat.h"
#include "support/card_rig.h"
#include "support/fuzz_input.h"

namespace zorad::fuzz {
namespace {

constexpr int kMaxOperations = 64;

using Entries = std::vector<uint8_t>;

struct Setup {
  uint8_t flags = 0;
  card::AreaDescriptor area;
  uint16_t writeChunk = 255;
  std::span<const uint8_t> table;

  bool isPrivate() const { return flags & 0x04; }
  uint16_t fid() const { return isPrivate() ? sim::kPrivateAreaFid : sim::kPublicAreaFid; }
};

Setup Parse(FuzzInput& in) {
  Setup s;
  s.flags = in.Byte();
  if (s.flags & 0x01) {
    s.area.capacity = in.U32();
    s.area.blockCount = in.U16();
    s.area.blockSize = in.U16();
  } else {
    s.area.blockCount = static_cast<uint16_t>(1 + in.Byte());
    s.area.blockSize = static_cast<uint16_t>(card::kMinBlockSize + in.Byte());
    s.area.capacity = uint32_t{s.area.blockCount} * s.area.blockSize + 8u * in.Byte();
  }
  const uint8_t chunk = in.Byte();
  if (s.flags & 0x20) s.writeChunk = chunk;
  s.table = in.Chunk();
  return s;
}

sim::CardState CardFor(const Setup& s) {
  sim::CardState state = DefaultCardState();
  auto& file = state.files[s.fid()].data;
  file.clear();
  const size_t tableEnd =
      size_t{s.area.capacity} + card::kAreaTableGap + card::kTableChecksumSize + s.area.blockCount;
  // A file that ends early answers short reads and refused writes.
  file.resize(std::min(tableEnd - ((s.flags & 0x10) ? 1 : 0), sim::kMaxFileSize), 0);
  // Blocks full of something, so erasing shows.
  const size_t objectSpaceEnd = std::min<size_t>(file.size(), s.area.capacity);
  std::fill(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(objectSpaceEnd),
            uint8_t{0xA5});
  PutAreaTable(state, s.fid(), s.area.capacity, s.area.blockCount, s.table, s.flags & 0x02);
  return state;
}

Entries EntriesOf(const card::Token& token) {
  const auto e = token.objects.toat()->Entries();
  return {e.begin(), e.end()};
}

size_t Count(const Entries& e, uint8_t ni) {
  return static_cast<size_t>(std::count(e.begin(), e.end(), ni));
}

std::optional<size_t> Lowest(const Entries& e, uint8_t ni) {
  const auto it = std::find(e.begin(), e.end(), ni);
  if (it == e.end()) return std::nullopt;
  return static_cast<size_t>(it - e.begin());
}

// Only free entries became ni's, or ni's entries became free.
bool OnlyTouched(const Entries& before, const Entries& after, uint8_t ni) {
  for (size_t i = 0; i < before.size(); ++i) {
    if (before[i] == after[i]) continue;
    if (!((before[i] == 0 && after[i] == ni) || (before[i] == ni && after[i] == 0))) return false;
  }
  return true;
}

bool Covers(const Entries& e, uint8_t ni, uint32_t size, uint16_t blockSize) {
  return Count(e, ni) * blockSize >= std::max<uint32_t>(size, 1);
}

class Session {
 public:
  Session(CardRig& rig, const Setup& setup) : rig_(rig), setup_(setup) {}

  void Operate(FuzzInput& in) {
    const uint8_t op = in.Byte() % 8;
    if (op == 4) return WriteAndReselect();
    if (op == 5) return EraseFreed();
    if (op == 6) return Reselect();
    if (op == 7) return TakeSnapshot();
    const uint32_t size = op == 3 ? 0 : in.U16();
    const uint8_t ni = op == 0 ? 0 : in.Byte();
    if (!rig_.token().objects.toat()) return;
    const Entries before = EntriesOf(rig_.token());
    const uint16_t blockSize = rig_.token().objects.toat()->Layout().BlockSize();
    CK_RV rv = CKR_OK;
    if (op == 0) {
      uint8_t created = 0;
      uint16_t first = 0;
      rv = store::CreateObjectInTOAT(rig_.token(), size, created, first);
      if (rv != CKR_OK) return;
      const Entries after = EntriesOf(rig_.token());
      Check(created != 0 && Count(before, created) == 0, "create reused an object number");
      Check(Lowest(after, created) == first, "create names a first block that is not the lowest");
      Check(Covers(after, created, size, blockSize), "create allocated too little");
      Check(OnlyTouched(before, after, created), "create changed another object's blocks");
    } else if (op == 1) {
      uint16_t first = 0;
      rv = store::AllocObjectInTOAT(rig_.token(), size, ni, first);
      Check(ni != 0 || rv == CKR_GENERAL_ERROR, "object number 0 allocated");
      if (rv != CKR_OK) return;
      const Entries after = EntriesOf(rig_.token());
      Check(after[first] == ni, "alloc names a block it did not give");
      Check((Count(after, ni) - Count(before, ni)) * blockSize >= std::max<uint32_t>(size, 1),
            "alloc allocated too little");
      Check(OnlyTouched(before, after, ni), "alloc changed another object's blocks");
    } else if (op == 2) {
      std::optional<uint16_t> first;
      bool changed = false;
      rv = store::RecreateObjectInTOAT(rig_.token(), size, ni, first, changed);
      Check(ni != 0 || rv == CKR_GENERAL_ERROR, "object number 0 recreated");
      if (rv != CKR_OK) return;
      const Entries after = EntriesOf(rig_.token());
      Check(Covers(after, ni, size, blockSize), "recreate left too little");
      Check(OnlyTouched(before, after, ni), "recreate changed another object's blocks");
      // A record moved afresh may land on the blocks it had: `changed` then
      // stays set, which only costs a table write.
      Check(changed || before == after, "recreate hides a change");
      // The record starts in its lowest block: a record that did not move
      // must still start where it did.
      Check(first ? Lowest(after, ni) == first : Lowest(after, ni) == Lowest(before, ni),
            "recreate moved the record's start without saying so");
    } else {
      rv = store::DeleteObjectFromTOAT(rig_.token(), ni);
      Check(ni != 0 || rv == CKR_GENERAL_ERROR, "object number 0 deleted");
      if (rv != CKR_OK) return;
      const Entries after = EntriesOf(rig_.token());
      Check(Count(after, ni) == 0 && OnlyTouched(before, after, ni), "delete left blocks behind");
    }
    CheckFreeSpace();
  }

  void CheckFreeSpace() {
    if (!rig_.token().objects.toat()) return;
    uint32_t free = 0;
    Check(store::FreeSpaceInTOAT(rig_.token(), free) == CKR_OK, "no free space with a table");
    const auto& table = *rig_.token().objects.toat();
    Check(free == Count(EntriesOf(rig_.token()), 0) * table.Layout().BlockSize(),
          "free space does not match the free entries");
    Check(free <= table.Layout().Capacity(), "more free space than capacity");
  }

  void Reselect() {
    bool changed = false;
    const CK_RV rv = card::SelectArea(rig_.slot(), setup_.isPrivate(), &changed);
    if (rv != CKR_OK) {
      Check(rig_.token().objects.objectsStale, "a failed selection left the objects fresh");
      return;
    }
    CheckFreeSpace();
  }

 private:
  void WriteAndReselect() {
    if (!rig_.token().objects.toat()) return;
    if (card::UpdateTOAT(rig_.slot()) != CKR_OK) return;
    const Entries written = EntriesOf(rig_.token());
    bool changed = true;
    Check(card::SelectArea(rig_.slot(), setup_.isPrivate(), &changed) == CKR_OK,
          "a table just written does not read back");
    Check(EntriesOf(rig_.token()) == written, "the table read back differs");
    // An area without blocks has no table to read: its checksum bytes are
    // not read back, so only a table with entries can say it is unchanged.
    Check(!changed || written.empty(), "a table read back counts as changed");
  }

  void TakeSnapshot() {
    if (rig_.token().objects.toat()) snapshot_ = rig_.token().objects.toat();
  }

  void EraseFreed() {
    if (!snapshot_ || !rig_.token().objects.toat()) return;
    if (card::ClearBlocksByTOAT(rig_.slot(), *snapshot_) != CKR_OK) return;
    const auto& table = *rig_.token().objects.toat();
    const auto before = snapshot_->Entries();
    const auto now = table.Entries();
    const auto file = rig_.card().FileContent(setup_.fid());
    for (size_t i = 0; i < now.size() && i < before.size(); ++i) {
      if (before[i] == 0 || now[i] != 0) continue;
      const size_t at = table.Layout().BlockOffset(static_cast<uint32_t>(i));
      const size_t end = at + table.Layout().BlockSize();
      Check(end <= file.size() && std::all_of(file.begin() + at, file.begin() + end,
                                              [](uint8_t b) { return b == 0; }),
            "a freed block was not erased");
    }
  }

  CardRig& rig_;
  const Setup& setup_;
  std::optional<card::AllocationTable> snapshot_;
};

void Run(const Setup& setup, FuzzInput& in) {
  CardRig rig(CardFor(setup), setup.flags & 0x08);
  card::Token& token = rig.token();
  token.info.writeChunk = setup.writeChunk;
  token.info.*card::InfoOf(card::AreaOf(setup.isPrivate())).descriptor = setup.area;
  if (!rig.BeginAndSelect()) return;
  if (setup.isPrivate() && !rig.LoginUser()) return;
  Session session(rig, setup);
  session.Reselect();
  const bool usable = card::LayoutOf(token, card::AreaOf(setup.isPrivate())).has_value();
  Check(usable || !token.objects.toat(), "a table held for an unusable descriptor");
  for (int i = 0; i < kMaxOperations && !in.empty(); ++i) session.Operate(in);
}

}  // namespace
}  // namespace zorad::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zorad::fuzz;
  FuzzInput in(data, size);
  const Setup setup = Parse(in);
  Run(setup, in);
  return 0;
}
