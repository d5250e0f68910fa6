// The operations run in rounds, each once per round. A measurement is its
// set-up (not timed), one card operation that absorbs a card reset an
// earlier step left behind (not timed), the operation through the module
// (timed, its PC/SC calls captured) and the captured calls replayed on a
// connection of the benchmark's own (timed), then the clean-up. An operation
// that changes the card goes first through the module, which decides what
// the card holds; its replay writes the same bytes again, so the card stays
// as the module left it. Read-only operations alternate the order.
#include "stack/stack_bench.h"

#include <functional>
#include <vector>

#include "common/loaded_module.h"
#include "common/p11_client.h"
#include "common/report.h"
#include "stack/pcsc_capture.h"
#include "stack/replay.h"

namespace zorad::bench {
namespace {

struct Operation {
  std::string name;
  std::function<void()> setup;
  std::function<void()> run;
  std::function<void()> cleanup;
  // The card and the module are left as they were: the replay may come
  // first, which it does in every other repetition, so that the order of
  // the two does not favour either.
  bool readOnly = false;
};

// One timed run through the module.
struct ModuleRun {
  double seconds = 0;
  double outsidePcsc = 0;  // the module's own time: the run less its PC/SC calls
  std::vector<PcscCall> calls;
};

struct Row {
  std::string name;
  size_t commands = 0;
  std::vector<double> module;
  std::vector<double> replay;
  std::vector<double> ratios;  // of each module run and the replay beside it
  std::vector<double> own;     // the module's time outside its PC/SC calls
  size_t answersDiffering = 0;
};

class StackBench {
 public:
  explicit StackBench(const StackOptions& options)
      : options_(options),
        module_(options.modulePath),
        c_(module_.functions()),
        replayer_(options.reader) {}

  std::string Report();

 private:
  void Prepare();
  void LogIn();
  void LogOut();
  void FindKeys();
  void Restart();
  void FindDataObject();
  void PrepareMove();
  std::vector<Operation> Operations();
  std::vector<Operation> ObjectOperations();
  std::vector<Operation> KeyOperations();
  ModuleRun RunModule(const Operation& op);
  void Measure(const Operation& op, size_t round, Row& row, std::vector<PcscCall>& previous);

  StackOptions options_;
  LoadedModule module_;
  Client c_;
  Replayer replayer_;
  CK_SLOT_ID slot_ = 0;
  CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
  bool loggedIn_ = false;
  bool keysFound_ = false;
  CK_OBJECT_HANDLE dataObject_ = CK_INVALID_HANDLE;
  CK_OBJECT_HANDLE created_ = CK_INVALID_HANDLE;
  CK_OBJECT_HANDLE moved_ = CK_INVALID_HANDLE;
  bool relabelled_ = false;
  KeyPair signing_;
  KeyPair generated_;
  std::vector<uint8_t> data_ = std::vector<uint8_t>(1024, 0x5A);
  std::vector<uint8_t> hash_ = std::vector<uint8_t>(32, 0xA5);
  std::vector<uint8_t> signature_;
};

void StackBench::LogIn() {
  if (loggedIn_) return;
  c_.Login(session_);
  loggedIn_ = true;
  keysFound_ = false;
}

// Logout takes the handles of private objects along: the signing keys are
// found again after a login, before an operation needs them.
void StackBench::FindKeys() {
  LogIn();
  if (keysFound_) return;
  Attributes privateKey;
  privateKey.Ulong(CKA_CLASS, CKO_PRIVATE_KEY).Text(CKA_LABEL, "signing key");
  Attributes publicKey;
  publicKey.Ulong(CKA_CLASS, CKO_PUBLIC_KEY).Text(CKA_LABEL, "signing key");
  const auto privateKeys = c_.Find(session_, privateKey);
  const auto publicKeys = c_.Find(session_, publicKey);
  if (privateKeys.size() != 1 || publicKeys.size() != 1) throw BenchError("signing keys lost");
  signing_ = {publicKeys.front(), privateKeys.front()};
  keysFound_ = true;
}

// The module finalised and initialised again: its next session is the first
// on the token and reads the object list. Handles are the new slot's.
void StackBench::Restart() {
  c_.Close(session_);
  session_ = CK_INVALID_HANDLE;
  c_.Finalize();
  c_.Initialize();
  slot_ = c_.FirstSlotWithToken();
  loggedIn_ = false;
  keysFound_ = false;
}

void StackBench::FindDataObject() {
  Attributes first;
  first.Text(CKA_LABEL, relabelled_ ? "DATA-0" : "data-0");  // as the relabelling left it
  const auto found = c_.Find(session_, first);
  if (found.size() != 1) throw BenchError("data-0 lost");
  dataObject_ = found.front();
}

void StackBench::LogOut() {
  if (loggedIn_) c_.Logout(session_);
  loggedIn_ = false;
}

// The token's data objects and a signing key pair, written by the module.
void StackBench::Prepare() {
  c_.Initialize();
  slot_ = c_.FirstSlotWithToken();
  session_ = c_.Open(slot_);
  LogIn();
  for (size_t i = 0; i < options_.dataObjects; ++i) {
    const CK_OBJECT_HANDLE h = c_.CreateData(session_, Numbered("data-", i), true);
    if (i == 0) dataObject_ = h;
  }
  signing_ = c_.GenerateKeyPair(session_, "signing key");
  keysFound_ = true;
  signature_ = c_.Sign(session_, signing_.privateKey, CKM_GOSTR3410_WITH_GOSTR3411, data_);
}

// An object in the public area's last block with the blocks before it free:
// a label that needs a second block makes the store move it.
void StackBench::PrepareMove() {
  const size_t freeBlocks = c_.TokenInfo(slot_).ulFreePublicMemory / options_.blockSize;
  if (freeBlocks < 3) throw BenchError("no room to move an object");
  // class 8 + token 5 + private 5 + label 10 + value 4 + v, after a 17-byte header.
  const std::vector<uint8_t> value((freeBlocks - 1) * options_.blockSize - 49, 0x46);
  const CK_OBJECT_HANDLE filler = c_.CreateData(session_, "filler", true, false, value);
  moved_ = c_.CreateData(session_, "moved", true);
  const bool full = c_.TokenInfo(slot_).ulFreePublicMemory == 0;
  c_.Destroy(session_, filler);
  if (!full) throw BenchError("the object to move is not in the last block");
}

std::vector<Operation> StackBench::Operations() {
  std::vector<Operation> ops = {
      {"open session (object list not yet read)", [&] { Restart(); },
       [&] { session_ = c_.Open(slot_); }, [&] { FindDataObject(); }},
      {"user login", [&] { LogOut(); }, [&] { LogIn(); }, nullptr},
      {"find all objects", [&] { LogIn(); }, [&] { c_.FindAll(session_); }, nullptr, true},
  };
  for (Operation& op : ObjectOperations()) ops.push_back(std::move(op));
  for (Operation& op : KeyOperations()) ops.push_back(std::move(op));
  ops.push_back({"random 1 KiB", nullptr, [&] { c_.Random(session_, 1024); }, nullptr, true});
  ops.push_back({"token information", nullptr, [&] { c_.TokenInfo(slot_); }, nullptr, true});
  ops.push_back({"logout", [&] { LogIn(); }, [&] { LogOut(); }, [&] { LogIn(); }});
  return ops;
}

std::vector<Operation> StackBench::ObjectOperations() {
  return {
      {"read an attribute", nullptr, [&] { c_.ReadLabel(session_, dataObject_); }, nullptr, true},
      {"create data object", nullptr,
       [&] { created_ = c_.CreateData(session_, "bench-object-1", true); },
       [&] { c_.Destroy(session_, created_); }},
      {"relabel in place", nullptr,
       [&] {
         relabelled_ = !relabelled_;
         c_.SetLabel(session_, dataObject_, relabelled_ ? "DATA-0" : "data-0");
       },
       nullptr},
      {"relabel with a move", [&] { PrepareMove(); },
       [&] { c_.SetLabel(session_, moved_, std::string(options_.blockSize, 'm')); },
       [&] { c_.Destroy(session_, moved_); }},
      {"delete", [&] { created_ = c_.CreateData(session_, "bench-object-2", true); },
       [&] { c_.Destroy(session_, created_); }, nullptr},
  };
}

std::vector<Operation> StackBench::KeyOperations() {
  return {
      {"generate key pair", [&] { FindKeys(); },
       [&] { generated_ = c_.GenerateKeyPair(session_, "generated"); },
       [&] {
         c_.Destroy(session_, generated_.privateKey);
         c_.Destroy(session_, generated_.publicKey);
       }},
      {"sign 1 KiB, card hashes", [&] { FindKeys(); },
       [&] {
         signature_ = c_.Sign(session_, signing_.privateKey, CKM_GOSTR3410_WITH_GOSTR3411, data_);
       },
       nullptr, true},
      {"sign a hash", [&] { FindKeys(); },
       [&] { c_.Sign(session_, signing_.privateKey, CKM_GOSTR3410, hash_); }, nullptr, true},
      {"verify 1 KiB, card hashes", [&] { FindKeys(); },
       [&] {
         c_.Verify(session_, signing_.publicKey, CKM_GOSTR3410_WITH_GOSTR3411, data_, signature_);
       },
       nullptr, true},
  };
}

ModuleRun StackBench::RunModule(const Operation& op) {
  ModuleRun run;
  StartCapture();
  const auto start = Clock::now();
  op.run();
  run.seconds = SecondsSince(start);
  run.outsidePcsc = run.seconds - CapturedPcscSeconds();
  run.calls = StopCapture();
  return run;
}

void StackBench::Measure(const Operation& op, size_t round, Row& row,
                         std::vector<PcscCall>& previous) {
  if (op.setup) op.setup();
  // Absorbs a card reset that the previous replay left (a logout powers the
  // card down); a restarted module has no session yet and nothing to absorb.
  if (session_ != CK_INVALID_HANDLE) c_.Random(session_, 1);
  const bool replayFirst = op.readOnly && round % 2 == 1;
  ReplayResult replayed;
  if (replayFirst) replayed = replayer_.Run(previous);
  ModuleRun module = RunModule(op);
  if (!replayFirst) replayed = replayer_.Run(module.calls);
  row.commands = 0;
  for (const PcscCall& call : module.calls) row.commands += call.kind == PcscCall::Kind::kTransmit;
  row.module.push_back(module.seconds);
  row.replay.push_back(replayed.seconds);
  row.ratios.push_back(module.seconds / replayed.seconds);
  row.own.push_back(module.outsidePcsc - replayed.outsidePcsc);
  row.answersDiffering += replayed.answersDiffering;
  Wipe(previous);
  previous = std::move(module.calls);
  if (op.cleanup) op.cleanup();
}

std::string StackBench::Report() {
  Prepare();
  // Rounds of every operation once: a burst of load on the shared machine
  // then touches all operations a little rather than one of them a lot.
  const std::vector<Operation> ops = Operations();
  std::vector<Row> rows(ops.size());
  std::vector<std::vector<PcscCall>> previous(ops.size());
  for (size_t round = 0; round < options_.repeats; ++round) {
    for (size_t i = 0; i < ops.size(); ++i) {
      rows[i].name = ops[i].name;
      Measure(ops[i], round, rows[i], previous[i]);
    }
  }
  for (auto& calls : previous) Wipe(calls);
  c_.Close(session_);
  c_.Finalize();
  Table table({"operation", "card commands", "module", "direct replay", "ratio",
               "module's own time", "share", "replay answers differing"});
  std::string misses;
  for (const Row& row : rows) {
    const double ratio = Median(row.ratios);
    const double own = Median(row.own);
    table.Row({row.name, std::to_string(row.commands), Duration(Median(row.module)),
               Duration(Median(row.replay)), Fixed(ratio), Duration(own),
               Fixed(100 * own / Median(row.module), 1) + " %",
               std::to_string(row.answersDiffering)});
    if (ratio > 1.05) misses += " " + row.name + ";";
  }
  return "## 2. Overhead on the real stack (pcscd + vpcd + virtual card, " +
         std::to_string(options_.dataObjects) + " data objects, median of " +
         std::to_string(options_.repeats) + " rounds over all operations, wall time)\n\n" +
         "The shipped module, loaded from its file, on a pcscd of its own with the virtual card; "
         "every PC/SC call it makes for an operation (transactions, state queries, reconnects, "
         "APDUs) is captured in the process and sent again directly, on a connection of the "
         "benchmark's own, beside the module's run. Times are medians; the ratio is the median "
         "of each module run's time over that of its replay: what the module adds to the card "
         "conversation. The replay follows the module run, except that read-only operations "
         "alternate which of the two goes first. The module's own time is its run's wall time "
         "outside the PC/SC calls "
         "(less the replay's, which is only its loop), and its share of the module's time: "
         "the part of the ratio that is the module's and not the noise of the shared "
         "machine.\n\n" +
         table.Render() + "\nGoal at most 1.05: " +
         (misses.empty() ? std::string("met for every operation.\n")
                         : "missed for" + misses + " (see the findings).\n");
}

}  // namespace

std::string StackReport(const StackOptions& options) { return StackBench(options).Report(); }

}  // namespace zorad::bench
