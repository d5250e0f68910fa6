// What is on a simulated card, read straight from its area files without the
// module: per area its layout, its allocation table and every object's
// blocks, header and class. The command economy derives the conversation
// each operation needs from this, so the module is measured against the
// card's contents rather than against its own picture of them.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "sim/card/personalisation.h"
#include "sim/card/simulated_card.h"

namespace zorad::bench {

struct CensusObject {
  uint8_t number = 0;            // allocation table entry
  std::vector<uint16_t> blocks;  // ascending
  uint32_t id = 0;
  uint8_t keyRef = 0;
  uint16_t bodySize = 0;
  uint32_t objectClass = 0;
  uint32_t keyType = 0;

  uint32_t RecordSize() const { return 17u + bodySize; }
  // Reading it also fetches the public key from its key slot.
  bool HasCardPublicKey() const { return objectClass == 2 && keyType == 0x30 && keyRef != 0; }
};

struct AreaCensus {
  bool isPrivate = false;
  sim::AreaDescriptor layout;
  std::vector<uint8_t> table;         // the entries, without the checksum
  std::vector<CensusObject> objects;  // ascending id, the order searches use

  uint32_t TableBytes() const { return layout.blockCount + 4u; }
  uint32_t BlockOffset(uint16_t block) const { return 64u + block * uint32_t{layout.blockSize}; }
  const CensusObject* ById(uint32_t id) const;
  size_t FreeBlocks() const;
};

struct CardCensus {
  AreaCensus publicArea;
  AreaCensus privateArea;
  uint16_t writeChunk = 255;

  const AreaCensus& Area(bool isPrivate) const { return isPrivate ? privateArea : publicArea; }
  // The object with this id in either area, with its area.
  std::optional<std::pair<const AreaCensus*, const CensusObject*>> Find(uint32_t id) const;
  // Ids present in `after` but not in this census.
  std::vector<uint32_t> NewIds(const CardCensus& after) const;
};

CardCensus TakeCensus(const sim::SimulatedCard& card, const sim::CardPersonalisation& p);

}  // namespace zorad::bench
