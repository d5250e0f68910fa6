// The peer comparison with the shipped module on pcscd and the virtual
// card: a call that sends card commands pays for them here, in wall time,
// where the in-process run on the simulated card hides their cost.
#include "common/loaded_module.h"
#include "common/peer_comparison.h"
#include "common/report.h"
#include "stack/stack_bench.h"

namespace zorad::bench {

std::string StackPeerReport(const StackOptions& options) {
  const std::string heading = "### On the real stack";
  const std::string missing = PeerMissing();
  if (!missing.empty()) return heading + "\n\n" + missing;
  LoadedModule module(options.modulePath);
  Client client(module.functions());
  client.Initialize();
  size_t rounds = 0;
  const std::string table =
      ComparePeers({client, client.FirstSlotWithToken(), WallSeconds, options.shortRun}, rounds);
  client.Finalize();
  return heading + " (per call, wall time, median of " + std::to_string(rounds) +
         " alternating rounds)\n\n" +
         "The same rounds with the shipped module loaded from its file, on a pcscd of its own "
         "with the virtual card (as in table 2); SoftHSMv2 in the same process. Wall time, so "
         "that what a call costs on the card and in pcscd counts.\n\n" +
         table;
}

}  // namespace zorad::bench
