// The checksum of every structure the module keeps on the card: the token
// information file, the allocation tables, object headers and bodies.
//
// It is the common reflected CRC-32 (polynomial 0xEDB88320) except that the
// register starts at 0, not at 0xFFFFFFFF; the result is complemented. So
// any run of zero bytes, the empty input included, gives 0xFFFFFFFF. The
// value is stored big-endian wherever it lies on the card.
#pragma once

#include <cstdint>
#include <span>

namespace zorad::card {

uint32_t CRC32(std::span<const uint8_t> data);

}  // namespace zorad::card
