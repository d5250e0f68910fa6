// SCardGetStatusChange: reader states with event counts, and the wait for a
// change that SCardCancel, a service stop or the time-out ends.
#include <chrono>

#include "sim/pcsc/pcsc_service.h"
#include "sim/pcsc/world.h"

namespace zorad::sim::pcsc::service {

using detail::CallScope;
using detail::Reader;
using detail::Staleness;
using detail::World;

namespace {

// The bits the caller's current state is compared on. The event count in
// the high half is compared separately.
constexpr uint32_t kComparedBits = kStateUnknown | kStateUnavailable |
                                   kStateEmpty | kStatePresent |
                                   kStateExclusive | kStateInUse;

uint32_t ReaderState(const World& world, const Reader& reader) {
  uint32_t state = reader.card ? kStatePresent : kStateEmpty;
  if (reader.card) {
    for (const auto& [handle, connection] : world.connections) {
      if (connection.reader != reader.name ||
          connection.staleness != Staleness::kLive ||
          connection.generation != world.generation) {
        continue;
      }
      if (connection.shareMode == kShareExclusive) state |= kStateExclusive;
      if (connection.shareMode == kShareShared) state |= kStateInUse;
    }
  }
  return state | ((reader.eventCount & 0xFFFFu) << 16);
}

bool ReaderStateDiffers(uint32_t current, uint32_t event) {
  if ((current & kComparedBits) != (event & kComparedBits)) return true;
  // As in pcsc-lite, the event count is compared only when the caller
  // states one: a caller that passes 0 there learns the count without
  // being woken by it.
  const uint32_t knownCount = current >> 16;
  return knownCount != 0 && knownCount != (event >> 16);
}

// Fills the event state of every entry; true when any of them changed.
bool Evaluate(World& world, std::span<ReaderStateEntry> entries) {
  bool anyChanged = false;
  for (auto& entry : entries) {
    entry.atr.clear();
    if (entry.currentState & kStateIgnore) {
      entry.eventState = kStateIgnore;
      continue;
    }
    uint32_t event = 0;
    bool differs = false;
    if (entry.reader == kPnpNotificationReader) {
      // The high half carries the number of readers; a different number is
      // a change of the reader list.
      event = static_cast<uint32_t>(world.readers.size() & 0xFFFFu) << 16;
      differs = (entry.currentState >> 16) != (event >> 16);
    } else if (Reader* reader = world.FindReader(entry.reader)) {
      event = ReaderState(world, *reader);
      if (reader->card) entry.atr = reader->card->Atr();
      differs = ReaderStateDiffers(entry.currentState, event);
    } else {
      event = kStateUnknown | kStateUnavailable;
      differs = (entry.currentState & kStateUnknown) == 0;
    }
    if (differs) {
      event |= kStateChanged;
      anyChanged = true;
    }
    entry.eventState = event;
  }
  return anyChanged;
}

// Waits under the call's lock (released while asleep) until a change, a
// cancel of the context, a service stop or the time-out.
Code WaitForChange(CallScope& call, Handle context, uint32_t timeoutMs,
                   std::span<ReaderStateEntry> entries) {
  World& world = call.world();
  const uint64_t generation = world.generation;
  const uint64_t cancelCount = world.contexts[context].cancelCount;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    auto it = world.contexts.find(context);
    if (it == world.contexts.end()) return kInvalidHandle;
    if (world.generation != generation) return kNoService;
    if (it->second.cancelCount != cancelCount) return kCancelled;
    if (Evaluate(world, entries)) return kSuccess;
    if (timeoutMs == 0) return kTimeout;
    ++world.waiters;
    world.changed.notify_all();  // lets WaitForWaiters see this thread
    bool timedOut = false;
    if (timeoutMs == kInfiniteTimeout) {
      world.changed.wait(call.lock());
    } else {
      timedOut = world.changed.wait_until(call.lock(), deadline) ==
                 std::cv_status::timeout;
    }
    --world.waiters;
    if (timedOut) timeoutMs = 0;  // one last look, then kTimeout
  }
}

}  // namespace

Code GetStatusChange(Handle context, uint32_t timeoutMs,
                     std::span<ReaderStateEntry> entries) {
  CallScope call(Call::kGetStatusChange);
  if (call.early() != kSuccess) return call.Done(call.early());
  const Code code = detail::CheckContext(call.world(), context);
  if (code != kSuccess) return call.Done(code);
  return call.Done(WaitForChange(call, context, timeoutMs, entries));
}

}  // namespace zorad::sim::pcsc::service
