// The operations a fault sweep cuts short, each through the function list,
// and the starting card they all run on.
//
// The starting card has two areas of 20 blocks of 128 bytes. The public
// area holds "pub-data" and "probe"; the private area, in block order,
// "priv-data", the certificate "cert" (3 blocks), the key pair
// "key"/"key-pub", "t-same", "t-shrink" (3 blocks), "del-data" (2 blocks),
// "t-grow", three free blocks, "t-move" and "blocker" (3 blocks) up to the
// end: "t-grow" can grow into the free blocks after it, "t-move" has none
// after it and must move. Objects are told apart by their labels.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "faults/fault_world.h"
#include "faults/sweep_plan.h"
#include "sim/card/personalisation.h"

namespace zorad::test::faults {

// The state an operation starts from.
enum class Start {
  kNoSession,  // the module initialised, no session (token initialisation)
  kSession,    // a read/write session, nobody logged in
  kUser,       // ... with the user logged in
};

struct OperationRun {
  explicit OperationRun(CardWorld& w) : world(w) {}
  CardWorld& world;
  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  Handles handles;  // the objects the session sees, looked up before the operation
  Bytes signature;  // C_Sign's output
};

struct Operation {
  const char* name;
  Start start;
  CK_RV (*act)(OperationRun&);
  // Labels the operation creates, changes or removes; every other object
  // must come through any fault unchanged.
  std::set<std::string> touched;
  // A touched record is rewritten over its own blocks: cut short there, it
  // may fail its checksum (reported, never read).
  bool inPlace = false;
  // Touched labels whose CKA_VALUE differs from run to run (a generated key).
  std::set<std::string> varying = {};
  // Checks in the run's own session right after the operation, whatever
  // it returned.
  void (*after)(OperationRun&, CK_RV) = nullptr;
  // Commands whose failure the operation survives, reporting success with
  // its result complete, besides the erasure of blocks it already freed.
  bool (*tolerates)(const CommandPlan&, size_t command) = nullptr;
};

const std::vector<Operation>& Operations();

// A second change after the operation, in the same session while the card
// is still in the reader: "probe" gets another value and "probe-new" is
// created, both public. A cache the failure left stale must refuse them or
// do them right. CKR_OK when both were done.
CK_RV Probe(OperationRun& r);
inline const std::set<std::string> kProbeLabels = {"probe", "probe-new"};

sim::CardPersonalisation StartingPersonalisation();
// Built once through the module.
const sim::CardState& StartingCard();

// The message C_Sign signs.
Bytes SignedMessage();

}  // namespace zorad::test::faults
