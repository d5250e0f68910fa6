// The cost of the calls that stay in memory, beside a peer module: per-call
// times of this module and of SoftHSMv2 (loaded from its file, with a token
// in a temporary folder), measured in alternating rounds of one run. Each
// round looks one session data object up by label among 100 (a search of
// session objects, CKA_TOKEN false), then creates 1,000, reads each one's
// label, looks one up among them the same way, and destroys them.
#pragma once

#include <string>

#include "common/p11_client.h"

namespace zorad::bench {

inline constexpr const char* kSoftHsmPath = "/usr/lib/softhsm/libsofthsm2.so";

struct PeerRun {
  Client& client;   // this module, initialised
  CK_SLOT_ID slot;  // a slot with a token
  // The clock in seconds: CPU time in-process, wall time where the card's
  // time is part of a call's cost.
  double (*clock)();
  bool shortRun;
};

// Empty when SoftHSMv2 is installed, else the note that says it is not.
std::string PeerMissing();

// The table of median per-call times and ratios and the goal line; the
// number of rounds goes to `rounds`.
std::string ComparePeers(const PeerRun& run, size_t& rounds);

}  // namespace zorad::bench
