// Overhead on the real stack: each standard operation through the shipped
// module, on pcscd with the virtual card, beside the same card conversation
// replayed directly with the PC/SC calls, alternately in one run.
#pragma once

#include <cstddef>
#include <string>

namespace zorad::bench {

struct StackOptions {
  std::string modulePath;
  std::string reader;       // the PC/SC reader holding the virtual card
  size_t repeats = 101;     // rounds over all operations
  size_t dataObjects = 10;  // data objects on the token
  size_t blockSize = 128;   // the virtual card's public area blocks
  bool shortRun = false;    // brief runs, for CI
  bool peer = false;        // the comparison beside SoftHSMv2 instead
};

// The markdown section with the table.
std::string StackReport(const StackOptions& options);

// The in-memory calls beside SoftHSMv2 (common/peer_comparison.h), with
// the shipped module on the real stack and wall time: the markdown
// subsection with the table, or a note when SoftHSMv2 is not installed.
std::string StackPeerReport(const StackOptions& options);

}  // namespace zorad::bench
