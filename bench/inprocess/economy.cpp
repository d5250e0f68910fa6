// Every standard operation runs once on a token with N data objects in its
// public area; the simulated card's log gives the commands and bytes, and a
// census of the card before and after gives what the operation needs.
#include "inprocess/economy.h"

#include <functional>
#include <vector>

#include "common/p11_client.h"
#include "common/report.h"
#include "inprocess/conversation.h"
#include "inprocess/needed_conversation.h"
#include "inprocess/sim_world.h"

namespace zorad::bench {
namespace {

constexpr size_t kDataLength = 1024;
constexpr size_t kTokenSizes[] = {0, 10, 100};

struct EconomyRow {
  std::string operation;
  size_t dataObjects = 0;
  Totals measured;
  Totals needed;
  std::string difference;
};

using NeedFunction = std::function<Conversation(const CardCensus&, const CardCensus&)>;

class EconomyRun {
 public:
  EconomyRun(SimWorld& world, size_t dataObjects) : world_(world), n_(dataObjects) {}

  std::vector<EconomyRow> Run();

 private:
  void Measure(const std::string& operation, const std::function<void()>& op,
               const NeedFunction& need);
  void PrepareToken();
  void SessionOperations();
  void ObjectOperations();
  void MoveOperation();
  void KeyOperations();
  uint32_t IdOfNewObject(const CardCensus& before);

  SimWorld& world_;
  Client& c_ = world_.client();
  size_t n_;
  CK_SLOT_ID slot_ = 0;
  CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
  std::vector<EconomyRow> rows_;
};

void EconomyRun::Measure(const std::string& operation, const std::function<void()>& op,
                         const NeedFunction& need) {
  const CardCensus before = world_.Census();
  world_.card().ClearLog();
  op();
  const Conversation measured = FromCardLog(world_.card().Log());
  const CardCensus after = world_.Census();
  const Conversation needed = need(before, after);
  rows_.push_back({operation, n_, Sum(measured), Sum(needed), Difference(measured, needed)});
}

uint32_t EconomyRun::IdOfNewObject(const CardCensus& before) {
  const auto ids = before.NewIds(world_.Census());
  if (ids.size() != 1) throw BenchError("expected one new object on the card");
  return ids.front();
}

// N public data objects of one block each, written by the module itself.
void EconomyRun::PrepareToken() {
  c_.Initialize();
  const CK_SESSION_HANDLE session = c_.Open(c_.FirstSlotWithToken());
  c_.Login(session);
  for (size_t i = 0; i < n_; ++i) c_.CreateData(session, Numbered("data-", i), true);
  c_.Close(session);
  c_.Finalize();
}

void EconomyRun::SessionOperations() {
  Measure(
      "open session", [&] { session_ = c_.Open(slot_); },
      [](const CardCensus& b, const CardCensus&) { return NeededOpenSession(b, false); });
  Measure(
      "user login", [&] { c_.Login(session_); },
      [](const CardCensus& b, const CardCensus&) { return NeededLogin(b); });
  Measure(
      "find all objects", [&] { c_.FindAll(session_); },
      [](const CardCensus& b, const CardCensus&) { return NeededFindAll(b, true); });
}

void EconomyRun::ObjectOperations() {
  CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
  CardCensus before = world_.Census();
  Measure(
      "create data object", [&] { object = c_.CreateData(session_, "bench-object-1", true); },
      [](const CardCensus& b, const CardCensus& a) { return NeededCreate(b, a); });
  const uint32_t id = IdOfNewObject(before);
  Measure(
      "read an attribute", [&] { c_.ReadLabel(session_, object); },
      [&](const CardCensus& b, const CardCensus&) { return NeededReadAttributes(b, id); });
  Measure(
      "relabel in place", [&] { c_.SetLabel(session_, object, "bench-object-2"); },
      [&](const CardCensus& b, const CardCensus& a) { return NeededChange(b, a, id); });
  Measure(
      "delete", [&] { c_.Destroy(session_, object); },
      [&](const CardCensus& b, const CardCensus&) { return NeededDelete(b, id); });
}

// An object in the area's last block, the blocks before it free: a label
// that needs a second block makes the store move the whole object.
void EconomyRun::MoveOperation() {
  const size_t freeBlocks = world_.Census().publicArea.FreeBlocks();
  const size_t fillerBlocks = freeBlocks - 1;
  // class 8 + token 5 + private 5 + label 10 + value 4 + v, after a 17-byte header.
  const std::vector<uint8_t> value(fillerBlocks * 64 - 49, 0x46);
  const CK_OBJECT_HANDLE filler = c_.CreateData(session_, "filler", true, false, value);
  const CardCensus before = world_.Census();
  const CK_OBJECT_HANDLE moved = c_.CreateData(session_, "moved", true);
  const uint32_t id = IdOfNewObject(before);
  c_.Destroy(session_, filler);
  const CardCensus placement = world_.Census();
  const CensusObject* placed = placement.publicArea.ById(id);
  if (placed == nullptr || placed->blocks.front() != placement.publicArea.table.size() - 1) {
    throw BenchError("the object to move is not in the area's last block");
  }
  Measure(
      "relabel with a move", [&] { c_.SetLabel(session_, moved, std::string(64, 'm')); },
      [&](const CardCensus& b, const CardCensus& a) { return NeededChange(b, a, id); });
  c_.Destroy(session_, moved);
}

void EconomyRun::KeyOperations() {
  KeyPair pair;
  CardCensus before = world_.Census();
  Measure(
      "generate key pair", [&] { pair = c_.GenerateKeyPair(session_, "bench key"); },
      [](const CardCensus& b, const CardCensus& a) { return NeededKeyPair(b, a); });
  const auto ids = before.NewIds(world_.Census());
  const CardCensus after = world_.Census();
  // The private key is the one without a public key value on the card.
  const uint32_t privateId = after.Find(ids[0])->second->objectClass == 3 ? ids[0] : ids[1];
  const uint32_t publicId = privateId == ids[0] ? ids[1] : ids[0];
  const std::vector<uint8_t> data(kDataLength, 0x5A);
  const std::vector<uint8_t> hash(32, 0xA5);
  std::vector<uint8_t> signature;
  Measure(
      "sign 1 KiB, card hashes",
      [&] { signature = c_.Sign(session_, pair.privateKey, CKM_GOSTR3410_WITH_GOSTR3411, data); },
      [&](const CardCensus& b, const CardCensus&) {
        return NeededSign(b, privateId, data.size(), true);
      });
  Measure(
      "sign a hash", [&] { c_.Sign(session_, pair.privateKey, CKM_GOSTR3410, hash); },
      [&](const CardCensus& b, const CardCensus&) { return NeededSign(b, privateId, 32, false); });
  Measure(
      "verify 1 KiB, card hashes",
      [&] { c_.Verify(session_, pair.publicKey, CKM_GOSTR3410_WITH_GOSTR3411, data, signature); },
      [&](const CardCensus& b, const CardCensus&) {
        return NeededVerify(b, publicId, data.size());
      });
}

std::vector<EconomyRow> EconomyRun::Run() {
  PrepareToken();
  c_.Initialize();
  slot_ = c_.FirstSlotWithToken();
  SessionOperations();
  ObjectOperations();
  MoveOperation();
  KeyOperations();
  Measure(
      "random 1 KiB", [&] { c_.Random(session_, kDataLength); },
      [](const CardCensus& b, const CardCensus&) { return NeededRandom(b, kDataLength); });
  Measure(
      "token information", [&] { c_.TokenInfo(slot_); },
      [](const CardCensus& b, const CardCensus&) { return NeededTokenInfo(b, true); });
  Measure(
      "logout", [&] { c_.Logout(session_); },
      [](const CardCensus& b, const CardCensus&) { return NeededLogout(b); });
  Measure(
      "close session", [&] { c_.Close(session_); },
      [](const CardCensus&, const CardCensus&) { return Conversation{}; });
  c_.Finalize();
  return rows_;
}

std::string Cell(size_t measured, size_t needed) {
  return std::to_string(measured) + " (" + std::to_string(needed) + ")";
}

// The derivation of the "needed" column (needed_conversation.cpp), in short.
constexpr const char* kDerivation = R"(### What each operation needs

Every entry point call that talks to the card runs in one PC/SC transaction,
in which the card application is selected and the card's serial number read
at most once; every search, change, deletion and signature begins with both.
The module keeps a cache of the token between calls: both allocation tables,
every object's header and attributes, public key values. A search reads each
area's table and each object's 17-byte header, and the whole record only of
objects new or changed since (one read from the header over the first run of
adjacent blocks, the rest in reads of up to 256 bytes); attribute reads and
C_SignInit between searches answer from the cache; a change reads the table
and the object's header again before it writes; records are written as whole
blocks; the table is written once per change; only blocks that went from used
to free are erased. In commands:

| symbol | commands |
| ------ | -------- |
| S, N | SELECT application (17 bytes out, 2 in); serial number (5 out, 9 in) |
| A(x) | SELECT FILE of area x + ceil((blocks + 4) / 256) READ BINARY of its table |
| H(x) | one 17-byte header READ BINARY per object of area x |
| F(o) | a record first seen: one READ BINARY from its header over its first run of adjacent blocks (up to 256 bytes), then the rest of it, each run in reads of up to 256 bytes (+ READ PUBLIC KEY for a public key with a key reference) |
| W(o) | one UPDATE BINARY per block of o's record (a block fits one writeChunk here) |
| T(x) | ceil((blocks + 4) / writeChunk) UPDATE BINARY of area x's table |
| E(k) | one UPDATE BINARY per freed block (erasure) |
| C(n), SE, HASH(n) | ceil(n / 32) GET CHALLENGE; MSE restore, hash algorithm, key reference; ceil(n / 240) PSO HASH |

| operation | needed |
| --------- | ------ |
| open session | nothing: the token was read with the slot list, the objects wait for a search |
| user login | S + VERIFY; the private area waits for a search |
| find all objects (written by another process) | S + N + A(pub) + F(each public object) + A(priv) + F(each private object) |
| read an attribute | nothing: from the cache |
| create data object | S + N + A(x) + C(32) + H(x) + W(o) + T(x) |
| relabel in place | S + N + A(x) + header + W(o) |
| relabel with a move | S + N + A(x) + header + W(o moved) + T(x) + E(old blocks not reused) |
| delete | S + N + A(x) + header + T(x) + E(its blocks) |
| generate key pair | S + N + A(other) + H(other) + A(x) + C(32) + H(x) + GENERATE + SELECT FILE + W(private) + W(public) + T(x); key references are card-wide, so the other area's headers are read too |
| sign n bytes | C_SignInit: nothing; C_Sign: S + N + A(x) + header + SE + HASH(n) (none for a given hash) + PSO COMPUTE SIGNATURE |
| verify n bytes | C_VerifyInit (a public key made in this process): S + N + A(x) + header + body + READ PUBLIC KEY; C_Verify: S + N + A(x) + header + SE + HASH(n) + PSO VERIFY |
| random n bytes | S + C(n) |
| token information (after changes) | S + 2 PIN status VERIFY; the rest stands until a card reset or another process changes a table |
| logout | power cycle (no command); the public objects are checked at the next search |

The card here: public area 251 blocks of 64 bytes (A = 2 commands, T = 1),
private area 64 blocks of 128 bytes (A = 2, T = 1), writeChunk 255; data
objects take one block, keys one block each. Bytes follow from the same list:
each command's header and data out, the answer's data and status word in.
)";

}  // namespace

std::string EconomyReport() {
  std::vector<std::vector<EconomyRow>> runs;
  for (size_t n : kTokenSizes) {
    SimWorld world;
    runs.push_back(EconomyRun(world, n).Run());
  }
  Table table({"operation", "N", "commands (needed)", "ratio", "bytes sent (needed)",
               "bytes received (needed)", "byte ratio", "difference"});
  std::vector<std::string> misses;
  for (size_t op = 0; op < runs.front().size(); ++op) {
    for (const auto& run : runs) {
      const EconomyRow& row = run[op];
      table.Row(
          {row.operation, std::to_string(row.dataObjects),
           Cell(row.measured.commands, row.needed.commands),
           Ratio(row.measured.commands, row.needed.commands),
           Cell(row.measured.sent, row.needed.sent),
           Cell(row.measured.received, row.needed.received),
           Ratio(row.measured.sent + row.measured.received, row.needed.sent + row.needed.received),
           row.difference});
      if (row.measured.commands != row.needed.commands ||
          row.measured.sent + row.measured.received != row.needed.sent + row.needed.received) {
        misses.push_back(row.operation + " (N " + std::to_string(row.dataObjects) + ")");
      }
    }
  }
  std::string text = "## 1. Command economy (in-process, PC/SC double + card simulator)\n\n";
  text +=
      "N data objects in the public area at the start; the user is logged in from the login "
      "on. Each cell: measured (needed).\n\n";
  text += table.Render();
  text += "\nGoal 1.00 everywhere: ";
  if (misses.empty()) {
    text += "met, in commands and in bytes.\n";
  } else {
    text += "missed in";
    for (const std::string& miss : misses) text += " " + miss + ";";
    text += " see the difference column.\n";
  }
  return text + "\n" + kDerivation;
}

}  // namespace zorad::bench
