// Fuzz target: object records. Header and body decoding, the attribute
// summary, and RefreshTokenObjects and ReadTokenObjectAttributes over an
// area image from the input on a simulated card.
//
// Input:
//   byte   flags: 0x01 seal the records (header and body checksums), 0x02
//          seal the table, 0x04 cut record sizes to their blocks, 0x08
//          private area (user logged in), 0x10 T=0, 0x20 write every object
//          read back to the card and read it again
//   byte   blockCount - 1 (mod 32), byte blockSize - 18 (mod 111)
//   lchunk a record body decoded on its own (its first 17 bytes also as a
//          header)
//   chunk  table entries
//   rest   the area's blocks
#include <algorithm>
#include <bitset>
#include <map>

#include "card/area.h"
#include "card/area_select.h"
#include "card/byte_order.h"
#include "card/crc32.h"
#include "sim/card/card_state.h"
#include "store/object_maps.h"
#include "store/object_record.h"
#include "store/object_refresh.h"
#include "store/record_body.h"
#include "store/template_summary.h"
#include "support/card_rig.h"
#include "support/fuzz_input.h"

namespace zorad::fuzz {
namespace {

// A public key slot whose key READ PUBLIC KEY hands out.
constexpr uint8_t kKeyRefWithKey = 9;

struct Setup {
  uint8_t flags = 0;
  uint16_t blockCount = 0;
  uint16_t blockSize = 0;
  std::span<const uint8_t> body;
  std::vector<uint8_t> entries;
  std::vector<uint8_t> blocks;
  // The body of every sealed record, by the file offset of its header.
  std::map<uint32_t, std::vector<uint8_t>> sealedBodies;

  bool isPrivate() const { return flags & 0x08; }
  uint32_t capacity() const { return uint32_t{blockCount} * blockSize; }
};

Setup Parse(FuzzInput& in) {
  Setup s;
  s.flags = in.Byte();
  s.blockCount = static_cast<uint16_t>(1 + in.Byte() % 32);
  s.blockSize = static_cast<uint16_t>(card::kMinBlockSize + in.Byte() % 111);
  s.body = in.LongChunk();
  const auto entries = in.Chunk();
  s.entries.assign(entries.begin(), entries.end());
  s.entries.resize(s.blockCount, 0);
  s.blocks = in.Padded(s.capacity());
  return s;
}

// Decoding on its own: whatever decodes encodes back to the same list.
void CheckDecoding(std::span<const uint8_t> body) {
  if (body.size() >= store::kHeaderSize) {
    const auto header = store::TokenObjectHeader::Decode(body.first<store::kHeaderSize>());
    if (header) {
      const auto again = header->Encode();
      Check(std::equal(again.begin(), again.end(), body.begin()), "header does not encode back");
    }
  }
  store::AttributeList list;
  if (store::DecodeBody(body, list) != CKR_OK) return;
  const store::TemplateSummary summary = store::SummarizeAttributes(list);
  if (store::CheckRepresentable(list, false) != CKR_OK) return;
  const auto encoded = store::EncodeBody(list, summary.isKey);
  Check(encoded.size() == summary.bodySize, "summary body size differs from the encoding");
  store::AttributeList again;
  Check(store::DecodeBody(store::EncodeBody(list, false), again) == CKR_OK && again == list,
        "a decoded body does not encode back");
}

// Gives every record in the blocks a correct header and body checksum, as
// a card written by the module would have.
void SealRecords(Setup& s) {
  std::map<uint8_t, std::vector<size_t>> owners;
  for (size_t i = 0; i < s.entries.size(); ++i) {
    if (s.entries[i] != 0) owners[s.entries[i]].push_back(i);
  }
  for (const auto& [ni, blocks] : owners) {
    uint8_t* header = &s.blocks[blocks.front() * s.blockSize];
    size_t size = card::LoadBE16(header + 15);
    if (s.flags & 0x04) {
      size = std::min(size, blocks.size() * s.blockSize - store::kHeaderSize);
      card::StoreBE16(header + 15, static_cast<uint16_t>(size));
    }
    std::vector<uint8_t> body;
    for (size_t k = 0; k < blocks.size() && body.size() < size; ++k) {
      const size_t skip = k == 0 ? store::kHeaderSize : 0;
      const uint8_t* from = &s.blocks[blocks[k] * s.blockSize] + skip;
      const size_t n = std::min(size - body.size(), s.blockSize - skip);
      body.insert(body.end(), from, from + n);
    }
    card::StoreBE32(header + 4, card::CRC32(body));
    card::StoreBE32(header, card::CRC32(std::span<const uint8_t>(header + 4, 13)));
    const auto offs = static_cast<uint32_t>(card::kAreaBlocksOffset + blocks.front() * s.blockSize);
    s.sealedBodies[offs] = std::move(body);
  }
}

sim::CardState CardFor(const Setup& s) {
  sim::CardState state = DefaultCardState();
  const uint16_t fid = s.isPrivate() ? sim::kPrivateAreaFid : sim::kPublicAreaFid;
  state.files[fid].data.assign(s.capacity() + card::kAreaTableGap, 0);
  PutFileBytes(state, fid, card::kAreaBlocksOffset, s.blocks);
  PutAreaTable(state, fid, s.capacity(), s.blockCount, s.entries, s.flags & 0x02);
  sim::GostPublicKey key{};
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(i + 1);
  state.keys[kKeyRefWithKey].publicKey = key;
  return state;
}

// The attributes the module must read from a sealed record: its body's,
// without a key's value, and a GOST public key's value from its key slot
// (each coordinate least significant byte first).
store::AttributeList Expected(const store::TokenObject& object, std::span<const uint8_t> body) {
  store::AttributeList list;
  Check(store::DecodeBody(body, list) == CKR_OK, "a body that does not decode was read");
  const store::TemplateSummary summary = store::SummarizeAttributes(list);
  if (summary.isKey) list.erase(CKA_VALUE);
  if (summary.objectClass == CKO_PUBLIC_KEY && summary.keyType == CKK_GOSTR3410 &&
      object.toh.keyRef != 0) {
    std::vector<uint8_t> value(64);
    for (size_t i = 0; i < 32; ++i) {
      value[i] = static_cast<uint8_t>(32 - i);
      value[32 + i] = static_cast<uint8_t>(64 - i);
    }
    list[CKA_VALUE] = value;
  }
  return list;
}

void CheckAttributes(const Setup& setup, const store::TokenObject& object) {
  const store::TemplateSummary summary = store::SummarizeAttributes(object.attributes);
  const auto value = object.attributes.find(CKA_VALUE);
  if (summary.isKey && value != object.attributes.end()) {
    Check(summary.objectClass == CKO_PUBLIC_KEY && summary.keyType == CKK_GOSTR3410 &&
              object.toh.keyRef != 0 && value->second.size() == 64,
          "a key object kept a value from its body");
  }
  const auto sealed = setup.sealedBodies.find(object.offs);
  if (sealed != setup.sealedBodies.end()) {
    Check(object.attributes == Expected(object, sealed->second),
          "the attributes read differ from the record's body");
  }
}

// Writes the object back and reads it again: the same attributes return.
void CheckRewrite(slot::Slot& slot, store::TokenObject& object) {
  const store::AttributeList before = object.attributes;
  if (store::UpdateTokenObject(slot, object) != CKR_OK) return;
  Check(store::ReadTokenObjectAttributes(slot, object) == CKR_OK,
        "an object just written does not read back");
  Check(object.attributes == before, "an object read back differs from what was written");
}

void CheckObjects(CardRig& rig, const Setup& setup, uint32_t freeSpace) {
  card::ObjectCache& cache = rig.token().objects;
  const auto& table = *cache.toat();
  const auto entries = table.Entries();
  const size_t used = static_cast<size_t>(
      std::count_if(entries.begin(), entries.end(), [](uint8_t e) { return e != 0; }));
  Check(freeSpace == setup.capacity() - used * setup.blockSize, "free space miscounted");
  for (auto& [id, object] : *store::CurrentObjects(rig.token())) {
    Check(object.toh.id == id, "object filed under another id");
    Check(table.BlocksOf(object.offs).has_value(), "object found where no record starts");
    bool changed = true;
    if (store::RereadTokenObjectHeader(rig.slot(), object, changed) != CKR_OK) continue;
    Check(!changed, "an unchanged header reads as changed");
    if (store::ReadTokenObjectAttributes(rig.slot(), object) != CKR_OK) continue;
    CheckAttributes(setup, object);
    if (setup.flags & 0x20) CheckRewrite(rig.slot(), object);
  }
}

void Run(Setup& setup) {
  if (setup.flags & 0x01) SealRecords(setup);
  CardRig rig(CardFor(setup), setup.flags & 0x10);
  card::Token& token = rig.token();
  token.info.writeChunk = 255;
  token.info.*card::InfoOf(card::AreaOf(setup.isPrivate())).descriptor = {
      setup.capacity(), 0, setup.blockCount, setup.blockSize};
  if (!rig.BeginAndSelect()) return;
  if (setup.isPrivate() && !rig.LoginUser()) return;
  if (card::SelectArea(rig.slot(), setup.isPrivate()) != CKR_OK) return;
  std::bitset<0x10000> starts;
  const auto visitor = [&](const store::TokenObject& object) {
    Check(object.offs < starts.size() && !starts.test(object.offs), "a record visited twice");
    starts.set(object.offs);
    return true;
  };
  uint32_t freeSpace = 0;
  if (store::RefreshTokenObjects(rig.slot(), &freeSpace, visitor) != CKR_OK) {
    Check(token.objects.objectsStale, "a failed refresh left the objects fresh");
    return;
  }
  CheckObjects(rig, setup, freeSpace);
}

}  // namespace
}  // namespace zorad::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zorad::fuzz;
  FuzzInput in(data, size);
  Setup setup = Parse(in);
  CheckDecoding(setup.body);
  Run(setup);
  return 0;
}
