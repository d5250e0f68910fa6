// Writes the starting inputs of the fuzz targets: valid token information,
// tables and object records made with the module's own encoders, answer
// streams of the simulated card, templates an application would pass.
//
//   fuzz_make_seeds <source>/fuzz/corpus
//
// Seeds are named seed-*; inputs kept for faults found are named after the
// fault and are never overwritten.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include "card/area_layout.h"
#include "card/byte_order.h"
#include "card/crc32.h"
#include "platform/cryptoki.h"
#include "sim/card/personalisation.h"
#include "sim/card/simulated_card.h"
#include "store/record_body.h"
#include "store/token_object.h"
#include "support/card_rig.h"
#include "support/fuzz_input.h"
#include "support/module_rig.h"
#include "support/token_life.h"
#include "support/trace_capture.h"

namespace zorad::fuzz {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kNoTrace = 0;

fs::path gRoot;
int gWritten = 0;

void Write(const char* target, const std::string& name, const FuzzOutput& out) {
  const fs::path dir = gRoot / target;
  fs::create_directories(dir);
  std::ofstream file(dir / ("seed-" + name), std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(out.bytes().data()),
             static_cast<std::streamsize>(out.bytes().size()));
  ++gWritten;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Le32(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

const Bytes kCryptoProA = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01};

// ---- token_info ------------------------------------------------------------

void TokenInfo(const std::string& name, uint8_t flags, uint8_t variant,
               const sim::CardPersonalisation& p, uint8_t userTries, uint8_t soTries, uint16_t sw,
               const Bytes& table = {}) {
  FuzzOutput out;
  out.Byte(flags).Byte(variant).Bytes(sim::BuildTokenInfo(p));
  Bytes label = Text(p.label);
  label.resize(32, ' ');
  out.Bytes(label).Byte(userTries).Byte(soTries).U16(sw);
  out.Chunk(table).Chunk(table);
  Write("token_info", name, out);
}

void TokenInfoSeeds() {
  const sim::CardPersonalisation p;
  TokenInfo("valid", 0x19, 0, p, 10, 10, 0);
  TokenInfo("logged-in", 0x79, 0, p, 10, 10, 0);
  TokenInfo("bad-checksum-t0", 0x1C, 0, sim::CorruptCardPersonalisation(), 10, 10, 0);
  TokenInfo("blank-card", 0x19, 0x01, p, 10, 10, 0);
  TokenInfo("pin-states", 0x19, 0, p, 0x11, 2, 0);
  TokenInfo("so-pin-blocked", 0x99, 0, p, 10, 10, 0x6983);
  TokenInfo("unformatted", 0x01, 0, p, 10, 10, 0, Bytes(4 + 64, 0));
  sim::CardPersonalisation small;
  small.publicArea = {640, 0, 10, 64};
  small.privateArea = {0, 0, 0, 0};
  small.writeChunk = 0;
  TokenInfo("small-areas", 0x19, 0, small, 10, 10, 0);
  sim::CardPersonalisation beyond;
  beyond.publicArea = {0x7F00, 0, 200, 17};
  TokenInfo("table-beyond-reach", 0x19, 0, beyond, 10, 10, 0);
}

// ---- allocation_table ------------------------------------------------------

enum Op : uint8_t { kCreate, kAlloc, kRecreate, kDelete, kWrite, kErase, kSelect, kSnapshot };

void TableSeeds() {
  {  // 10 blocks of 64 bytes, empty, a whole object life
    FuzzOutput out;
    out.Byte(0x02).Byte(9).Byte(47).Byte(0).Byte(0).Chunk({});
    out.Byte(kCreate).U16(100).Byte(kCreate).U16(17).Byte(kWrite).Byte(kSnapshot);
    out.Byte(kRecreate).U16(300).Byte(1).Byte(kRecreate).U16(20).Byte(1);
    out.Byte(kDelete).Byte(2).Byte(kErase).Byte(kWrite).Byte(kAlloc).U16(64).Byte(7);
    out.Byte(kSelect);
    Write("allocation_table", "object-life", out);
  }
  {  // the default area, objects in it, interleaved
    FuzzOutput out;
    const Bytes entries = {1, 1, 2, 0, 3, 1, 0, 0, 2, 0};
    out.Byte(0x03).U32(8192).U16(64).U16(128).Byte(0).Chunk(entries);
    out.Byte(kSnapshot).Byte(kRecreate).U16(600).Byte(1).Byte(kDelete).Byte(2);
    out.Byte(kErase).Byte(kWrite).Byte(kRecreate).U16(100).Byte(3).Byte(kCreate).U16(1000);
    Write("allocation_table", "interleaved", out);
  }
  {  // private area under T=0 with a small write chunk
    FuzzOutput out;
    out.Byte(0x2E).Byte(31).Byte(0).Byte(4).Byte(16).Chunk(Bytes{5, 0, 5});
    out.Byte(kCreate).U16(200).Byte(kWrite).Byte(kSnapshot).Byte(kDelete).Byte(5);
    out.Byte(kErase).Byte(kWrite);
    Write("allocation_table", "private-t0", out);
  }
  {  // an unformatted table, and a table that does not match its checksum
    FuzzOutput out;
    out.Byte(0x00).Byte(3).Byte(10).Byte(0).Byte(0).Chunk(Bytes(8, 0));
    out.Byte(kCreate).U16(10).Byte(kSelect);
    Write("allocation_table", "unformatted", out);
    FuzzOutput bad;
    bad.Byte(0x00).Byte(3).Byte(10).Byte(0).Byte(0).Chunk(Bytes{0, 0, 0, 1, 1, 0, 0, 0});
    bad.Byte(kSelect);
    Write("allocation_table", "bad-checksum", bad);
  }
  {  // descriptors at and beyond the card's addressing limits
    FuzzOutput out;
    out.Byte(0x03).U32(0x7E00).U16(240).U16(132).Byte(0).Chunk({});
    out.Byte(kCreate).U16(0xFFFF).Byte(kWrite);
    Write("allocation_table", "at-the-limit", out);
    FuzzOutput beyond;
    beyond.Byte(0x13).U32(0xFFFFFF80).U16(0xFFFF).U16(16).Byte(0).Chunk({});
    beyond.Byte(kCreate).U16(1).Byte(kWrite);
    Write("allocation_table", "beyond-the-limit", beyond);
  }
}

// ---- object_records --------------------------------------------------------

struct Record {
  uint8_t ni;
  uint8_t keyRef;
  uint32_t id;
  store::AttributeList attributes;
  Bytes body;  // the encoded attributes when empty
};

// Lays the records over the blocks (each record's blocks in order, first
// free first), with sealed headers, and builds the table entries.
void Layout(const std::vector<Record>& records, uint16_t blockSize, Bytes& entries, Bytes& blocks) {
  size_t next = 0;
  for (const Record& r : records) {
    const Bytes body = r.body.empty() ? store::EncodeBody(r.attributes, false) : r.body;
    store::TokenObjectHeader h;
    h.keyRef = r.keyRef;
    h.id = r.id;
    h.size = static_cast<uint16_t>(body.size());
    h.crc = card::CRC32(body);
    h.Seal();
    const auto head = h.Encode();
    Bytes record(head.begin(), head.end());
    record.insert(record.end(), body.begin(), body.end());
    for (size_t at = 0; at < record.size(); at += blockSize, ++next) {
      entries.at(next) = r.ni;
      const size_t n = std::min<size_t>(blockSize, record.size() - at);
      std::copy_n(record.begin() + at, n, blocks.begin() + next * blockSize);
    }
  }
}

std::vector<Record> SampleRecords() {
  store::AttributeList data;
  data[CKA_CLASS] = Le32(CKO_DATA);
  data[CKA_TOKEN] = {1};
  data[CKA_LABEL] = Text("seed data");
  data[CKA_VALUE] = Bytes(90, 0x33);
  store::AttributeList publicKey;
  publicKey[CKA_CLASS] = Le32(CKO_PUBLIC_KEY);
  publicKey[CKA_KEY_TYPE] = Le32(CKK_GOSTR3410);
  publicKey[CKA_TOKEN] = {1};
  publicKey[CKA_VERIFY] = {1};
  publicKey[CKA_GOSTR3410_PARAMS] = kCryptoProA;
  store::AttributeList privateKey = publicKey;
  privateKey.erase(CKA_VERIFY);
  privateKey[CKA_CLASS] = Le32(CKO_PRIVATE_KEY);
  privateKey[CKA_SIGN] = {1};
  privateKey[CKA_VALUE] = Bytes(32, 0x44);  // must not be handed out
  return {{1, 0, 0x100, data, {}}, {2, 9, 0x200, publicKey, {}}, {3, 1, 0x300, privateKey, {}}};
}

void Records(const std::string& name, uint8_t flags, uint8_t count, uint8_t size,
             const std::vector<Record>& records, const Bytes& body) {
  const uint16_t blockCount = 1 + count;
  const uint16_t blockSize = static_cast<uint16_t>(card::kMinBlockSize + size);
  Bytes entries(blockCount, 0);
  Bytes blocks(size_t{blockCount} * blockSize, 0);
  Layout(records, blockSize, entries, blocks);
  FuzzOutput out;
  out.Byte(flags).Byte(count).Byte(size).LongChunk(body).Chunk(entries).Bytes(blocks);
  Write("object_records", name, out);
}

void RecordSeeds() {
  const auto records = SampleRecords();
  const Bytes body = store::EncodeBody(records[0].attributes, false);
  Records("three-objects", 0x03, 7, 47, records, body);
  Records("rewritten", 0x23, 7, 47, records, body);
  Records("private-t0", 0x1B, 7, 47, records, store::EncodeBody(records[1].attributes, false));
  Records("smallest-blocks", 0x02, 31, 0, {records[0]}, {});
  // A body whose last attribute runs past its end, behind good checksums.
  Record broken = records[0];
  broken.body = store::EncodeBody(broken.attributes, false);
  broken.body.resize(broken.body.size() - 5);
  Records("body-runs-past-end", 0x02, 7, 47, {broken}, broken.body);
  // Two records claiming one id.
  Record twin = records[0];
  twin.ni = 4;
  Records("repeated-id", 0x03, 7, 47, {records[0], twin}, {});
}

// ---- card_answers ----------------------------------------------------------

// The simulated card, its answers written down as the target's control
// stream: each answer as input bytes (80 LEN BYTES) while the stream stays
// within `budget` bytes, the simulator's own (00) for answers too long for a
// chunk; after the budget the input ends and the simulator answers.
class RecordingCard : public sim::CardDevice {
 public:
  RecordingCard(std::shared_ptr<sim::SimulatedCard> real, size_t budget)
      : real_(std::move(real)), budget_(budget) {}
  std::vector<uint8_t> Atr() const override { return real_->Atr(); }
  void PowerOn() override { real_->PowerOn(); }
  void PowerOff() override { real_->PowerOff(); }
  void Reset() override { real_->Reset(); }
  sim::CardAnswer Transmit(std::span<const uint8_t> command) override {
    sim::CardAnswer answer = real_->Transmit(command);
    if (stream_.size() + answer.bytes.size() + 2 > budget_) {
      budget_ = 0;
    } else if (answer.bytes.size() > 0xFF || answer.cardRemoved) {
      stream_.push_back(0x00);
    } else {
      stream_.push_back(0x80);
      stream_.push_back(static_cast<uint8_t>(answer.bytes.size()));
      stream_.insert(stream_.end(), answer.bytes.begin(), answer.bytes.end());
    }
    return answer;
  }
  const Bytes& stream() const { return stream_; }

 private:
  std::shared_ptr<sim::SimulatedCard> real_;
  size_t budget_;
  Bytes stream_;
};

void RecordedLife(const std::string& name, uint8_t scenario, size_t budget) {
  sim::CardState state = PreparedCardState();
  state.settings.protocol = scenario & kLifeT0 ? sim::Protocol::kT0 : sim::Protocol::kT1;
  auto recorder =
      std::make_shared<RecordingCard>(std::make_shared<sim::SimulatedCard>(state), budget);
  {
    ModuleRig rig(recorder, scenario & kLifeT0);
    TokenLife(scenario);
  }
  FuzzOutput out;
  out.Byte(scenario).Byte(kNoTrace).Bytes(recorder->stream());
  Write("card_answers", name, out);
}

void AnswerSeeds() {
  auto scenario = [](const std::string& name, uint8_t flags, const Bytes& controls,
                     uint8_t trace = kNoTrace) {
    FuzzOutput out;
    out.Byte(flags).Byte(trace).Bytes(controls);
    Write("card_answers", name, out);
  };
  scenario("whole-life", 0x7E, {});
  scenario("whole-life-traced", 0x7E, {}, kTraceMaskBits);
  scenario("whole-life-t0", 0x7F, {});
  scenario("administration", kLifeDataObject | kLifeKeyPair | kLifeAdministration, {});
  RecordedLife("recorded-life", kLifeDataObject | kLifeRandom, 600);
  RecordedLife("recorded-life-t0", kLifeT0 | kLifeSignVerify, 600);
  Bytes notFound(6, 0x00);
  notFound.insert(notFound.end(), {0xA0, 0x6A, 0x82});
  scenario("file-not-found", 0x06, notFound);
  Bytes removed(11, 0x00);
  removed.push_back(0xFF);
  scenario("removed", 0x02, removed);
  Bytes shortAnswer(4, 0x00);
  shortAnswer.insert(shortAnswer.end(), {0x80, 0x03, 0x01, 0x90, 0x00});
  scenario("short-serial", 0x10, shortAnswer);
  Bytes cut(8, 0x00);
  cut.insert(cut.end(), {0xC0, 0x05, 0xE0, 0x04, 1, 2, 3, 4, 0xF1, 0x90});
  scenario("cut-and-long", 0x04, cut);
  Bytes moreData(3, 0x00);
  moreData.insert(moreData.end(), {0x80, 0x02, 0x61, 0x10, 0x80, 0x03, 0xAA, 0x61, 0x05});
  scenario("more-data", 0x01, moreData);
}

// ---- hostile_card ----------------------------------------------------------

// A card image as the target reads it: the token information, label and
// area files of `state`.
void HostileCard(const std::string& name, uint8_t flags, const sim::CardState& state) {
  const auto file = [&](uint16_t fid) {
    const auto it = state.files.find(fid);
    return it == state.files.end() ? Bytes{} : it->second.data;
  };
  FuzzOutput out;
  out.Byte(flags).LongChunk(file(sim::kTokenInfoFid)).Chunk(file(sim::kLabelFid));
  out.LongChunk(file(sim::kPublicAreaFid)).LongChunk(file(sim::kPrivateAreaFid));
  Write("hostile_card", name, out);
}

// The first record of the public area takes the id of the private area's
// first record (its header to be sealed again by the target): ids are
// unique within an area only.
sim::CardState SameIdInBothAreas(sim::CardState state) {
  const sim::CardPersonalisation p;
  const auto firstHeader = [&](uint16_t fid) -> size_t {
    const Bytes& file = state.files.at(fid).data;
    const size_t entries = size_t{p.publicArea.capacity} + 132;
    for (size_t i = 0; i < p.publicArea.blockCount && entries + i < file.size(); ++i) {
      if (file[entries + i] != 0) return 64 + i * p.publicArea.blockSize;
    }
    return 0;
  };
  const size_t priv = firstHeader(sim::kPrivateAreaFid);
  const size_t pub = firstHeader(sim::kPublicAreaFid);
  if (priv == 0 || pub == 0) return state;
  const Bytes& from = state.files.at(sim::kPrivateAreaFid).data;
  PutFileBytes(state, sim::kPublicAreaFid, pub + 9, Bytes(from.begin() + priv + 9, from.begin() + priv + 13));
  return state;
}

// The recorded token images: the prepared card, the card after a whole
// life of creations, changes and deletions, an empty token, the same card
// with one id in both areas, and the sample records of object_records in
// the public area.
void HostileCardSeeds() {
  HostileCard("recorded-life", 0x00, PreparedCardState());
  HostileCard("recorded-life-t0-sealed", 0x1F, PreparedCardState());
  HostileCard("empty-token", 0x00, DefaultCardState());
  auto lived = std::make_shared<sim::SimulatedCard>(PreparedCardState());
  {
    ModuleRig rig(lived);
    TokenLife(kLifeDataObject | kLifeSignVerify | kLifeKeyPair);
  }
  HostileCard("after-whole-life", 0x00, lived->State());
  HostileCard("same-id-both-areas", 0x0C, SameIdInBothAreas(lived->State()));
  const sim::CardPersonalisation p;
  Bytes entries(p.publicArea.blockCount, 0);
  Bytes blocks(size_t{p.publicArea.blockCount} * p.publicArea.blockSize, 0);
  std::vector<Record> records = SampleRecords();
  for (Record& r : records) r.keyRef = r.keyRef != 0 ? 1 : 0;  // the prepared key slot
  Layout(records, p.publicArea.blockSize, entries, blocks);
  sim::CardState sample = DefaultCardState();
  PutFileBytes(sample, sim::kPublicAreaFid, 64, blocks);
  PutFileBytes(sample, sim::kPublicAreaFid, p.publicArea.capacity + 132, entries);
  HostileCard("sample-records", 0x04, sample);
}

// ---- templates -------------------------------------------------------------

class TemplateOut {
 public:
  explicit TemplateOut(FuzzOutput& out) : out_(out) {}
  TemplateOut& Count(uint8_t n) {
    out_.Byte(n);
    return *this;
  }
  TemplateOut& Ulong(uint8_t type, uint32_t v) {
    out_.Byte(type).Byte(4).U32(v).Byte(0);
    return *this;
  }
  TemplateOut& Bool(uint8_t type, bool v) {
    out_.Byte(type).Byte(5).Byte(v ? 1 : 0);
    return *this;
  }
  TemplateOut& Value(uint8_t type, const Bytes& v) {
    out_.Byte(type).Byte(2).Chunk(v);
    return *this;
  }
  TemplateOut& Raw(uint8_t kind) {
    out_.Byte(kind);
    return *this;
  }

 private:
  FuzzOutput& out_;
};

// Indices into the target's kTypes.
enum TypeIndex : uint8_t {
  tClass = 0,
  tToken = 1,
  tPrivate = 2,
  tLabel = 3,
  tApplication = 4,
  tValue = 5,
  tCertificateType = 7,
  tKeyType = 8,
  tId = 9,
  tSign = 11,
  tVerify = 12,
  tParams = 14,
  tSubject = 23,
};

void TemplateSeeds() {
  {
    FuzzOutput out;
    TemplateOut t(out);
    out.Byte(kTraceMaskBits).Byte(0x17);
    t.Count(5).Ulong(tClass, CKO_DATA).Bool(tToken, true).Bool(tPrivate, false);
    t.Value(tLabel, Text("seed label")).Value(tValue, Bytes(40, 7));
    t.Count(1).Value(tLabel, Text("a longer label than before, changed in place"));
    t.Count(1).Ulong(tClass, CKO_DATA);
    Write("templates", "data-object", out);
  }
  {
    FuzzOutput out;
    TemplateOut t(out);
    out.Byte(kNoTrace).Byte(0x01);
    t.Count(6).Ulong(tClass, CKO_CERTIFICATE).Ulong(tCertificateType, CKC_X_509);
    t.Bool(tToken, true).Value(tSubject, Text("CN=seed")).Value(tId, {1, 2});
    t.Value(tValue, Bytes(200, 0x30));
    Write("templates", "certificate", out);
  }
  {
    FuzzOutput out;
    TemplateOut t(out);
    out.Byte(kNoTrace).Byte(0x08);
    t.Count(3).Bool(tToken, true).Bool(tVerify, true).Value(tParams, kCryptoProA);
    t.Count(4).Bool(tToken, true).Bool(tPrivate, true).Bool(tSign, true).Value(tId, {9});
    Write("templates", "key-pair", out);
  }
  {
    FuzzOutput out;
    TemplateOut t(out);
    out.Byte(kNoTrace).Byte(0x05);
    t.Count(4).Ulong(tClass, CKO_PUBLIC_KEY).Ulong(tKeyType, CKK_GOSTR3410);
    t.Bool(tToken, true).Value(tValue, Bytes(64, 0x21));
    t.Count(1).Ulong(tKeyType, CKK_GOSTR3410);
    Write("templates", "public-key-import", out);
  }
  {
    FuzzOutput out;
    TemplateOut t(out);
    out.Byte(kNoTrace).Byte(0x07);
    // null with a length, CK_UNAVAILABLE_INFORMATION, over 65,535 bytes
    t.Count(4).Ulong(tClass, CKO_DATA).Bool(tToken, true);
    out.Byte(tLabel).Byte(1).U32(0x7FFFFFFF);
    out.Byte(tApplication).Byte(3);
    t.Count(2);
    out.Byte(tValue).Byte(6).Byte(0);
    out.Byte(0xF0).U32(0xFFFFFFFF).Byte(0);
    t.Count(1);
    out.Byte(tClass).Byte(4).U32(0).Byte(0x80);
    Write("templates", "huge-null-zero", out);
  }
  {
    // The prepared private key destroyed, then the public key's label grown
    // beyond the free blocks after it: the record moves into the hole.
    FuzzOutput out;
    out.Byte(kNoTrace).Byte(0x62);
    TemplateOut(out).Count(1);
    out.Byte(tLabel).Byte(7).U16(8020);
    Write("templates", "moved-record", out);
  }
}

}  // namespace
}  // namespace zorad::fuzz

int main(int argc, char** argv) {
  using namespace zorad::fuzz;
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <source>/fuzz/corpus\n", argv[0]);
    return 2;
  }
  gRoot = argv[1];
  TokenInfoSeeds();
  TableSeeds();
  RecordSeeds();
  AnswerSeeds();
  TemplateSeeds();
  HostileCardSeeds();
  std::printf("%d seeds written under %s\n", gWritten, gRoot.c_str());
  return 0;
}
