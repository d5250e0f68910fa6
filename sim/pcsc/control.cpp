// Test control of the PC/SC double (pcsc_double.h).
#include <algorithm>
#include <iterator>

#include "sim/pcsc/pcsc_double.h"
#include "sim/pcsc/world.h"

namespace zorad::sim::pcsc {

using detail::Reader;
using detail::Staleness;
using detail::TheWorld;
using detail::World;

namespace {

constexpr const char* kCallNames[] = {
    "SCardEstablishContext", "SCardReleaseContext",  "SCardIsValidContext",
    "SCardCancel",           "SCardListReaders",     "SCardGetStatusChange",
    "SCardConnect",          "SCardReconnect",       "SCardDisconnect",
    "SCardBeginTransaction", "SCardEndTransaction",  "SCardTransmit",
    "SCardGetAttrib",        "SCardStatus",          "SCardFreeMemory",
};
static_assert(std::size(kCallNames) == static_cast<size_t>(Call::kCount));

size_t Index(Call call) {
  const auto index = static_cast<size_t>(call);
  return index < static_cast<size_t>(Call::kCount) ? index : 0;
}

}  // namespace

const char* CallName(Call call) {
  const auto index = static_cast<size_t>(call);
  return index < std::size(kCallNames) ? kCallNames[index] : "?";
}

void Reset() {
  World& world = TheWorld();
  std::lock_guard lock(world.mutex);
  world.serviceRunning = true;
  ++world.generation;  // wakes and fails any waiter left over
  world.readers.clear();
  world.contexts.clear();
  world.connections.clear();
  world.faults = {};
  world.callCounts = {};
  world.log.clear();
  world.droppedTransactions = 0;
  world.beginWaits = false;
  world.changed.notify_all();
}

bool AddReader(std::string_view name, const ReaderOptions& options) {
  World& world = TheWorld();
  std::lock_guard lock(world.mutex);
  if (name.empty() || name == kPnpNotificationReader ||
      world.FindReader(name) != nullptr) {
    return false;
  }
  Reader reader;
  reader.name = name;
  reader.options = options;
  world.readers.push_back(std::move(reader));
  world.changed.notify_all();
  return true;
}

bool RemoveReader(std::string_view name) {
  World& world = TheWorld();
  std::lock_guard lock(world.mutex);
  Reader* reader = world.FindReader(name);
  if (reader == nullptr) return false;
  world.MarkConnections(name, Staleness::kReaderGone);
  world.readers.erase(world.readers.begin() + (reader - world.readers.data()));
  world.changed.notify_all();
  return true;
}

bool SetReaderOptions(std::string_view name, const ReaderOptions& options) {
  World& world = TheWorld();
  std::lock_guard lock(world.mutex);
  Reader* reader = world.FindReader(name);
  if (reader == nullptr) return false;
  reader->options = options;
  return true;
}

bool InsertCard(std::string_view name, std::shared_ptr<CardDevice> card) {
  World& world = TheWorld();
  std::lock_guard lock(world.mutex);
  Reader* reader = world.FindReader(name);
  if (reader == nullptr || reader->card || !card) return false;
  reader->card = std::move(card);
  reader->powered = false;
  ++reader->eventCount;
  world.changed.notify_all();
  return true;
}

bool RemoveCard(std::string_view name) {
  World& world = TheWorld();
  std::lock_guard lock(world.mutex);
  Reader* reader = world.FindReader(name);
  if (reader == nullptr || !reader->card) return false;
  world.DropCard(*reader);
  return true;
}

bool ResetByOtherApplication(std::string_view name) {
  World& world = TheWorld();
  std::lock_guard lock(world.mutex);
  Reader* reader = world.FindReader(name);
  if (reader == nullptr || !reader->card) return false;
  reader->card->Reset();
  reader->powered = true;
  world.MarkResetExcept(name, 0);
  return true;
}

uint32_t ReaderEventCount(std::string_view name) {
  World& world = TheWorld();
  std::lock_guard lock(world.mutex);
  Reader* reader = world.FindReader(name);
  return reader == nullptr ? 0 : reader->eventCount;
}

void StopService() {
  World& world = TheWorld();
  std::lock_guard lock(world.mutex);
  if (!world.serviceRunning) return;
  world.serviceRunning = false;
  ++world.generation;
  // The service ends every transaction of the handles it forgets; those are
  // not the application's leaks.
  for (auto& [handle, connection] : world.connections) {
    connection.transactionDepth = 0;
  }
  world.changed.notify_all();
}

void StartService() {
  World& world = TheWorld();
  std::lock_guard lock(world.mutex);
  world.serviceRunning = true;
  world.changed.notify_all();
}

bool ServiceRunning() {
  World& world = TheWorld();
  std::lock_guard lock(world.mutex);
  return world.serviceRunning;
}

void WaitForOtherTransactions(bool wait) {
  World& world = TheWorld();
  std::lock_guard lock(world.mutex);
  world.beginWaits = wait;
}

void FailNext(Call call, Code code, unsigned count, unsigned skip) {
  World& world = TheWorld();
  std::lock_guard lock(world.mutex);
  world.faults[Index(call)] = detail::Fault{code, count, skip};
}

void ClearFaults() {
  World& world = TheWorld();
  std::lock_guard lock(world.mutex);
  world.faults = {};
}

size_t CallCount(Call call) {
  World& world = TheWorld();
  std::lock_guard lock(world.mutex);
  return world.callCounts[Index(call)];
}

std::vector<LoggedCall> CallLog() {
  World& world = TheWorld();
  std::lock_guard lock(world.mutex);
  return world.log;
}

size_t OpenTransactions() {
  World& world = TheWorld();
  std::lock_guard lock(world.mutex);
  size_t open = 0;
  for (const auto& [handle, connection] : world.connections) {
    open += connection.transactionDepth;
  }
  return open;
}

size_t LeakedTransactions() {
  const size_t open = OpenTransactions();
  World& world = TheWorld();
  std::lock_guard lock(world.mutex);
  return open + world.droppedTransactions;
}

size_t Waiters() {
  World& world = TheWorld();
  std::lock_guard lock(world.mutex);
  return world.waiters;
}

bool WaitForWaiters(size_t count, std::chrono::milliseconds timeout) {
  World& world = TheWorld();
  std::unique_lock lock(world.mutex);
  return world.changed.wait_for(lock, timeout,
                                [&] { return world.waiters >= count; });
}

size_t OpenConnections() {
  World& world = TheWorld();
  std::lock_guard lock(world.mutex);
  return world.connections.size();
}

}  // namespace zorad::sim::pcsc
