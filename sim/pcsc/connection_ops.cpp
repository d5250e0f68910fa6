// Card connections: connect, reconnect, disconnect and transactions.
#include "sim/pcsc/pcsc_service.h"
#include "sim/pcsc/world.h"

namespace zorad::sim::pcsc::service {

using detail::CallScope;
using detail::Connection;
using detail::LiveConnection;
using detail::Reader;
using detail::Staleness;
using detail::World;

namespace {

bool ValidShareMode(uint32_t shareMode) {
  return shareMode == kShareExclusive || shareMode == kShareShared ||
         shareMode == kShareDirect;
}

uint32_t ReaderProtocolBit(const Reader& reader) {
  return reader.options.protocol == ReaderProtocol::kT0 ? kProtocolT0
                                                        : kProtocolT1;
}

// An exclusive connection keeps every other card connection out, and needs
// the card to itself. Direct connections reach the reader, not the card.
Code CheckSharing(const World& world, const Reader& reader, Handle self,
                  uint32_t shareMode) {
  if (shareMode == kShareDirect) return kSuccess;
  for (const auto& [handle, connection] : world.connections) {
    if (handle == self || connection.reader != reader.name ||
        connection.shareMode == kShareDirect ||
        connection.staleness != Staleness::kLive ||
        connection.generation != world.generation) {
      continue;
    }
    if (shareMode == kShareExclusive ||
        connection.shareMode == kShareExclusive) {
      return kSharingViolation;
    }
  }
  return kSuccess;
}

// What a card connection needs: a card, and a protocol both sides accept.
// Direct connections get no protocol.
Code NegotiateProtocol(const Reader& reader, uint32_t shareMode,
                       uint32_t preferred, uint32_t* protocol) {
  if (shareMode == kShareDirect) {
    *protocol = kProtocolUndefined;
    return kSuccess;
  }
  if (!reader.card) return kNoSmartcard;
  const uint32_t offered = ReaderProtocolBit(reader);
  if ((preferred & offered) == 0) return kProtoMismatch;
  *protocol = offered;
  return kSuccess;
}

// Carries out a reset or power-down asked for by `self`; every other card
// connection to the reader then has to reconnect.
void ApplyDisposition(World& world, Reader& reader, Handle self,
                      uint32_t disposition, bool powerBackOn) {
  if (!reader.card || disposition == kLeaveCard) return;
  if (disposition == kUnpowerCard) {
    reader.card->PowerOff();
    reader.powered = false;
    if (powerBackOn) {
      reader.card->PowerOn();
      reader.powered = true;
    }
  } else {  // reset; ejecting is not simulated and resets as well
    reader.card->Reset();
    reader.powered = true;
  }
  world.MarkResetExcept(reader.name, self);
}

void PowerUp(Reader& reader) {
  if (reader.card && !reader.powered) {
    reader.card->PowerOn();
    reader.powered = true;
  }
}

}  // namespace

Code Connect(Handle context, const char* readerName, uint32_t shareMode,
             uint32_t preferredProtocols, Handle* card, uint32_t* protocol) {
  CallScope call(Call::kConnect);
  if (call.early() != kSuccess) return call.Done(call.early());
  World& world = call.world();
  Code code = detail::CheckContext(world, context);
  if (code != kSuccess) return call.Done(code);
  if (readerName == nullptr || card == nullptr || protocol == nullptr) {
    return call.Done(kInvalidParameter);
  }
  call.SetReader(readerName);
  if (!ValidShareMode(shareMode)) return call.Done(kInvalidValue);
  Reader* reader = world.FindReader(readerName);
  if (reader == nullptr) return call.Done(kUnknownReader);
  uint32_t active = kProtocolUndefined;
  code = NegotiateProtocol(*reader, shareMode, preferredProtocols, &active);
  if (code == kSuccess) code = CheckSharing(world, *reader, 0, shareMode);
  if (code != kSuccess) return call.Done(code);
  if (shareMode != kShareDirect) PowerUp(*reader);
  const Handle handle = world.NewHandle();
  world.connections[handle] =
      Connection{context, world.generation, reader->name, shareMode, active,
                 Staleness::kLive, 0};
  world.changed.notify_all();  // the reader is now in use
  *card = handle;
  *protocol = active;
  return call.Done(kSuccess);
}

// Reconnecting is how a connection made stale by a reset comes back; one
// whose card was removed stays stale (it must disconnect).
Code Reconnect(Handle card, uint32_t shareMode, uint32_t preferredProtocols,
               uint32_t initialization, uint32_t* protocol) {
  CallScope call(Call::kReconnect);
  if (call.early() != kSuccess) return call.Done(call.early());
  LiveConnection found = detail::FindLiveConnection(call.world(), card);
  if (found.reader != nullptr) call.SetReader(found.reader->name);
  if (found.code != kSuccess && found.code != kResetCard) {
    return call.Done(found.code);
  }
  if (protocol == nullptr) return call.Done(kInvalidParameter);
  if (!ValidShareMode(shareMode) || initialization > kEjectCard) {
    return call.Done(kInvalidValue);
  }
  Reader& reader = *found.reader;
  uint32_t active = kProtocolUndefined;
  Code code = NegotiateProtocol(reader, shareMode, preferredProtocols, &active);
  if (code == kSuccess) code = CheckSharing(call.world(), reader, card, shareMode);
  if (code != kSuccess) return call.Done(code);
  if (shareMode != kShareDirect) {
    ApplyDisposition(call.world(), reader, card, initialization, true);
    PowerUp(reader);
  }
  found.connection->staleness = Staleness::kLive;
  found.connection->shareMode = shareMode;
  found.connection->protocol = active;
  call.world().changed.notify_all();
  *protocol = active;
  return call.Done(kSuccess);
}

// Always forgets the handle once it is known; transactions still open on it
// count as leaked. A handle from before a service stop answers kNoService.
Code Disconnect(Handle card, uint32_t disposition) {
  CallScope call(Call::kDisconnect);
  if (call.early() != kSuccess) return call.Done(call.early());
  World& world = call.world();
  auto it = world.connections.find(card);
  if (it == world.connections.end()) return call.Done(kInvalidHandle);
  if (disposition > kEjectCard) return call.Done(kInvalidValue);
  call.SetReader(it->second.reader);
  const Code code =
      it->second.generation == world.generation ? kSuccess : kNoService;
  Reader* reader = world.FindReader(it->second.reader);
  const Staleness staleness = it->second.staleness;
  if (code == kSuccess && reader != nullptr &&
      it->second.shareMode != kShareDirect &&
      (staleness == Staleness::kLive || staleness == Staleness::kCardReset)) {
    ApplyDisposition(world, *reader, card, disposition, false);
  }
  world.ForgetConnection(it);
  return call.Done(code);
}

namespace {

bool OtherTransaction(const World& world, Handle self, const std::string& reader) {
  for (const auto& [handle, connection] : world.connections) {
    if (handle != self && connection.reader == reader && connection.transactionDepth > 0 &&
        connection.staleness == Staleness::kLive && connection.generation == world.generation) {
      return true;
    }
  }
  return false;
}

}  // namespace

// Another handle's transaction on the same reader: the real service waits
// for it to end; the double answers at once unless told to wait.
Code BeginTransaction(Handle card) {
  CallScope call(Call::kBeginTransaction);
  if (call.early() != kSuccess) return call.Done(call.early());
  World& world = call.world();
  for (;;) {
    LiveConnection found = detail::FindLiveConnection(world, card);
    if (found.reader != nullptr) call.SetReader(found.reader->name);
    if (found.code != kSuccess) return call.Done(found.code);
    if (!OtherTransaction(world, card, found.reader->name)) {
      ++found.connection->transactionDepth;
      return call.Done(kSuccess);
    }
    if (!world.beginWaits) return call.Done(kSharingViolation);
    world.changed.wait(call.lock());
  }
}

// Ending a transaction on a stale handle still closes it (the service drops
// the lock with the card), but reports why the handle is stale.
Code EndTransaction(Handle card, uint32_t disposition) {
  CallScope call(Call::kEndTransaction);
  if (call.early() != kSuccess) return call.Done(call.early());
  World& world = call.world();
  if (disposition > kEjectCard &&
      world.connections.find(card) != world.connections.end()) {
    return call.Done(kInvalidValue);
  }
  LiveConnection found = detail::FindLiveConnection(world, card);
  if (found.connection == nullptr) return call.Done(found.code);
  call.SetReader(found.connection->reader);
  Connection& connection = *found.connection;
  if (found.code != kSuccess) {
    if (connection.transactionDepth > 0) --connection.transactionDepth;
    return call.Done(found.code);
  }
  if (connection.transactionDepth == 0) return call.Done(kNotTransacted);
  if (connection.shareMode != kShareDirect) {
    ApplyDisposition(world, *found.reader, card, disposition, true);
  }
  --connection.transactionDepth;
  world.changed.notify_all();  // a begin may wait for this
  return call.Done(kSuccess);
}

}  // namespace zorad::sim::pcsc::service
