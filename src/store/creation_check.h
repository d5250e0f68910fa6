// The checks a creation request passes before the card is touched: which
// path it takes (plain object, key import, key pair generation) and whether
// its templates are acceptable for that path.
#pragma once

#include <cstdint>

#include "card/token.h"
#include "platform/cryptoki.h"
#include "store/template_summary.h"
#include "store/token_object.h"

namespace zorad::store {

enum class CreationPath : uint8_t {
  kPlainObject,        // data object or certificate: no key reference
  kPublicKeyImport,    // value to a key slot of the public range
  kPrivateKeyImport,   // value to a key slot of the private range
  kKeyPairGeneration,  // the card generates the pair in a private-range slot
};

struct CreationPlan {
  CreationPath path = CreationPath::kPlainObject;
  TemplateSummary first;
  TemplateSummary second;  // key pair generation only
  bool keyPair = false;    // a second object is written
};

// Largest key value one CHANGE REFERENCE DATA can carry.
inline constexpr size_t kMaxKeyValueLength = 255;

// Classifies the request and checks its templates, in this order: the
// per-class attribute rules of the first template, the class's own rules
// (key type, value, parameter set against the token's), then whether the
// records can be stored at all. `keyPair` is true when a second output and
// a second template were given. CKR_OK fills `plan`.
CK_RV CheckCreationTemplates(const card::Token& token, const AttributeList& first,
                             const AttributeList* second, bool keyPair, CreationPlan& plan);

}  // namespace zorad::store
