// In-memory cost beside a peer module, in-process: this module linked in,
// on the simulated card, beside SoftHSMv2 (common/peer_comparison.h).
#pragma once

#include <string>

namespace zorad::bench {

// The markdown section; a note instead of the table when SoftHSMv2 is not
// installed.
std::string PeerReport(bool shortRun);

}  // namespace zorad::bench
