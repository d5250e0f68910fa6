#include "sim/pcsc/world.h"

#include <algorithm>

namespace zorad::sim::pcsc::detail {

namespace {

// The log is for assertions over one test; keep it from growing without
// bound in a long fault sweep.
constexpr size_t kLogLimit = 100000;

bool ReachesCard(const Connection& connection) {
  return connection.shareMode != kShareDirect;
}

}  // namespace

World& TheWorld() {
  static World world;
  return world;
}

Reader* World::FindReader(std::string_view name) {
  auto it = std::find_if(readers.begin(), readers.end(),
                         [&](const Reader& r) { return r.name == name; });
  return it == readers.end() ? nullptr : &*it;
}

void World::MarkConnections(std::string_view reader, Staleness why) {
  for (auto& [handle, connection] : connections) {
    if (connection.reader == reader &&
        connection.staleness == Staleness::kLive &&
        connection.generation == generation) {
      connection.staleness = why;
    }
  }
}

void World::MarkResetExcept(std::string_view reader, Handle except) {
  for (auto& [handle, connection] : connections) {
    if (handle != except && connection.reader == reader &&
        ReachesCard(connection) && connection.staleness == Staleness::kLive) {
      connection.staleness = Staleness::kCardReset;
    }
  }
}

void World::DropCard(Reader& reader) {
  if (!reader.card) return;
  reader.card.reset();
  reader.powered = false;
  ++reader.eventCount;
  MarkConnections(reader.name, Staleness::kCardRemoved);
  changed.notify_all();
}

void World::ForgetConnection(std::map<Handle, Connection>::iterator it) {
  droppedTransactions += it->second.transactionDepth;
  connections.erase(it);
  changed.notify_all();  // the reader may no longer be in use
}

void World::PollExternalReset(Reader& reader) {
  if (reader.card && reader.card->TakeExternalReset()) {
    MarkResetExcept(reader.name, 0);
  }
}

CallScope::CallScope(Call call)
    : world_(TheWorld()), lock_(world_.mutex), call_(call) {
  const auto index = static_cast<size_t>(call);
  ++world_.callCounts[index];
  Fault& fault = world_.faults[index];
  if (fault.skip > 0) {
    --fault.skip;
  } else if (fault.count > 0) {
    --fault.count;
    early_ = fault.code;
  }
  if (early_ == kSuccess && !world_.serviceRunning) early_ = kNoService;
}

Code CallScope::Done(Code code) {
  if (world_.log.size() >= kLogLimit) {
    world_.log.erase(world_.log.begin(),
                     world_.log.begin() + kLogLimit / 2);
  }
  world_.log.push_back(LoggedCall{call_, code, reader_});
  return code;
}

Code CheckContext(World& world, Handle context) {
  auto it = world.contexts.find(context);
  if (it == world.contexts.end()) return kInvalidHandle;
  if (it->second.generation != world.generation) return kNoService;
  return kSuccess;
}

LiveConnection FindLiveConnection(World& world, Handle card) {
  LiveConnection found;
  auto it = world.connections.find(card);
  if (it == world.connections.end()) {
    found.code = kInvalidHandle;
    return found;
  }
  Connection& connection = it->second;
  found.connection = &connection;
  if (connection.generation != world.generation) {
    found.code = kNoService;
    return found;
  }
  Reader* reader = world.FindReader(connection.reader);
  if (connection.staleness == Staleness::kReaderGone || reader == nullptr) {
    found.code = kReaderUnavailable;
    return found;
  }
  if (ReachesCard(connection) && connection.staleness == Staleness::kLive) {
    world.PollExternalReset(*reader);
  }
  switch (connection.staleness) {
    case Staleness::kCardRemoved: found.code = kRemovedCard; break;
    case Staleness::kCardReset: found.code = kResetCard; break;
    default: break;
  }
  found.reader = reader;
  return found;
}

Code FitOutput(size_t size, OutputSpace space) {
  if (space.sizeOnly || size <= space.capacity) return kSuccess;
  return kInsufficientBuffer;
}

}  // namespace zorad::sim::pcsc::detail
