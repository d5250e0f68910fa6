#include "store/attribute_rules.h"

#include <algorithm>
#include <array>
#include <optional>
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

// What a change (C_SetAttributeValue) may do to an attribute.
enum class Change : uint8_t {
  kFree,
  kFixed,         // what the object is, where it lives, who may read it, its history
  kFixedForKeys,  // a key's value lives in the card's key slot only
  kOnlyToTrue,    // a sensitive key never becomes readable again
  kOnlyToFalse,   // nor does a key that was made unextractable
};

struct AttributeRule {
  uint32_t type;
  uint8_t classes;  // the classes that may carry it at creation
  Change change = Change::kFree;
};

// Every attribute type a token object may carry at creation, by class, and
// what may change later. Types not listed are allowed for no class.
constexpr std::array<AttributeRule, 29> kAttributeRules{{
    {CKA_CLASS, kAnyClass, Change::kFixed},
    {CKA_TOKEN, kAnyClass, Change::kFixed},
    {CKA_PRIVATE, kAnyClass, Change::kFixed},
    {CKA_LABEL, kAnyClass},
    {CKA_APPLICATION, kData},
    {CKA_VALUE, kAnyClass, Change::kFixedForKeys},
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
    {CKA_SENSITIVE, kPrivateKey, Change::kOnlyToTrue},
    {CKA_SIGN, kPrivateKey},
    {CKA_VERIFY, kPublicKey},
    {CKA_START_DATE, kCertificate | kKeys},
    {CKA_END_DATE, kCertificate | kKeys},
    {CKA_EXTRACTABLE, kPrivateKey, Change::kOnlyToFalse},
    {CKA_LOCAL, kKeys, Change::kFixed},
    {CKA_NEVER_EXTRACTABLE, kPrivateKey, Change::kFixed},
    {CKA_ALWAYS_SENSITIVE, kPrivateKey, Change::kFixed},
    {CKA_MODIFIABLE, kAnyClass},
    {CKA_GOSTR3410_PARAMS, kKeys},
    {CKA_GOSTR3411_PARAMS, kKeys},
    {CKA_GOST28147_PARAMS, kKeys},
}};

Change ChangeOf(uint32_t type) {
  for (const AttributeRule& r : kAttributeRules) {
    if (r.type == type) return r.change;
  }
  return Change::kFree;
}

// Boolean attributes: the first byte counts, an empty value reads false.
std::optional<bool> BoolOf(const AttributeList& list, uint32_t type) {
  const auto it = list.find(type);
  if (it == list.end()) return std::nullopt;
  return !it->second.empty() && it->second.front() != 0;
}

// The object class of a list, in the card's 4-byte little-endian form.
std::optional<uint32_t> ClassOf(const AttributeList& list) {
  const auto it = list.find(CKA_CLASS);
  if (it == list.end()) return std::nullopt;
  uint32_t value = 0;
  for (size_t i = 0; i < it->second.size() && i < 4; ++i) value |= uint32_t{it->second[i]} << (8 * i);
  return value;
}

bool IsKeyClass(std::optional<uint32_t> objectClass) {
  return objectClass == CKO_PUBLIC_KEY || objectClass == CKO_PRIVATE_KEY ||
         objectClass == CKO_SECRET_KEY;
}

bool IsSecretKeyClass(std::optional<uint32_t> objectClass) {
  return objectClass == CKO_PRIVATE_KEY || objectClass == CKO_SECRET_KEY;
}

void Set(AttributeList& list, uint32_t type, bool value) {
  list[type] = {static_cast<uint8_t>(value ? 1 : 0)};
}

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

CK_RV CheckAttributeChange(const AttributeList& current, const AttributeList& values) {
  const bool key = IsKeyClass(ClassOf(current)) || IsKeyClass(ClassOf(values));
  for (const auto& [type, value] : values) {
    const bool wanted = !value.empty() && value.front() != 0;
    switch (ChangeOf(type)) {
      case Change::kFree:
        break;
      case Change::kFixed:
        return CKR_ATTRIBUTE_READ_ONLY;
      case Change::kFixedForKeys:
        if (key) return CKR_ATTRIBUTE_READ_ONLY;
        break;
      case Change::kOnlyToTrue:
        if (!wanted && BoolOf(current, type).value_or(false)) return CKR_ATTRIBUTE_READ_ONLY;
        break;
      case Change::kOnlyToFalse:
        if (wanted && !BoolOf(current, type).value_or(true)) return CKR_ATTRIBUTE_READ_ONLY;
        break;
    }
  }
  return CKR_OK;
}

bool ValueIsSensitive(const AttributeList& attributes, bool onCard) {
  if (!IsSecretKeyClass(ClassOf(attributes))) return false;
  if (onCard) return true;
  const bool revealed = !BoolOf(attributes, CKA_SENSITIVE).value_or(true) &&
                        BoolOf(attributes, CKA_EXTRACTABLE).value_or(false);
  return !revealed;
}

void AddKeyOrigin(AttributeList& key, KeyOrigin origin) {
  if (!IsSecretKeyClass(ClassOf(key))) return;
  const bool generated = origin == KeyOrigin::kGeneratedOnCard;
  // A key made on the card never left it; an imported one keeps what it
  // was given, sensitive and unextractable unless it says otherwise.
  const bool sensitive = generated || BoolOf(key, CKA_SENSITIVE).value_or(true);
  const bool extractable = !generated && BoolOf(key, CKA_EXTRACTABLE).value_or(false);
  Set(key, CKA_SENSITIVE, sensitive);
  Set(key, CKA_EXTRACTABLE, extractable);
  Set(key, CKA_ALWAYS_SENSITIVE, generated);
  Set(key, CKA_NEVER_EXTRACTABLE, generated);
  Set(key, CKA_LOCAL, generated);
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
