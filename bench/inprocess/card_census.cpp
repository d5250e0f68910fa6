#include "inprocess/card_census.h"

#include <algorithm>
#include <map>

namespace zorad::bench {
namespace {

uint32_t BigEndian(const std::vector<uint8_t>& bytes, size_t at, size_t width) {
  uint32_t value = 0;
  for (size_t i = 0; i < width && at + i < bytes.size(); ++i) value = (value << 8) | bytes[at + i];
  return value;
}

uint32_t LittleEndian32(const std::vector<uint8_t>& bytes, size_t at, size_t length) {
  uint32_t value = 0;
  for (size_t i = 0; i < std::min<size_t>(length, 4); ++i)
    value |= uint32_t{bytes[at + i]} << 8 * i;
  return value;
}

// The record's bytes laid over the object's blocks in order.
std::vector<uint8_t> RecordBytes(const std::vector<uint8_t>& file, const AreaCensus& area,
                                 const CensusObject& object) {
  std::vector<uint8_t> record;
  for (uint16_t block : object.blocks) {
    const size_t at = area.BlockOffset(block);
    for (size_t i = 0; i < area.layout.blockSize && at + i < file.size(); ++i) {
      record.push_back(file[at + i]);
    }
  }
  return record;
}

// Header fields, then class and key type from the body's attribute records.
void ReadRecord(const std::vector<uint8_t>& record, CensusObject& object) {
  object.keyRef = record.size() > 8 ? record[8] : 0;
  object.id = BigEndian(record, 9, 4);
  object.bodySize = static_cast<uint16_t>(BigEndian(record, 15, 2));
  const size_t end = std::min<size_t>(record.size(), 17u + object.bodySize);
  for (size_t at = 17; at + 4 <= end;) {
    const uint32_t type = BigEndian(record, at, 2);
    const uint32_t length = BigEndian(record, at + 2, 2);
    if (at + 4 + length > end) break;
    if (type == 0x000) object.objectClass = LittleEndian32(record, at + 4, length);
    if (type == 0x100) object.keyType = LittleEndian32(record, at + 4, length);
    at += 4 + length;
  }
}

AreaCensus CensusOf(const sim::CardState& state, uint16_t fid, const sim::AreaDescriptor& layout,
                    bool isPrivate) {
  AreaCensus area;
  area.isPrivate = isPrivate;
  area.layout = layout;
  const auto file = state.files.find(fid);
  if (file == state.files.end()) return area;
  const std::vector<uint8_t>& data = file->second.data;
  const size_t tableAt = layout.capacity + 128u + 4u;
  for (size_t i = 0; i < layout.blockCount && tableAt + i < data.size(); ++i) {
    area.table.push_back(data[tableAt + i]);
  }
  std::map<uint8_t, CensusObject> byNumber;
  for (size_t i = 0; i < area.table.size(); ++i) {
    if (area.table[i] == 0) continue;
    CensusObject& object = byNumber[area.table[i]];
    object.number = area.table[i];
    object.blocks.push_back(static_cast<uint16_t>(i));
  }
  for (auto& [number, object] : byNumber) {
    ReadRecord(RecordBytes(data, area, object), object);
    area.objects.push_back(object);
  }
  std::sort(area.objects.begin(), area.objects.end(),
            [](const CensusObject& a, const CensusObject& b) { return a.id < b.id; });
  return area;
}

}  // namespace

const CensusObject* AreaCensus::ById(uint32_t id) const {
  for (const CensusObject& object : objects) {
    if (object.id == id) return &object;
  }
  return nullptr;
}

size_t AreaCensus::FreeBlocks() const { return std::count(table.begin(), table.end(), 0); }

std::optional<std::pair<const AreaCensus*, const CensusObject*>> CardCensus::Find(
    uint32_t id) const {
  for (const AreaCensus* area : {&privateArea, &publicArea}) {
    if (const CensusObject* object = area->ById(id)) return std::make_pair(area, object);
  }
  return std::nullopt;
}

std::vector<uint32_t> CardCensus::NewIds(const CardCensus& after) const {
  std::vector<uint32_t> ids;
  for (const AreaCensus* area : {&after.privateArea, &after.publicArea}) {
    for (const CensusObject& object : area->objects) {
      if (!Find(object.id)) ids.push_back(object.id);
    }
  }
  return ids;
}

CardCensus TakeCensus(const sim::SimulatedCard& card, const sim::CardPersonalisation& p) {
  const sim::CardState state = card.State();
  CardCensus census;
  census.publicArea = CensusOf(state, sim::kPublicAreaFid, p.publicArea, false);
  census.privateArea = CensusOf(state, sim::kPrivateAreaFid, p.privateArea, true);
  census.writeChunk = p.writeChunk == 0 ? 255 : p.writeChunk;
  return census;
}

}  // namespace zorad::bench
