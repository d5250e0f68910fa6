// The checksum of the card's structures: the token information file, the
// allocation tables and the object records.
//
// Table-driven, reflected, polynomial 0xEDB88320, but the register starts at
// 0 (not 0xFFFFFFFF) and the result is complemented. So a run of zero bytes,
// and the empty input, gives 0xFFFFFFFF. Stored high byte first on the card.
#pragma once

#include <cstdint>
#include <span>

namespace zorad::sim {

uint32_t CardCrc32(std::span<const uint8_t> data);

}  // namespace zorad::sim
