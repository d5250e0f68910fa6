#include "inprocess/needed_conversation.h"

#include <algorithm>
#include <stdexcept>

namespace zorad::bench {
namespace {

constexpr size_t kReadChunk = 256;
constexpr size_t kChallengeChunk = 32;
constexpr size_t kHashChunk = 240;
constexpr size_t kHeaderSize = 17;

const CensusObject& Require(const CardCensus& census, uint32_t id, const AreaCensus** area) {
  const auto found = census.Find(id);
  if (!found) throw std::runtime_error("object not on the card");
  if (area) *area = found->first;
  return *found->second;
}

}  // namespace

NeededConversation& NeededConversation::SelectApplication() {
  Add("SELECT app", 5 + 12, 2);
  return *this;
}

NeededConversation& NeededConversation::SerialNumber() {
  Add("SERIAL NUMBER", 5, 7 + 2);
  return *this;
}

NeededConversation& NeededConversation::Open() { return SelectApplication().SerialNumber(); }

NeededConversation& NeededConversation::SelectArea(bool isPrivate) {
  const AreaCensus& area = census_.Area(isPrivate);
  Add("SELECT file", 7, 2);
  for (size_t left = area.TableBytes(); area.layout.blockCount > 0 && left > 0;) {
    const size_t n = std::min(left, kReadChunk);
    Add("READ BINARY", 5, n + 2);
    left -= n;
  }
  return *this;
}

NeededConversation& NeededConversation::Headers(bool isPrivate) {
  for (size_t i = 0; i < census_.Area(isPrivate).objects.size(); ++i) Header();
  return *this;
}

NeededConversation& NeededConversation::Refresh(bool isPrivate) {
  return SelectArea(isPrivate).Headers(isPrivate);
}

NeededConversation& NeededConversation::Header() {
  Add("READ BINARY", 5, kHeaderSize + 2);
  return *this;
}

// Record bytes [from, from + length) over the object's runs of adjacent
// blocks, each run in reads of up to 256 bytes.
void NeededConversation::ReadRecordBytes(const AreaCensus& area, const CensusObject& object,
                                         size_t from, size_t length) {
  size_t runStart = 0;
  for (size_t k = 0; k < object.blocks.size() && length > 0;) {
    size_t run = 1;
    while (k + run < object.blocks.size() && object.blocks[k + run] == object.blocks[k] + run) {
      ++run;
    }
    const size_t runBytes = run * area.layout.blockSize;
    if (from < runStart + runBytes) {
      size_t n = std::min(length, runStart + runBytes - from);
      length -= n;
      from += n;
      for (; n > 0;) {
        const size_t chunk = std::min(n, kReadChunk);
        Add("READ BINARY", 5, chunk + 2);
        n -= chunk;
      }
    }
    runStart += runBytes;
    k += run;
  }
}

NeededConversation& NeededConversation::PublicKeyValue(const CensusObject& object) {
  if (object.HasCardPublicKey()) Add("READ PUBLIC KEY", 5, 64 + 2);
  return *this;
}

NeededConversation& NeededConversation::ReadObject(const AreaCensus& area,
                                                   const CensusObject& object) {
  Header();
  ReadRecordBytes(area, object, kHeaderSize, object.bodySize);
  return PublicKeyValue(object);
}

NeededConversation& NeededConversation::FirstSight(const AreaCensus& area,
                                                   const CensusObject& object) {
  size_t firstRun = 1;
  while (firstRun < object.blocks.size() &&
         object.blocks[firstRun] == object.blocks[0] + firstRun) {
    ++firstRun;
  }
  const size_t first =
      std::max(kHeaderSize, std::min(kReadChunk, firstRun * area.layout.blockSize));
  Add("READ BINARY", 5, first + 2);
  const size_t record = kHeaderSize + object.bodySize;
  if (record > first) ReadRecordBytes(area, object, first, record - first);
  return PublicKeyValue(object);
}

NeededConversation& NeededConversation::WriteRecord(const AreaCensus& area,
                                                    const CensusObject& object) {
  const size_t blocks = (object.RecordSize() + area.layout.blockSize - 1) / area.layout.blockSize;
  return WriteBlocks(area, blocks);
}

NeededConversation& NeededConversation::WriteTable(const AreaCensus& area) {
  UpdateBinary(area.TableBytes());
  return *this;
}

NeededConversation& NeededConversation::EraseBlocks(const AreaCensus& area, size_t blocks) {
  return WriteBlocks(area, blocks);
}

NeededConversation& NeededConversation::WriteBlocks(const AreaCensus& area, size_t blocks) {
  for (size_t k = 0; k < blocks; ++k) UpdateBinary(area.layout.blockSize);
  return *this;
}

void NeededConversation::UpdateBinary(size_t length) {
  for (size_t left = length; left > 0;) {
    const size_t n = std::min<size_t>(left, census_.writeChunk);
    Add("UPDATE BINARY", 5 + n, 2);
    left -= n;
  }
}

NeededConversation& NeededConversation::Challenge(size_t length) {
  for (size_t left = length; left > 0;) {
    const size_t n = std::min(left, kChallengeChunk);
    Add("GET CHALLENGE", 5, n + 2);
    left -= n;
  }
  return *this;
}

NeededConversation& NeededConversation::Pin() {
  Add("VERIFY", 5 + 8, 2);
  return *this;
}

NeededConversation& NeededConversation::PinStatus() {
  Add("VERIFY (status)", 5, 2);
  return *this;
}

NeededConversation& NeededConversation::GenerateKey() {
  Add("GENERATE KEY PAIR", 5, 2);
  Add("SELECT file", 7, 2);  // the key command left another file current
  return *this;
}

NeededConversation& NeededConversation::SecurityEnvironment() {
  Add("MSE", 5, 2);      // restore
  Add("MSE", 5 + 3, 2);  // hash algorithm
  Add("MSE", 5 + 3, 2);  // key reference
  return *this;
}

NeededConversation& NeededConversation::Hash(size_t length) {
  for (size_t left = length; left > 0;) {
    const size_t n = std::min(left, kHashChunk);
    left -= n;
    Add("PSO HASH", 5 + n, left == 0 ? 32 + 2 : 2);
  }
  return *this;
}

NeededConversation& NeededConversation::ComputeSignature() {
  Add("PSO COMPUTE SIGNATURE", 5 + 32, 64 + 2);
  return *this;
}

NeededConversation& NeededConversation::VerifySignature() {
  Add("PSO VERIFY", 5 + 4 + 32 + 64, 2);
  return *this;
}

Conversation NeededOpenSession(const CardCensus&, bool) {
  return {};  // the token was read with the slot list; the objects wait for a search
}

Conversation NeededLogin(const CardCensus& before) {
  NeededConversation c(before);
  c.SelectApplication().Pin();  // the private area waits for a search
  return c.Take();
}

Conversation NeededFindAll(const CardCensus& before, bool userLoggedIn) {
  NeededConversation c(before);
  c.Open();
  // Records another process wrote: each is read in full the first time,
  // starting with its header.
  for (const AreaCensus* area : {&before.publicArea, &before.privateArea}) {
    if (area->isPrivate && !userLoggedIn) continue;
    c.SelectArea(area->isPrivate);
    for (const CensusObject& object : area->objects) c.FirstSight(*area, object);
  }
  return c.Take();
}

Conversation NeededReadAttributes(const CardCensus&, uint32_t) {
  return {};  // what the last search read, and this module wrote since
}

Conversation NeededCreate(const CardCensus& before, const CardCensus& after) {
  const auto ids = before.NewIds(after);
  if (ids.size() != 1) throw std::runtime_error("creation did not add one object");
  const AreaCensus* area = nullptr;
  const CensusObject& object = Require(after, ids.front(), &area);
  NeededConversation c(before);
  c.Open().SelectArea(area->isPrivate).Challenge(32).Headers(area->isPrivate);
  c.WriteRecord(*area, object).WriteTable(*area);
  return c.Take();
}

Conversation NeededChange(const CardCensus& before, const CardCensus& after, uint32_t id) {
  const AreaCensus* area = nullptr;
  const CensusObject& old = Require(before, id, &area);
  const AreaCensus* newArea = nullptr;
  const CensusObject& now = Require(after, id, &newArea);
  size_t freed = 0;
  for (uint16_t block : old.blocks) {
    if (newArea->table[block] == 0) ++freed;
  }
  NeededConversation c(before);
  // The body held since it was written stands while the header does.
  c.Open().SelectArea(area->isPrivate).Header().WriteRecord(*newArea, now);
  if (old.blocks != now.blocks) c.WriteTable(*newArea).EraseBlocks(*newArea, freed);
  return c.Take();
}

Conversation NeededDelete(const CardCensus& before, uint32_t id) {
  const AreaCensus* area = nullptr;
  const CensusObject& object = Require(before, id, &area);
  NeededConversation c(before);
  // The class is known from the attributes held since the object was read.
  c.Open().SelectArea(area->isPrivate).Header();
  c.WriteTable(*area).EraseBlocks(*area, object.blocks.size());
  return c.Take();
}

Conversation NeededKeyPair(const CardCensus& before, const CardCensus& after) {
  const auto ids = before.NewIds(after);
  if (ids.size() != 2) throw std::runtime_error("key pair generation did not add two objects");
  const AreaCensus* area = nullptr;
  const CensusObject& first = Require(after, ids[0], &area);
  const CensusObject& second = Require(after, ids[1], nullptr);
  const bool isPrivate = area->isPrivate;
  NeededConversation c(before);
  c.Open();
  // Key references are card-wide: the other area's objects are read too.
  c.Refresh(!isPrivate);
  c.SelectArea(isPrivate).Challenge(32).Headers(isPrivate).GenerateKey();
  c.WriteRecord(*area, first).WriteRecord(*area, second).WriteTable(*area);
  return c.Take();
}

Conversation NeededSign(const CardCensus& before, uint32_t keyId, size_t dataLength,
                        bool cardHashes) {
  const AreaCensus* area = nullptr;
  Require(before, keyId, &area);
  NeededConversation c(before);
  // C_SignInit checks the key in the cache; C_Sign on the card.
  c.Open().SelectArea(area->isPrivate).Header().SecurityEnvironment();
  if (cardHashes) c.Hash(dataLength);
  c.ComputeSignature();
  return c.Take();
}

Conversation NeededVerify(const CardCensus& before, uint32_t keyId, size_t dataLength) {
  const AreaCensus* area = nullptr;
  const CensusObject& key = Require(before, keyId, &area);
  NeededConversation c(before);
  // A public key made here is read once, for its value from the key slot.
  c.Open().SelectArea(area->isPrivate).ReadObject(*area, key);
  c.Open().SelectArea(area->isPrivate).Header().SecurityEnvironment();
  c.Hash(dataLength).VerifySignature();
  return c.Take();
}

Conversation NeededRandom(const CardCensus& before, size_t length) {
  NeededConversation c(before);
  c.SelectApplication().Challenge(length);
  return c.Take();
}

Conversation NeededTokenInfo(const CardCensus& before, bool) {
  NeededConversation c(before);
  // The PIN states after the operations before; the rest stands.
  c.SelectApplication().PinStatus().PinStatus();
  return c.Take();
}

Conversation NeededLogout(const CardCensus&) {
  return {};  // the power cycle only; the public objects are checked at the next search
}

}  // namespace zorad::bench
