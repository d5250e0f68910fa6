#include "session/attribute_values.h"

#include <cstring>

namespace zorad::session {

CK_RV TemplateToAttributeList(const CK_ATTRIBUTE* pTemplate, CK_ULONG count,
                              store::AttributeList& list) {
  if (count == 0) return CKR_OK;
  if (pTemplate == nullptr) return CKR_ARGUMENTS_BAD;
  // Checked whole before anything is added, so a refused template leaves
  // the list as it was.
  for (CK_ULONG i = 0; i < count; ++i) {
    const CK_ATTRIBUTE& attribute = pTemplate[i];
    if (attribute.type > 0xFFFFFFFFu) return CKR_ATTRIBUTE_TYPE_INVALID;
    if (attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION) return CKR_ATTRIBUTE_VALUE_INVALID;
    if (attribute.pValue == nullptr && attribute.ulValueLen != 0) return CKR_ARGUMENTS_BAD;
  }
  for (CK_ULONG i = 0; i < count; ++i) {
    const CK_ATTRIBUTE& attribute = pTemplate[i];
    const auto* bytes = static_cast<const uint8_t*>(attribute.pValue);
    list[static_cast<uint32_t>(attribute.type)].assign(bytes, bytes + attribute.ulValueLen);
  }
  return CKR_OK;
}

CK_RV GetAttributeValues(const store::AttributeList& list, CK_ATTRIBUTE* pTemplate,
                         CK_ULONG count, bool valueSensitive) {
  if (count != 0 && pTemplate == nullptr) return CKR_ARGUMENTS_BAD;
  CK_RV rv = CKR_OK;
  for (CK_ULONG i = 0; i < count; ++i) {
    CK_ATTRIBUTE& attribute = pTemplate[i];
    const auto it = attribute.type > 0xFFFFFFFFu ? list.end()
                                                 : list.find(static_cast<uint32_t>(attribute.type));
    if (valueSensitive && attribute.type == CKA_VALUE) {
      attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
      rv = CKR_ATTRIBUTE_SENSITIVE;
    } else if (it == list.end()) {
      attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
      rv = CKR_ATTRIBUTE_TYPE_INVALID;
    } else if (attribute.pValue == nullptr) {
      attribute.ulValueLen = it->second.size();
    } else if (attribute.ulValueLen < it->second.size()) {
      attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
      rv = CKR_BUFFER_TOO_SMALL;
    } else {
      if (!it->second.empty()) std::memcpy(attribute.pValue, it->second.data(), it->second.size());
      attribute.ulValueLen = it->second.size();
    }
  }
  return rv;
}

bool TemplateMatches(const store::AttributeList& searchTemplate,
                     const store::AttributeList& attributes) {
  for (const auto& [type, value] : searchTemplate) {
    const auto it = attributes.find(type);
    if (it == attributes.end() || it->second != value) return false;
  }
  return true;
}

bool AttributeIsTrue(const store::AttributeList& attributes, uint32_t type) {
  const auto it = attributes.find(type);
  return it != attributes.end() && !it->second.empty() && it->second.front() != 0;
}

bool HasAttribute(const store::AttributeList& attributes, uint32_t type) {
  return attributes.count(type) != 0;
}

}  // namespace zorad::session
