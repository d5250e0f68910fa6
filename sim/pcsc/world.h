// Internal state of the PC/SC double: readers, contexts, connections, the
// one mutex that guards them and the condition variable that status-change
// waiters sleep on. Not for tests; they use pcsc_double.h.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "sim/card/card_device.h"
#include "sim/pcsc/pcsc_double.h"
#include "sim/pcsc/pcsc_types.h"

namespace zorad::sim::pcsc::detail {

struct Reader {
  std::string name;
  ReaderOptions options;
  std::shared_ptr<CardDevice> card;
  bool powered = false;
  uint32_t eventCount = 0;
};

struct Context {
  uint64_t generation = 0;  // service generation it was established in
  uint64_t cancelCount = 0;
};

// Why a connection no longer reaches its card.
enum class Staleness { kLive, kCardRemoved, kCardReset, kReaderGone };

struct Connection {
  Handle context = 0;
  uint64_t generation = 0;
  std::string reader;
  uint32_t shareMode = kShareShared;
  uint32_t protocol = kProtocolUndefined;
  Staleness staleness = Staleness::kLive;
  unsigned transactionDepth = 0;
};

struct Fault {
  Code code = kSuccess;
  unsigned count = 0;
  unsigned skip = 0;
};

struct World {
  std::mutex mutex;
  std::condition_variable changed;  // any state change, cancel or waiter

  bool serviceRunning = true;
  uint64_t generation = 1;  // bumped by every stop and by Reset
  Handle nextHandle = 0x1000;
  std::vector<Reader> readers;  // in the order they were added
  std::map<Handle, Context> contexts;
  std::map<Handle, Connection> connections;

  std::array<Fault, static_cast<size_t>(Call::kCount)> faults{};
  std::array<size_t, static_cast<size_t>(Call::kCount)> callCounts{};
  std::vector<LoggedCall> log;
  size_t droppedTransactions = 0;
  size_t waiters = 0;
  bool beginWaits = false;  // see WaitForOtherTransactions

  Reader* FindReader(std::string_view name);
  Handle NewHandle() { return nextHandle++; }
  // Marks every connection to `reader` stale for `why` (live ones only).
  void MarkConnections(std::string_view reader, Staleness why);
  // Another application (or another handle) reset or unpowered the card:
  // every connection to it except `except` must reconnect.
  void MarkResetExcept(std::string_view reader, Handle except);
  // Card gone: reader empty, one event, connections stale.
  void DropCard(Reader& reader);
  // Forgets a connection; open transactions count as dropped.
  void ForgetConnection(std::map<Handle, Connection>::iterator it);
  // Picks up a reset the card reports by itself (CardDevice fault injection).
  void PollExternalReset(Reader& reader);
};

World& TheWorld();

// One served call: takes the lock, counts the call, applies an injected
// fault and the stopped service, and logs the result.
class CallScope {
 public:
  explicit CallScope(Call call);
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

  // The code that ends the call before it starts (injected fault or stopped
  // service), or kSuccess to go on.
  Code early() const { return early_; }
  World& world() { return world_; }
  std::unique_lock<std::mutex>& lock() { return lock_; }
  void SetReader(std::string_view reader) { reader_ = reader; }
  Code Done(Code code);

 private:
  World& world_;
  std::unique_lock<std::mutex> lock_;
  Call call_;
  Code early_ = kSuccess;
  std::string reader_;
};

// Context checks shared by the context-level calls: kSuccess, or
// kInvalidHandle for an unknown context, kNoService for one from before a
// service stop.
Code CheckContext(World& world, Handle context);

// Connection lookup: the code the call must answer (kSuccess, or unknown
// handle, old service, reader gone, removed or reset card), the connection
// whenever the handle is known, and its reader when the code is kSuccess,
// kRemovedCard or kResetCard.
struct LiveConnection {
  Code code = kSuccess;
  Connection* connection = nullptr;
  Reader* reader = nullptr;
};
LiveConnection FindLiveConnection(World& world, Handle card);

// A value produced into an OutputSpace: kInsufficientBuffer when it does not
// fit, else kSuccess.
Code FitOutput(size_t size, OutputSpace space);

}  // namespace zorad::sim::pcsc::detail
