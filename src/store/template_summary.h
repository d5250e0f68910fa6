// What the store needs to know about an attribute list before it writes it:
// class, key type, key value, area, record size and GOST parameter set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "store/token_object.h"

namespace zorad::store {

// Parameter-set codes of the card (RFC 4357 GOST R 34.10-2001 sets).
inline constexpr uint8_t kParamSetAbsent = 0;
inline constexpr uint8_t kParamSetUnknown = 0xFF;

struct TemplateSummary {
  uint32_t objectClass = 0;           // CKA_CLASS, 0 if absent
  uint32_t keyType = 0;               // CKA_KEY_TYPE, 0 if absent
  std::span<const uint8_t> value;     // CKA_VALUE bytes (a view into the list)
  bool isPrivate = false;             // CKA_PRIVATE's first byte non-zero
  bool isKey = false;                 // class public key or private key
  size_t bodySize = 0;                // body bytes; CKA_VALUE left out for keys
  uint8_t paramSet = kParamSetAbsent; // code of CKA_GOSTR3410_PARAMS
};

// One pass over the list. Integer values are the card's 4-byte
// little-endian form; shorter values read zero-extended. The summary's
// `value` stays valid while the list is unchanged.
TemplateSummary SummarizeAttributes(const AttributeList& list);

// The card's code for a CKA_GOSTR3410_PARAMS value: 1 to 4 for the known
// object identifiers, 0xFF for anything else.
uint8_t ParamSetCode(std::span<const uint8_t> der);

}  // namespace zorad::store
