// Memory over many open-login-sign-logout-close cycles: a cycle opens a
// session, logs the user in, finds the signing key, signs 1 KiB with the
// card hashing, logs out and closes the session.
#include <malloc.h>
#include <winscard.h>

#include <vector>

#include "common/p11_client.h"
#include "common/report.h"
#include "inprocess/live_heap.h"
#include "inprocess/sim_world.h"

namespace zorad::bench {
namespace {

constexpr size_t kWarmUpCycles = 50;

struct Memory {
  size_t resident = 0;
  size_t heap = 0;
};

Memory Now() {
  malloc_trim(0);
  return {ResidentBytes(), LiveHeapBytes()};
}

void Cycle(SimWorld& world, CK_SLOT_ID slot, const std::vector<uint8_t>& data) {
  Client& c = world.client();
  const CK_SESSION_HANDLE session = c.Open(slot);
  c.Login(session);
  Attributes signingKey;
  signingKey.Ulong(CKA_CLASS, CKO_PRIVATE_KEY);
  const auto keys = c.Find(session, signingKey);
  if (keys.size() != 1) throw BenchError("the signing key was not found");
  c.Sign(session, keys.front(), CKM_GOSTR3410_WITH_GOSTR3411, data);
  c.Logout(session);
  c.Close(session);
  world.card().ClearLog();  // the simulator's log is the benchmark's, not the module's
}

// The PC/SC double keeps a call log of bounded length; filled to its bound
// first, it no longer grows while the cycles run.
void FillCallLog() {
  for (int i = 0; i < 100000; ++i) SCardIsValidContext(0);
}

std::string Signed(double bytes) {
  std::string text = bytes >= 0 ? "+" : "";
  text += Fixed(bytes / 1024.0, 1);
  text += " KiB";
  return text;
}

}  // namespace

std::string CycleGrowth(bool shortRun) {
  const size_t cycles = shortRun ? 300 : 10000;
  SimWorld world;
  Client& c = world.client();
  c.Initialize();
  const CK_SLOT_ID slot = c.FirstSlotWithToken();
  {
    const CK_SESSION_HANDLE session = c.Open(slot);
    c.Login(session);
    c.GenerateKeyPair(session, "cycle key");
    c.Logout(session);
    c.Close(session);
  }
  const std::vector<uint8_t> data(1024, 0x33);
  FillCallLog();
  for (size_t i = 0; i < kWarmUpCycles; ++i) Cycle(world, slot, data);
  const Memory before = Now();
  const double start = ThreadSeconds();
  for (size_t i = 0; i < cycles; ++i) Cycle(world, slot, data);
  const double seconds = ThreadSeconds() - start;
  const Memory after = Now();
  Table table({"cycles", "CPU time per cycle", "resident before", "resident after",
               "resident change", "C++ heap change"});
  table.Row({std::to_string(cycles), Duration(seconds / static_cast<double>(cycles)),
             Fixed(before.resident / 1048576.0, 1) + " MiB",
             Fixed(after.resident / 1048576.0, 1) + " MiB",
             Signed(static_cast<double>(after.resident) - before.resident),
             Signed(static_cast<double>(after.heap) - before.heap)});
  const double perThousand =
      (static_cast<double>(after.heap) - before.heap) * 1000.0 / static_cast<double>(cycles);
  return "### Open-login-sign-logout-close cycles (after " + std::to_string(kWarmUpCycles) +
         " warm-up cycles)\n\n" +
         "A cycle opens a session, logs the user in, finds the signing key, signs 1 KiB with the "
         "card hashing, logs out and closes the session.\n\n" +
         table.Render() + "\nC++ heap change per 1,000 cycles: " + Signed(perThousand) + ": " +
         (perThousand < 1024 ? "no growth.\n" : "GROWS.\n");
}

}  // namespace zorad::bench
