// The world of the concurrency tests: two simulated readers, each with a
// personalised card holding a GOST key pair made through the function list,
// the application's counting mutex callbacks, and a tally of every result
// the threads saw, with the results each call may give.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/card/simulated_card.h"
#include "support/token_fixture.h"
#include "support/trace_directory.h"

namespace zorad::test {

// Mutex callbacks an application would give, on std::mutex, counting calls.
struct CountingMutex {
  static inline std::atomic<int> creates{0}, destroys{0}, locks{0}, unlocks{0};

  static void Reset() { creates = destroys = locks = unlocks = 0; }
  static CK_C_INITIALIZE_ARGS Args();
};

// One card in one reader, as the threads use it.
struct LoadCard {
  std::string reader;
  std::shared_ptr<sim::SimulatedCard> card;
  CK_SLOT_ID slotId = 0;
  std::string keyLabel;
  std::vector<uint8_t> publicKey;  // CKA_VALUE of the key pair's public key
  bool pulled = false;             // the controller takes this one out and back
  uint8_t userPinTries = 0;        // the user PIN's try counter before the load
};

// What a call is about: the card nobody touches, the one that comes and
// goes, or the slots as a whole.
enum class Scope { kSteadyCard, kPulledCard, kAllSlots };

// Results per call and scope.
class CallTally {
 public:
  void Add(const char* call, Scope scope, CK_RV rv) { ++counts_[{call, scope}][rv]; }
  void Merge(const CallTally& other);
  size_t Total() const;
  // "C_Sign [pulled card] returned CKR_X" for every result outside the
  // results the call may give.
  std::vector<std::string> Unexpected() const;
  std::string Summary() const;

 private:
  std::map<std::pair<std::string, Scope>, std::map<CK_RV, size_t>> counts_;
};

// While it lives, C_Initialize finds every trace category enabled and
// writes its trace file into a directory of its own (when `on`).
class TraceIntoTemporaryFile {
 public:
  explicit TraceIntoTemporaryFile(bool on);
  ~TraceIntoTemporaryFile();
  TraceIntoTemporaryFile(const TraceIntoTemporaryFile&) = delete;
  TraceIntoTemporaryFile& operator=(const TraceIntoTemporaryFile&) = delete;

  // Everything written to trace files so far.
  std::string Contents() const { return directory_ ? directory_->Contents() : std::string(); }

 private:
  std::optional<TraceDirectory> directory_;
};

// Two readers with a card each, the module initialised with the chosen lock,
// the user logged in on both and a key pair on each card.
class LoadWorldTest : public ModuleTest {
 protected:
  void StartModule(bool applicationCallbacks);
  // Finalises, initialises without locking and checks every card: the user
  // PIN never counted down, the key pair is the only content and still
  // signs, no reader transaction open.
  void ExpectCardsConsistent();

  std::vector<LoadCard> cards_;

 private:
  void MakeKeyPair(LoadCard& card);
};

}  // namespace zorad::test
