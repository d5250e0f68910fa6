#include "slot/slot_table.h"

#include <algorithm>
#include <string>
#include <vector>

#include "card/token.h"
#include "platform/text_field.h"
#include "reader/reader.h"
#include "reader/reader_context.h"
#include "slot/slot_queries.h"
#include "slot/slot_sync.h"
#include "slot/slot_token.h"
#include "trace/trace.h"

namespace zorad::slot {
namespace {

using reader::ReaderResult;

SlotMap g_slots;
// The last slot ID handed out. Never reset: IDs stay unique for the life
// of the loaded module.
uint32_t g_lastSlotId = 0;

// A list that keeps growing between the size query and the read is asked
// for again, but not forever.
constexpr int kListAttempts = 8;

uint32_t NextSlotId() {
  uint32_t id = g_lastSlotId + 1;
  while (id == 0 || g_slots.count(id) != 0) ++id;
  g_lastSlotId = id;
  return id;
}

// The names of a multi-string: zero-terminated names ended by an empty
// one. Nothing beyond `length` is read, terminated or not.
std::vector<std::string> SplitReaderNames(const std::vector<char>& buffer, size_t length) {
  std::vector<std::string> names;
  const auto end = buffer.begin() + static_cast<std::ptrdiff_t>(std::min(length, buffer.size()));
  for (auto name = buffer.begin(); name < end;) {
    const auto terminator = std::find(name, end, '\0');
    if (terminator == name) break;
    names.emplace_back(name, terminator);
    name = terminator == end ? end : terminator + 1;
  }
  return names;
}

// Both calls of the reader list: its size, then its content.
ReaderResult ListReaders(std::vector<std::string>& names) {
  ReaderResult result = reader::RDR_FAILED;
  for (int attempt = 0; attempt < kListAttempts; ++attempt) {
    ZORAD_TRACE(trace::kOperations, "ListReaders\n");
    const SCARDCONTEXT context = reader::ReaderContext();
    if (context == 0) return reader::MissingContext();
    DWORD length = 0;
    result = reader::MapSCardError(platform::ScardListReaders(context, nullptr, &length));
    if (result != reader::RDR_OK) return result;
    std::vector<char> buffer(static_cast<size_t>(length) + 1, '\0');
    ZORAD_TRACE(trace::kOperations, "ListReaders\n");
    result = reader::MapSCardError(platform::ScardListReaders(context, buffer.data(), &length));
    if (result == reader::RDR_BUFFER_TOO_SMALL) continue;
    if (result != reader::RDR_OK) return result;
    names = SplitReaderNames(buffer, std::min<size_t>(length, buffer.size() - 1));
    return result;
  }
  return result;
}

// A context lost while the service was stopped is established again at the
// next reader list; without this the module would never reach the service
// again. The reader layer makes none while the module holds none (before
// C_Initialize, after C_Finalize): it would never be released.
void EnsureReaderContext() {
  if (reader::ReaderContext() == 0) reader::ReopenReaderContext();
}

void DescribeSlot(Slot& slot, uint32_t version) {
  slot.info.flags |= CKF_REMOVABLE_DEVICE | CKF_HW_SLOT;
  const CK_VERSION v = {static_cast<CK_BYTE>(version >> 24), static_cast<CK_BYTE>(version >> 16)};
  slot.info.hardwareVersion = v;
  slot.info.firmwareVersion = v;
}

// A new slot for a reader listed for the first time; it is a pending event
// until the application is told. CKR_FUNCTION_FAILED when the reader's
// version cannot be read (the slot stays, with version 0).
CK_RV AddSlot(const std::string& name, uint32_t& slotId) {
  auto slot = std::make_unique<Slot>();
  slot->readerName = name;
  slot->reader = reader::NewReader(name.c_str());
  if (!slot->reader) return CKR_HOST_MEMORY;
  slot->loginState = card::kNobody;
  slot->flags = kReaderPresent;
  slot->reportedFlags = 0;
  slot->info = CK_SLOT_INFO{};
  platform::CopyBlankPadded(slot->info.slotDescription, name.c_str());
  slotId = NextSlotId();
  slot->slotId = slotId;
  Slot& added = *slot;
  g_slots.emplace(slotId, std::move(slot));

  uint32_t version = 0;
  uint8_t vendor[sizeof added.info.manufacturerID] = {};
  size_t vendorLength = sizeof vendor;
  const ReaderResult read =
      reader::GetVersion(added.reader.get(), name.c_str(), vendor, &vendorLength, &version);
  if (read != reader::RDR_OK) {
    RecoverFromReaderError(read);
    version = 0;
  }
  platform::CopyBlankPadded(added.info.manufacturerID, vendor, vendorLength);
  DescribeSlot(added, version);
  return read == reader::RDR_OK ? CKR_OK : CKR_FUNCTION_FAILED;
}

}  // namespace

SlotMap& Slots() { return g_slots; }

Slot* FindSlot(CK_SLOT_ID slotId) {
  if (slotId > UINT32_MAX) return nullptr;
  const auto it = g_slots.find(static_cast<uint32_t>(slotId));
  return it == g_slots.end() ? nullptr : it->second.get();
}

CK_RV SyncSlots() {
  ZORAD_TRACE(trace::kOperations, "SyncSlots\n");
  EnsureReaderContext();
  std::vector<std::string> names;
  const ReaderResult listed = ListReaders(names);
  if (listed != reader::RDR_OK) {
    ZORAD_TRACE(trace::kSteps, "...ListReaders: %x\n", static_cast<unsigned>(listed));
    RecoverFromReaderError(listed);
    const bool noReaders = listed == reader::RDR_NO_READERS || listed == reader::RDR_NO_SERVICE;
    return noReaders ? CKR_OK : CKR_FUNCTION_FAILED;
  }
  // Reader name to slot ID; 0 for readers without a slot yet. Names are
  // ordered byte-wise, which numbers new readers in that order.
  std::map<std::string, uint32_t> listedReaders;
  for (const std::string& name : names) listedReaders.emplace(name, 0);
  for (auto& [slotId, slot] : g_slots) {
    const auto it = listedReaders.find(slot->readerName);
    if (it != listedReaders.end()) {
      slot->flags |= kReaderPresent;
      it->second = slotId;
    } else {
      slot->flags &= static_cast<uint8_t>(~kReaderPresent);
      if (slot->reader) slot->reader->currentState = 0;
    }
  }
  for (auto& [name, slotId] : listedReaders) {
    if (slotId == 0 && AddSlot(name, slotId) == CKR_HOST_MEMORY) return CKR_HOST_MEMORY;
  }
  return CKR_OK;
}

namespace {

// Removes every slot; with `disconnect` each slot's token is removed first,
// else the slots are only forgotten.
CK_RV EraseAllSlots(bool disconnect) {
  CK_RV result = CKR_OK;
  for (auto it = g_slots.begin(); it != g_slots.end(); it = g_slots.erase(it)) {
    const CK_RV cleared = disconnect ? ClearSlot(*it->second) : CKR_OK;
    if (result == CKR_OK) result = cleared;
  }
  ForgetSlotList();
  return result;
}

}  // namespace

CK_RV ReleaseAllSlots() { return EraseAllSlots(true); }

void AbandonAllSlots() { EraseAllSlots(false); }

}  // namespace zorad::slot
