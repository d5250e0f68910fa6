// Token object searches run on the simulated card (each token object costs
// card commands, so commands and time should grow in step); session object
// searches never reach the card. Memory figures are the process's resident
// set and the bytes its live C++ allocations hold (live_heap.h) around the
// measured step.
#include "inprocess/scaling.h"

#include <malloc.h>

#include <algorithm>
#include <vector>

#include "common/p11_client.h"
#include "common/report.h"
#include "inprocess/live_heap.h"
#include "inprocess/sim_world.h"
#include "sim/pcsc/pcsc_double.h"

namespace zorad::bench {
namespace {

struct Memory {
  size_t resident = 0;
  size_t heap = 0;
};

Memory MemoryNow() {
  malloc_trim(0);
  return {ResidentBytes(), LiveHeapBytes()};
}

std::string Kib(double bytes) { return Fixed(bytes / 1024.0, 1) + " KiB"; }

// Median CPU seconds of `runs` calls of `body`; the simulated card's log is
// emptied between them, outside the measurement.
template <typename Body>
double MedianSeconds(SimWorld& world, size_t runs, Body&& body) {
  std::vector<double> samples;
  for (size_t r = 0; r < runs; ++r) {
    world.card().ClearLog();
    const double start = ThreadSeconds();
    body();
    samples.push_back(ThreadSeconds() - start);
  }
  world.card().ClearLog();
  return Median(samples);
}

// A world with the user logged in on a read/write session.
struct LoggedIn {
  SimWorld world;
  CK_SESSION_HANDLE session;
  LoggedIn() {
    world.client().Initialize();
    session = world.client().Open(world.client().FirstSlotWithToken());
    world.client().Login(session);
  }
  Client& client() { return world.client(); }
};

// Sweeps over the sizes, each on a token filled afresh, so that a burst of
// load on the shared machine touches every size a little.
std::string TokenSearches(bool shortRun) {
  const std::vector<size_t> sizes = shortRun ? std::vector<size_t>{1, 10, 50, 250}
                                             : std::vector<size_t>{1, 2, 5, 10, 25, 50, 100, 250};
  const size_t sweeps = shortRun ? 2 : 5;
  const size_t runs = shortRun ? 3 : 7;
  std::vector<std::vector<double>> samples(sizes.size());
  std::vector<size_t> commands(sizes.size());
  for (size_t sweep = 0; sweep < sweeps; ++sweep) {
    LoggedIn w;
    size_t made = 0;
    for (size_t k = 0; k < sizes.size(); ++k) {
      for (; made < sizes[k]; ++made) {
        w.client().CreateData(w.session, Numbered("t", made), true);
      }
      w.world.card().ClearLog();
      w.client().FindAll(w.session);
      commands[k] = w.world.card().Log().size();
      for (size_t r = 0; r < runs; ++r) {
        samples[k].push_back(MedianSeconds(w.world, 1, [&] { w.client().FindAll(w.session); }));
      }
    }
  }
  Table table({"token objects", "commands", "commands per object", "search time", "time per object",
               "per-object time / at 10"});
  double atTen = 0;
  double worst = 0;
  double fewest = 1e9;
  double most = 0;
  for (size_t k = 0; k < sizes.size(); ++k) {
    const double n = static_cast<double>(sizes[k]);
    const double perObject = Median(samples[k]) / n;
    const double perObjectCommands = static_cast<double>(commands[k]) / n;
    if (sizes[k] == 10) atTen = perObject;
    if (atTen > 0) worst = std::max(worst, perObject / atTen);
    if (sizes[k] >= 10) {
      fewest = std::min(fewest, perObjectCommands);
      most = std::max(most, perObjectCommands);
    }
    table.Row({std::to_string(sizes[k]), std::to_string(commands[k]), Fixed(perObjectCommands),
               Duration(Median(samples[k])), Duration(perObject),
               atTen > 0 ? Ratio(perObject, atTen) : "-"});
  }
  return "### Token object search (find all, user logged in, CPU time, median of " +
         std::to_string(sweeps * runs) + " in " + std::to_string(sweeps) + " sweeps)\n\n" +
         table.Render() + "\nCommands per object from 10 on: " + Fixed(fewest) + " to " +
         Fixed(most) + " (6 fixed + 7 per one-block object); time per object at most " +
         Fixed(worst) +
         " times that at 10 objects: " + (worst <= 1.5 ? "linear.\n" : "NOT linear.\n");
}

std::vector<CK_OBJECT_HANDLE> MakeSessionObjects(LoggedIn& w, size_t from, size_t to) {
  std::vector<CK_OBJECT_HANDLE> handles;
  for (size_t i = from; i < to; ++i) {
    handles.push_back(w.client().CreateData(w.session, Numbered("obj-", i), false));
  }
  return handles;
}

std::string SessionSearches(bool shortRun) {
  const size_t runs = shortRun ? 7 : 31;
  const std::vector<size_t> sizes{1000, 2500, 5000, 10000};
  LoggedIn w;
  Table table({"session objects", "lookup by label", "per object", "list all", "per object"});
  std::vector<double> perObject;
  size_t made = 0;
  for (size_t n : sizes) {
    MakeSessionObjects(w, made, n);
    made = n;
    Attributes byLabel;
    byLabel.Text(CKA_LABEL, Numbered("obj-", n / 2));
    const double lookup =
        MedianSeconds(w.world, runs, [&] { w.client().Find(w.session, byLabel, 16); });
    const double all = MedianSeconds(w.world, runs, [&] { w.client().FindAll(w.session); });
    const double dn = static_cast<double>(n);
    perObject.push_back(lookup / dn);
    table.Row({std::to_string(n), Duration(lookup), Duration(lookup / dn), Duration(all),
               Duration(all / dn)});
  }
  return "### Session object search (CPU time, median of " + std::to_string(runs) + ")\n\n" +
         table.Render() + "\nPer-object lookup time at 10,000 / at 1,000: " +
         Ratio(perObject.back(), perObject.front()) +
         " (one walk over the table per search; beyond some thousands of objects the walk "
         "leaves the processor caches, which costs per object, not per search).\n";
}

// 250 token objects found beside no session objects, then beside more and
// more: what each session object adds must not depend on how many there are.
std::string MixedSearch(bool shortRun) {
  const size_t runs = shortRun ? 7 : 31;
  LoggedIn w;
  for (size_t i = 0; i < 250; ++i) w.client().CreateData(w.session, Numbered("t", i), true);
  Attributes tokenOnly;
  tokenOnly.Bool(CKA_TOKEN, true);
  w.client().Find(w.session, tokenOnly);  // every token object has its handle
  Table table({"session objects beside 250 token objects", "search time (template CKA_TOKEN true)",
               "added per session object"});
  double alone = 0;
  size_t made = 0;
  for (size_t n : {size_t{0}, size_t{2500}, size_t{5000}, size_t{10000}}) {
    MakeSessionObjects(w, made, n);
    made = n;
    const double t = MedianSeconds(w.world, runs, [&] { w.client().Find(w.session, tokenOnly); });
    if (n == 0) alone = t;
    table.Row({std::to_string(n), Duration(t),
               n == 0 ? "-" : Duration((t - alone) / static_cast<double>(n))});
  }
  return "### Token objects beside many session objects (CPU time, median of " +
         std::to_string(runs) + ")\n\n" + table.Render() +
         "\nWhat a session object adds is the search's one walk over it (every search checks "
         "the session objects against its template); the token objects' handles are found "
         "without walking the table.\n";
}

}  // namespace

std::string MemoryPerSessionObjects();
std::string CycleGrowth(bool shortRun);

std::string ScalingReport(bool shortRun) {
  // Memory first, while the heap holds nothing freed by the timed parts.
  std::string text = "## 4. Scaling (in-process, PC/SC double + card simulator)\n\n";
  text += MemoryPerSessionObjects() + "\n";
  text += TokenSearches(shortRun) + "\n";
  text += SessionSearches(shortRun) + "\n";
  text += MixedSearch(shortRun) + "\n";
  text += CycleGrowth(shortRun);
  return text;
}

std::string MemoryPerSessionObjects() {
  LoggedIn w;
  const Memory before = MemoryNow();
  auto handles = MakeSessionObjects(w, 0, 10000);
  const Memory after = MemoryNow();
  return "### Memory per 1,000 session objects\n\nData objects with a 9-byte label (class, "
         "token, private, label): resident " +
         Kib((static_cast<double>(after.resident) - before.resident) / 10) + ", C++ heap in use " +
         Kib((static_cast<double>(after.heap) - before.heap) / 10) + " per 1,000 objects.\n";
}

}  // namespace zorad::bench
