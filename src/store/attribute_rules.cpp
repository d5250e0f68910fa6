#include "store/attribute_rules.h"

#include <algorithm>
#include <array>
#include <vector>

#include "platform/cryptoki.h"
#include "trace/trace.h"

namespace zorad::store {
namespace {

// Classes as bits of a rule.
enum : uint8_t {
  kData = 1 << CKO_DATA,
  kCertificate = 1 << CKO_CERTIFICATE,
  kPublicKey = 1 << CKO_PUBLIC_KEY,
  kPrivateKey = 1 << CKO_PRIVATE_KEY,
  kKeys = kPublicKey | kPrivateKey,
  kOtherClass = 0x80,  // any class the store does not create
  kAnyClass = 0xFF,
};

struct AttributeRule {
  uint32_t type;
  uint8_t classes;
};

// Every attribute type a token object may carry at creation, by class.
// Types not listed are allowed for no class.
constexpr std::array<AttributeRule, 29> kAttributeRules{{
    {CKA_CLASS, kAnyClass},
    {CKA_TOKEN, kAnyClass},
    {CKA_PRIVATE, kAnyClass},
    {CKA_LABEL, kAnyClass},
    {CKA_APPLICATION, kData},
    {CKA_VALUE, kAnyClass},
    {CKA_OBJECT_ID, kData},
    {CKA_CERTIFICATE_TYPE, kCertificate},
    {CKA_ISSUER, kCertificate},
    {CKA_SERIAL_NUMBER, kCertificate},
    {CKA_TRUSTED, kCertificate},
    {CKA_CERTIFICATE_CATEGORY, kCertificate},
    {CKA_CHECK_VALUE, kCertificate},
    {CKA_KEY_TYPE, kKeys},
    {CKA_SUBJECT, kCertificate | kKeys},
    {CKA_ID, kCertificate | kKeys},
    {CKA_SENSITIVE, kPrivateKey},
    {CKA_SIGN, kPrivateKey},
    {CKA_VERIFY, kPublicKey},
    {CKA_START_DATE, kCertificate | kKeys},
    {CKA_END_DATE, kCertificate | kKeys},
    {CKA_EXTRACTABLE, kPrivateKey},
    {CKA_LOCAL, kKeys},
    {CKA_NEVER_EXTRACTABLE, kPrivateKey},
    {CKA_ALWAYS_SENSITIVE, kPrivateKey},
    {CKA_MODIFIABLE, kAnyClass},
    {CKA_GOSTR3410_PARAMS, kKeys},
    {CKA_GOSTR3411_PARAMS, kKeys},
    {CKA_GOST28147_PARAMS, kKeys},
}};

// The bit of a class in a rule; classes beyond private key match only the
// rules open to any class.
uint8_t ClassBit(uint32_t objectClass) {
  return objectClass <= CKO_PRIVATE_KEY ? static_cast<uint8_t>(1u << objectClass)
                                        : uint8_t{kOtherClass};
}

void TraceBadAttribute(uint32_t type, const AttributeList& list) {
  if (!trace::Enabled(trace::kDetail)) return;
  trace::DebugPrintf("Bad attribute: %d (%x)", static_cast<int>(type), type);
  std::vector<uint8_t> lowBytes;
  lowBytes.reserve(list.size());
  for (const auto& entry : list) lowBytes.push_back(static_cast<uint8_t>(entry.first));
  trace::DebugDump("attributes list on bad attribute: ", lowBytes.data(), lowBytes.size(), false);
}

}  // namespace

bool AttributeAllowed(uint32_t objectClass, uint32_t type) {
  const uint8_t bit = ClassBit(objectClass);
  return std::any_of(kAttributeRules.begin(), kAttributeRules.end(),
                     [&](const AttributeRule& r) { return r.type == type && (r.classes & bit); });
}

bool CheckTemplateAttributes(uint32_t objectClass, const AttributeList& list) {
  for (const auto& entry : list) {
    if (AttributeAllowed(objectClass, entry.first)) continue;
    TraceBadAttribute(entry.first, list);
    return false;
  }
  return true;
}

}  // namespace zorad::store
