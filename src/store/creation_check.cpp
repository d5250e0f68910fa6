#include "store/creation_check.h"

#include "store/attribute_rules.h"
#include "store/record_body.h"

namespace zorad::store {
namespace {

// A parameter set named by a template must be the token's own; none is
// fine.
CK_RV CheckOptionalParamSet(const card::Token& token, const TemplateSummary& s) {
  if (s.paramSet == kParamSetAbsent || s.paramSet == token.info.gostParamSet) return CKR_OK;
  return CKR_DOMAIN_PARAMS_INVALID;
}

CK_RV CheckPublicKeyImport(const card::Token& token, const TemplateSummary& s, bool keyPair) {
  if (keyPair) return CKR_GENERAL_ERROR;
  if (s.keyType != CKK_GOSTR3410 || s.value.empty()) return CKR_ATTRIBUTE_VALUE_INVALID;
  // The value is sent as its two coordinates, each reversed: an odd length
  // has no such split, and one command carries at most 255 bytes.
  if (s.value.size() % 2 != 0 || s.value.size() > kMaxKeyValueLength) {
    return CKR_ATTRIBUTE_VALUE_INVALID;
  }
  return CheckOptionalParamSet(token, s);
}

CK_RV CheckPrivateKeyImport(const card::Token& token, const TemplateSummary& s, bool keyPair) {
  if (keyPair) return CKR_GENERAL_ERROR;
  if (s.keyType != CKK_GOSTR3410) return CKR_ATTRIBUTE_VALUE_INVALID;
  // The length goes to the card as one byte.
  if (s.value.size() > kMaxKeyValueLength) return CKR_ATTRIBUTE_VALUE_INVALID;
  return CheckOptionalParamSet(token, s);
}

CK_RV CheckGeneration(const card::Token& token, const TemplateSummary& first,
                      const AttributeList* second, bool keyPair, CreationPlan& plan) {
  if (!keyPair) return CKR_GENERAL_ERROR;
  plan.second = SummarizeAttributes(*second);
  const TemplateSummary& pub = plan.second;
  if (first.keyType != CKK_GOSTR3410 || pub.objectClass != CKO_PUBLIC_KEY ||
      pub.keyType != CKK_GOSTR3410 || second->count(CKA_VALUE) != 0) {
    return CKR_ATTRIBUTE_VALUE_INVALID;
  }
  if (!CheckTemplateAttributes(CKO_PUBLIC_KEY, *second)) return CKR_ATTRIBUTE_VALUE_INVALID;
  if (first.paramSet != kParamSetAbsent) return CKR_ATTRIBUTE_TYPE_INVALID;
  if (pub.paramSet == kParamSetAbsent || pub.paramSet != token.info.gostParamSet) {
    return CKR_DOMAIN_PARAMS_INVALID;
  }
  return CKR_OK;
}

CK_RV CheckByClass(const card::Token& token, const AttributeList* second, bool keyPair,
                   CreationPlan& plan) {
  const TemplateSummary& s = plan.first;
  switch (s.objectClass) {
    case CKO_DATA:
    case CKO_CERTIFICATE:
      // A second object would get neither identifier nor key reference.
      if (keyPair) return CKR_GENERAL_ERROR;
      plan.path = CreationPath::kPlainObject;
      return CKR_OK;
    case CKO_PUBLIC_KEY:
      plan.path = CreationPath::kPublicKeyImport;
      return CheckPublicKeyImport(token, s, keyPair);
    case CKO_PRIVATE_KEY:
      if (!s.value.empty()) {
        plan.path = CreationPath::kPrivateKeyImport;
        return CheckPrivateKeyImport(token, s, keyPair);
      }
      plan.path = CreationPath::kKeyPairGeneration;
      plan.keyPair = true;
      return CheckGeneration(token, s, second, keyPair, plan);
    default:
      return CKR_FUNCTION_FAILED;
  }
}

}  // namespace

CK_RV CheckCreationTemplates(const card::Token& token, const AttributeList& first,
                             const AttributeList* second, bool keyPair, CreationPlan& plan) {
  plan = CreationPlan{};
  plan.first = SummarizeAttributes(first);
  if (!CheckTemplateAttributes(plan.first.objectClass, first)) return CKR_ATTRIBUTE_VALUE_INVALID;
  CK_RV rv = CheckByClass(token, second, keyPair, plan);
  if (rv != CKR_OK) return rv;
  rv = CheckRepresentable(first, plan.first.isKey);
  if (rv == CKR_OK && plan.keyPair) rv = CheckRepresentable(*second, true);
  return rv;
}

}  // namespace zorad::store
