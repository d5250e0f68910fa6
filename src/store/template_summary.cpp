#include "store/template_summary.h"

#include <algorithm>
#include <array>

#include "platform/cryptoki.h"
#include "store/record_body.h"

namespace zorad::store {
namespace {

struct ParamSet {
  std::array<uint8_t, 9> der;
  uint8_t code;
};

// DER object identifiers 1.2.643.2.2.35.{1,2,3,0} and the card's numbers.
constexpr std::array<ParamSet, 4> kParamSets{{
    {{0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01}, 2},
    {{0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x02}, 1},
    {{0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x03}, 3},
    {{0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x00}, 4},
}};

// The first 4 bytes, little-endian; fewer bytes are zero-extended.
uint32_t LoadInteger(const std::vector<uint8_t>& value) {
  uint32_t v = 0;
  const size_t n = std::min<size_t>(value.size(), 4);
  for (size_t i = 0; i < n; ++i) v |= uint32_t{value[i]} << (8 * i);
  return v;
}

const std::vector<uint8_t>* Find(const AttributeList& list, uint32_t type) {
  const auto it = list.find(type);
  return it == list.end() ? nullptr : &it->second;
}

}  // namespace

uint8_t ParamSetCode(std::span<const uint8_t> der) {
  for (const auto& set : kParamSets) {
    if (std::equal(der.begin(), der.end(), set.der.begin(), set.der.end())) return set.code;
  }
  return kParamSetUnknown;
}

TemplateSummary SummarizeAttributes(const AttributeList& list) {
  TemplateSummary s;
  if (const auto* cls = Find(list, CKA_CLASS)) {
    s.objectClass = LoadInteger(*cls);
    s.isKey = s.objectClass == CKO_PUBLIC_KEY || s.objectClass == CKO_PRIVATE_KEY;
  }
  if (const auto* kt = Find(list, CKA_KEY_TYPE)) s.keyType = LoadInteger(*kt);
  if (const auto* v = Find(list, CKA_VALUE)) s.value = *v;
  if (const auto* p = Find(list, CKA_PRIVATE)) s.isPrivate = !p->empty() && (*p)[0] != 0;
  if (const auto* ps = Find(list, CKA_GOSTR3410_PARAMS)) s.paramSet = ParamSetCode(*ps);
  for (const auto& [type, value] : list) {
    if (!(s.isKey && type == CKA_VALUE)) s.bodySize += kAttributeRecordHeader + value.size();
  }
  return s;
}

}  // namespace zorad::store
