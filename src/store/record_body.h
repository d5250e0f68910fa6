// The body of a token object record: attribute records one after another,
// no count and no terminator. Each record is
//   type   2 bytes, the low 16 bits of the attribute type (CKA_VENDOR_DEFINED
//          is written as 80 00 and 80 00 reads back as CKA_VENDOR_DEFINED)
//   length 2 bytes
//   value  `length` bytes, exactly as the application gave them
// all big-endian, in ascending type order.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "platform/cryptoki.h"
#include "store/token_object.h"

namespace zorad::store {

inline constexpr size_t kMaxBodySize = 0xFFFF;
inline constexpr size_t kMaxValueSize = 0xFFFF;
inline constexpr size_t kAttributeRecordHeader = 4;

// Whether a list can be stored as a body: CKR_ATTRIBUTE_TYPE_INVALID for a
// type the 2-byte field cannot carry, CKR_ATTRIBUTE_VALUE_INVALID for a
// value or a body over 65,535 bytes, else CKR_OK. Type 0x8000 is refused
// too: its bytes 80 00 read back as CKA_VENDOR_DEFINED. `leaveOutValue`
// leaves CKA_VALUE out of the body size, as for key objects.
CK_RV CheckRepresentable(const AttributeList& list, bool leaveOutValue);

// The body bytes of a representable list; CKA_VALUE is left out when
// `leaveOutValue`.
std::vector<uint8_t> EncodeBody(const AttributeList& list, bool leaveOutValue);

// Parses a body into `out` (replaced only on success; a later record of one
// type replaces an earlier one). A record that runs past the end of the body
// is CKR_DEVICE_ERROR, as a body failing its checksum is.
CK_RV DecodeBody(std::span<const uint8_t> body, AttributeList& out);

}  // namespace zorad::store
