// zorad-e2e-image-check IMAGE: reads a card image that zorad-vcard kept and
// checks the token object store on it the way the card holds it, without
// the module: the token information file, each area's allocation table
// (checksum, object numbers), and every object's record (header checksum,
// block count for its size, body checksum, attribute records), with object
// identifiers unique in their area. Prints one line per object,
//   OBJECT <area> <id> <class> <label>
// and one INVALID line per fault; the exit status is 0 only when the store
// is sound.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "card/allocation_table.h"
#include "card/area_layout.h"
#include "card/crc32.h"
#include "card/token.h"
#include "card/token_info_file.h"
#include "sim/card/card_image.h"
#include "store/record_body.h"
#include "store/token_object.h"

namespace {

using zorad::card::AllocationTable;
using zorad::card::AreaLayout;

int g_faults = 0;

void Fault(const std::string& what) {
  std::printf("INVALID %s\n", what.c_str());
  ++g_faults;
}

struct AreaFile {
  const char* name;
  uint16_t fid;
  zorad::card::AreaDescriptor descriptor;
};

uint32_t LittleEndian32(const std::vector<uint8_t>& value) {
  uint32_t v = 0;
  for (size_t i = value.size() < 4 ? value.size() : 4; i > 0; --i) v = v << 8 | value[i - 1];
  return v;
}

// The record of the object numbered `ni`: its blocks in order, concatenated.
std::vector<uint8_t> RecordBytes(const std::vector<uint8_t>& file, const AreaLayout& layout,
                                 const std::vector<uint16_t>& blocks) {
  std::vector<uint8_t> bytes;
  for (uint16_t b : blocks) {
    const auto start = file.begin() + layout.BlockOffset(b);
    bytes.insert(bytes.end(), start, start + layout.BlockSize());
  }
  return bytes;
}

void CheckObject(const char* area, const std::vector<uint8_t>& record, size_t blockCount,
                 const AreaLayout& layout, std::set<uint32_t>& ids) {
  using namespace zorad::store;
  const auto header =
      TokenObjectHeader::Decode(std::span<const uint8_t, kHeaderSize>(record.data(), kHeaderSize));
  if (!header) return Fault(std::string(area) + ": record header checksum");
  const size_t recordSize = kHeaderSize + header->size;
  const size_t needed = (recordSize + layout.BlockSize() - 1) / layout.BlockSize();
  const std::string where = std::string(area) + " object " + std::to_string(header->id);
  if (needed != blockCount) {
    return Fault(where + ": " + std::to_string(blockCount) + " blocks for " +
                 std::to_string(recordSize) + " bytes");
  }
  if (!ids.insert(header->id).second) Fault(where + ": identifier used twice");
  const std::span<const uint8_t> body(record.data() + kHeaderSize, header->size);
  if (zorad::card::CRC32(body) != header->crc) return Fault(where + ": body checksum");
  AttributeList attributes;
  if (DecodeBody(body, attributes) != CKR_OK) return Fault(where + ": attribute records");
  const auto label = attributes.find(CKA_LABEL);
  std::printf("OBJECT %s %u %u %s\n", area, static_cast<unsigned>(header->id),
              static_cast<unsigned>(LittleEndian32(attributes[CKA_CLASS])),
              label == attributes.end()
                  ? "-"
                  : std::string(label->second.begin(), label->second.end()).c_str());
}

void CheckArea(const zorad::sim::CardState& card, const AreaFile& area) {
  const auto& d = area.descriptor;
  const auto layout = AreaLayout::Check(d.capacity, d.blockCount, d.blockSize);
  const auto file = card.files.find(area.fid);
  if (!layout || file == card.files.end()) return Fault(std::string(area.name) + ": area");
  const std::vector<uint8_t>& bytes = file->second.data;
  if (bytes.size() < layout->TableOffset() + layout->TableLength()) {
    return Fault(std::string(area.name) + ": area file too short");
  }
  AllocationTable table(*layout);
  std::copy_n(bytes.begin() + layout->TableOffset(), layout->TableLength(), table.Bytes().begin());
  if (table.StoredChecksum() != table.ComputedChecksum()) {
    return Fault(std::string(area.name) + ": allocation table checksum");
  }
  std::set<uint32_t> ids;
  std::set<uint8_t> seen;
  size_t used = 0;
  for (uint8_t ni : table.Entries()) {
    if (ni == 0) continue;
    ++used;
    if (!seen.insert(ni).second) continue;
    std::vector<uint16_t> blocks;
    for (size_t i = 0; i < table.Entries().size(); ++i) {
      if (table.Entries()[i] == ni) blocks.push_back(static_cast<uint16_t>(i));
    }
    CheckObject(area.name, RecordBytes(bytes, *layout, blocks), blocks.size(), *layout, ids);
  }
  std::printf("AREA %s blocks=%u used=%zu objects=%zu\n", area.name,
              static_cast<unsigned>(layout->BlockCount()), used, seen.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CARD-IMAGE\n", argv[0]);
    return 2;
  }
  std::string error;
  const auto card = zorad::sim::LoadCardImage(argv[1], &error);
  if (!card) {
    std::printf("INVALID image: %s\n", error.c_str());
    return 1;
  }
  const auto info = card->files.find(zorad::sim::kTokenInfoFid);
  if (info == card->files.end() || info->second.data.size() != zorad::card::kTokenInfoFileSize) {
    std::printf("INVALID token information file missing\n");
    return 1;
  }
  const std::span<const uint8_t, zorad::card::kTokenInfoFileSize> infoBytes(
      info->second.data.data(), zorad::card::kTokenInfoFileSize);
  if (!zorad::card::IsValidTokenInfoFile(infoBytes)) {
    std::printf("INVALID token information file checksum or format\n");
    return 1;
  }
  const auto decoded = zorad::card::DecodeTokenInfoFile(infoBytes);
  CheckArea(*card, {"public", zorad::sim::kPublicAreaFid, decoded.publicArea});
  CheckArea(*card, {"private", zorad::sim::kPrivateAreaFid, decoded.privateArea});
  return g_faults == 0 ? 0 : 1;
}
