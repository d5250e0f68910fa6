#include "api/integer_attributes.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "session/attribute_values.h"

namespace zorad::api {
namespace {

// Every attribute type whose value is a CK_ULONG.
constexpr std::array<CK_ATTRIBUTE_TYPE, 9> kIntegerAttributes = {
    CKA_CLASS,
    CKA_KEY_TYPE,
    CKA_CERTIFICATE_TYPE,
    CKA_CERTIFICATE_CATEGORY,
    CKA_VALUE_LEN,
    CKA_KEY_GEN_MECHANISM,
    CKA_MECHANISM_TYPE,
    CKA_HW_FEATURE_TYPE,
    CKA_JAVA_MIDP_SECURITY_DOMAIN,
};

constexpr size_t kCardIntegerSize = 4;
constexpr bool kWideIntegers = sizeof(CK_ULONG) == 8;

CK_ULONG ReadNative(const std::vector<uint8_t>& value) {
  CK_ULONG number = 0;
  std::memcpy(&number, value.data(), sizeof number);
  return number;
}

std::vector<uint8_t> CardForm(CK_ULONG number) {
  std::vector<uint8_t> bytes(kCardIntegerSize);
  for (size_t i = 0; i < kCardIntegerSize; ++i) bytes[i] = static_cast<uint8_t>(number >> (8 * i));
  return bytes;
}

std::vector<uint8_t> NativeForm(const std::vector<uint8_t>& card) {
  CK_ULONG number = 0;
  for (size_t i = 0; i < kCardIntegerSize; ++i) number |= static_cast<CK_ULONG>(card[i]) << (8 * i);
  std::vector<uint8_t> bytes(sizeof number);
  std::memcpy(bytes.data(), &number, sizeof number);
  return bytes;
}

}  // namespace

bool IsIntegerAttribute(CK_ATTRIBUTE_TYPE type) {
  return std::find(kIntegerAttributes.begin(), kIntegerAttributes.end(), type) !=
         kIntegerAttributes.end();
}

CK_RV NarrowIntegerAttributes(store::AttributeList& list) {
  if constexpr (kWideIntegers) {
    // Checked whole first, so a refused list stays as it was.
    for (const auto& [type, value] : list) {
      if (IsIntegerAttribute(type) && value.size() == sizeof(CK_ULONG) &&
          ReadNative(value) > 0xFFFFFFFFu) {
        return CKR_ATTRIBUTE_VALUE_INVALID;
      }
    }
    for (auto& [type, value] : list) {
      if (IsIntegerAttribute(type) && value.size() == sizeof(CK_ULONG)) {
        value = CardForm(ReadNative(value));
      }
    }
  }
  return CKR_OK;
}

void WidenIntegerAttributes(store::AttributeList& list) {
  if constexpr (kWideIntegers) {
    for (auto& [type, value] : list) {
      if (IsIntegerAttribute(type) && value.size() == kCardIntegerSize) value = NativeForm(value);
    }
  }
}

CK_RV ApplicationTemplate(const CK_ATTRIBUTE* pTemplate, CK_ULONG count,
                          store::AttributeList& list) {
  const CK_RV rv = session::TemplateToAttributeList(pTemplate, count, list);
  if (rv != CKR_OK) return rv;
  return NarrowIntegerAttributes(list);
}

CK_RV ServeApplicationTemplate(const store::AttributeList& stored, CK_ATTRIBUTE* pTemplate,
                               CK_ULONG count, bool valueSensitive) {
  if constexpr (kWideIntegers) {
    store::AttributeList widened = stored;
    const store::WipedOnExit wiped(widened);
    WidenIntegerAttributes(widened);
    return session::GetAttributeValues(widened, pTemplate, count, valueSensitive);
  } else {
    return session::GetAttributeValues(stored, pTemplate, count, valueSensitive);
  }
}

}  // namespace zorad::api
