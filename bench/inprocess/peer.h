// In-memory cost beside a peer module: per-call times of the calls that
// never reach a card, for this module (linked in, on the simulated card)
// and for SoftHSMv2 (loaded from its file, with a token in a temporary
// folder), measured alternately in one run.
#pragma once

#include <string>

namespace zorad::bench {

inline constexpr const char* kSoftHsmPath = "/usr/lib/softhsm/libsofthsm2.so";

// The markdown section; a note instead of the table when SoftHSMv2 is not
// installed.
std::string PeerReport(bool shortRun);

}  // namespace zorad::bench
