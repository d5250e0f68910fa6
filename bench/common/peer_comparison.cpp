// Rounds alternate between the two modules; every round makes its own
// session objects, reads them, searches them and destroys them again, and
// the table shows the median per-call time over the rounds.
#include "common/peer_comparison.h"

#include <array>
#include <filesystem>
#include <vector>

#include "common/report.h"
#include "common/softhsm_token.h"

namespace zorad::bench {
namespace {

enum CallKind {
  kGetInfo,
  kGetSessionInfo,
  kCreate,
  kGetAttribute,
  kFewSearch,
  kSearch,
  kDestroy,
  kKinds
};

constexpr const char* kCallNames[kKinds] = {
    "C_GetInfo",
    "C_GetSessionInfo",
    "C_CreateObject, session object",
    "C_GetAttributeValue, session object",
    "search over 100 session objects (CKA_TOKEN false, lookup by label)",
    "search over 1,000 session objects (CKA_TOKEN false, lookup by label)",
    "C_DestroyObject, session object",
};

constexpr size_t kObjects = 1000;
constexpr size_t kFewObjects = 100;

using PerCall = std::array<double, kKinds>;

struct Contender {
  Client& client;
  CK_SESSION_HANDLE session;
  double (*clock)();
  std::array<std::vector<double>, kKinds> samples{};

  template <typename Body>
  double PerCallSeconds(size_t calls, Body&& body) const {
    const double start = clock();
    for (size_t i = 0; i < calls; ++i) body(i);
    return (clock() - start) / static_cast<double>(calls);
  }
};

struct RoundSize {
  size_t repeats;   // calls of the two information functions
  size_t searches;  // searches per round
};

void InformationCalls(Contender& c, const RoundSize& size, PerCall& out) {
  CK_FUNCTION_LIST& f = c.client.functions();
  out[kGetInfo] = c.PerCallSeconds(size.repeats, [&](size_t) {
    CK_INFO info;
    Check(f.C_GetInfo(&info), "C_GetInfo");
  });
  out[kGetSessionInfo] = c.PerCallSeconds(size.repeats, [&](size_t) {
    CK_SESSION_INFO info;
    Check(f.C_GetSessionInfo(c.session, &info), "C_GetSessionInfo");
  });
}

// Per search: the one session object labelled `label` among those there are.
double Lookup(Contender& c, const RoundSize& size, const std::string& label) {
  Attributes search;
  search.Bool(CKA_TOKEN, false).Text(CKA_LABEL, label);
  return c.PerCallSeconds(size.searches, [&](size_t) {
    if (c.client.Find(c.session, search, 16).size() != 1) throw BenchError("lookup missed");
  });
}

// Few objects make a search cheap, so that whatever else it costs (card
// commands above all) stands out.
void FewObjectsSearch(Contender& c, const RoundSize& size, PerCall& out) {
  std::vector<CK_OBJECT_HANDLE> handles;
  for (size_t i = 0; i < kFewObjects; ++i) {
    handles.push_back(c.client.CreateData(c.session, Numbered("few-", i), false));
  }
  out[kFewSearch] = Lookup(c, size, Numbered("few-", kFewObjects / 2));
  for (const CK_OBJECT_HANDLE handle : handles) c.client.Destroy(c.session, handle);
}

void ObjectCalls(Contender& c, const RoundSize& size, PerCall& out) {
  CK_FUNCTION_LIST& f = c.client.functions();
  std::vector<CK_OBJECT_HANDLE> handles(kObjects);
  const std::vector<uint8_t> value(16, 0x42);
  out[kCreate] = c.PerCallSeconds(kObjects, [&](size_t i) {
    handles[i] = c.client.CreateData(c.session, Numbered("obj-", i), false, false, value);
  });
  out[kGetAttribute] = c.PerCallSeconds(kObjects, [&](size_t i) {
    char label[32];
    CK_ATTRIBUTE attribute{CKA_LABEL, label, sizeof label};
    Check(f.C_GetAttributeValue(c.session, handles[i], &attribute, 1), "C_GetAttributeValue");
  });
  out[kSearch] = Lookup(c, size, Numbered("obj-", kObjects / 2));
  out[kDestroy] =
      c.PerCallSeconds(kObjects, [&](size_t i) { c.client.Destroy(c.session, handles[i]); });
}

void Round(Contender& c, const RoundSize& size) {
  PerCall perCall{};
  InformationCalls(c, size, perCall);
  FewObjectsSearch(c, size, perCall);
  ObjectCalls(c, size, perCall);
  for (size_t k = 0; k < kKinds; ++k) c.samples[k].push_back(perCall[k]);
}

std::string Render(const Contender& ours, const Contender& peer) {
  Table table({"call", "zorad_pkcs11", "SoftHSMv2", "ratio (zorad / SoftHSM)"});
  std::string misses;
  for (size_t k = 0; k < kKinds; ++k) {
    const double a = Median(ours.samples[k]);
    const double b = Median(peer.samples[k]);
    table.Row({kCallNames[k], Duration(a), Duration(b), Ratio(a, b)});
    if (a > b) misses += std::string(" ") + kCallNames[k] + ";";
  }
  return table.Render() + "\nGoal at most 1.0: " +
         (misses.empty() ? std::string("met for every call.\n") : "missed for" + misses + "\n");
}

}  // namespace

std::string PeerMissing() {
  if (std::filesystem::exists(kSoftHsmPath)) return "";
  return std::string("Skipped: ") + kSoftHsmPath + " is not installed (Debian package softhsm2).\n";
}

std::string ComparePeers(const PeerRun& run, size_t& rounds) {
  const RoundSize size = run.shortRun ? RoundSize{2000, 5} : RoundSize{20000, 50};
  rounds = run.shortRun ? 3 : 9;
  Contender ours{run.client, run.client.Open(run.slot), run.clock};
  SoftHsmToken softhsm(kSoftHsmPath);
  Contender peer{softhsm.client(), softhsm.client().Open(softhsm.slot()), run.clock};
  for (size_t r = 0; r < rounds; ++r) {
    Contender& first = r % 2 == 0 ? ours : peer;
    Contender& second = r % 2 == 0 ? peer : ours;
    Round(first, size);
    Round(second, size);
  }
  run.client.Close(ours.session);
  return Render(ours, peer);
}

}  // namespace zorad::bench
