#include "inprocess/peer.h"

#include "common/peer_comparison.h"
#include "common/report.h"
#include "inprocess/sim_world.h"

namespace zorad::bench {

std::string PeerReport(bool shortRun) {
  const std::string heading = "## 3. In-memory cost beside a peer module";
  const std::string missing = PeerMissing();
  if (!missing.empty()) return heading + "\n\n" + missing;
  SimWorld world;
  world.client().Initialize();
  size_t rounds = 0;
  const std::string table = ComparePeers(
      {world.client(), world.client().FirstSlotWithToken(), ThreadSeconds, shortRun}, rounds);
  return heading + " (per call, CPU time, median of " + std::to_string(rounds) +
         " alternating rounds)\n\n" +
         "Both modules loaded in one process and initialised with OS locking; one read/write "
         "session each, nobody logged in. Each round looks one session data object up by "
         "label among 100, then creates 1,000 (16-byte value), reads each one's label, looks "
         "one up by label among them, and destroys them; the searches have CKA_TOKEN false in "
         "their template. In-process this module runs on the PC/SC double and the simulated "
         "card; the real stack follows below.\n\n" +
         table;
}

}  // namespace zorad::bench
