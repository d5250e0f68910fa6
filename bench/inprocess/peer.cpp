// Rounds alternate between the two modules; every round makes its own
// session objects, reads them, searches them and destroys them again, and
// the table shows the median per-call time over the rounds.
#include "inprocess/peer.h"

#include <array>
#include <filesystem>
#include <vector>

#include "common/p11_client.h"
#include "common/report.h"
#include "inprocess/sim_world.h"
#include "inprocess/softhsm_token.h"

namespace zorad::bench {
namespace {

enum CallKind { kGetInfo, kGetSessionInfo, kCreate, kGetAttribute, kSearch, kDestroy, kKinds };

constexpr const char* kCallNames[kKinds] = {
    "C_GetInfo",
    "C_GetSessionInfo",
    "C_CreateObject, session object",
    "C_GetAttributeValue, session object",
    "search over 1,000 session objects (lookup by label)",
    "C_DestroyObject, session object",
};

constexpr size_t kObjects = 1000;

using PerCall = std::array<double, kKinds>;

struct Contender {
  Client& client;
  CK_SESSION_HANDLE session;
  std::array<std::vector<double>, kKinds> samples{};
};

struct RoundSize {
  size_t repeats;   // calls of the two information functions
  size_t searches;  // searches per round
};

template <typename Body>
double PerCallSeconds(size_t calls, Body&& body) {
  const double start = ThreadSeconds();
  for (size_t i = 0; i < calls; ++i) body(i);
  return (ThreadSeconds() - start) / static_cast<double>(calls);
}

void InformationCalls(Contender& c, const RoundSize& size, PerCall& out) {
  CK_FUNCTION_LIST& f = c.client.functions();
  out[kGetInfo] = PerCallSeconds(size.repeats, [&](size_t) {
    CK_INFO info;
    Check(f.C_GetInfo(&info), "C_GetInfo");
  });
  out[kGetSessionInfo] = PerCallSeconds(size.repeats, [&](size_t) {
    CK_SESSION_INFO info;
    Check(f.C_GetSessionInfo(c.session, &info), "C_GetSessionInfo");
  });
}

void ObjectCalls(Contender& c, const RoundSize& size, PerCall& out) {
  CK_FUNCTION_LIST& f = c.client.functions();
  std::vector<CK_OBJECT_HANDLE> handles(kObjects);
  const std::vector<uint8_t> value(16, 0x42);
  out[kCreate] = PerCallSeconds(kObjects, [&](size_t i) {
    handles[i] = c.client.CreateData(c.session, Numbered("obj-", i), false, false, value);
  });
  out[kGetAttribute] = PerCallSeconds(kObjects, [&](size_t i) {
    char label[32];
    CK_ATTRIBUTE attribute{CKA_LABEL, label, sizeof label};
    Check(f.C_GetAttributeValue(c.session, handles[i], &attribute, 1), "C_GetAttributeValue");
  });
  Attributes search;
  search.Text(CKA_LABEL, Numbered("obj-", kObjects / 2));
  out[kSearch] = PerCallSeconds(size.searches, [&](size_t) {
    if (c.client.Find(c.session, search, 16).size() != 1) throw BenchError("lookup missed");
  });
  out[kDestroy] =
      PerCallSeconds(kObjects, [&](size_t i) { c.client.Destroy(c.session, handles[i]); });
}

void Round(Contender& c, const RoundSize& size) {
  PerCall perCall{};
  InformationCalls(c, size, perCall);
  ObjectCalls(c, size, perCall);
  for (size_t k = 0; k < kKinds; ++k) c.samples[k].push_back(perCall[k]);
}

std::string Render(const Contender& ours, const Contender& peer, size_t rounds) {
  Table table({"call", "zorad_pkcs11", "SoftHSMv2", "ratio (zorad / SoftHSM)"});
  std::string misses;
  for (size_t k = 0; k < kKinds; ++k) {
    const double a = Median(ours.samples[k]);
    const double b = Median(peer.samples[k]);
    table.Row({kCallNames[k], Duration(a), Duration(b), Ratio(a, b)});
    if (a > b) misses += std::string(" ") + kCallNames[k] + ";";
  }
  return "## 3. In-memory cost beside a peer module (per call, CPU time, median of " +
         std::to_string(rounds) + " alternating rounds)\n\n" +
         "Both modules loaded in one process and initialised with OS locking; one read/write "
         "session each, nobody logged in. Each round creates 1,000 session data objects "
         "(16-byte value), reads each one's label, looks one up by label among them, and "
         "destroys them. This module's search also refreshes the token's object list on the "
         "simulated card (a few commands, part of every search).\n\n" +
         table.Render() + "\nGoal at most 1.0: " +
         (misses.empty() ? std::string("met for every call.\n") : "missed for" + misses + "\n");
}

}  // namespace

std::string PeerReport(bool shortRun) {
  if (!std::filesystem::exists(kSoftHsmPath)) {
    return std::string("## 3. In-memory cost beside a peer module\n\nSkipped: ") + kSoftHsmPath +
           " is not installed (Debian package softhsm2).\n";
  }
  const RoundSize size = shortRun ? RoundSize{2000, 5} : RoundSize{20000, 50};
  const size_t rounds = shortRun ? 3 : 9;
  SimWorld world;
  world.client().Initialize();
  Contender ours{world.client(), world.client().Open(world.client().FirstSlotWithToken())};
  SoftHsmToken softhsm(kSoftHsmPath);
  Contender peer{softhsm.client(), softhsm.client().Open(softhsm.slot())};
  for (size_t r = 0; r < rounds; ++r) {
    Contender& first = r % 2 == 0 ? ours : peer;
    Contender& second = r % 2 == 0 ? peer : ours;
    Round(first, size);
    Round(second, size);
  }
  return Render(ours, peer, rounds);
}

}  // namespace zorad::bench
