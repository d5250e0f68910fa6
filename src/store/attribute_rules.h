// The attribute rules, one table (attribute_rules.cpp): which attribute
// types a token object of each class may carry when it is created (only the
// types are checked, never the values), what a later change may do to each,
// and which values are never handed out.
#pragma once

#include <cstdint>

#include "platform/cryptoki.h"
#include "store/token_object.h"

namespace zorad::store {

// Whether `type` is allowed for an object of class `objectClass` (0 data,
// 1 certificate, 2 public key, 3 private key). For any other class only the
// types common to every class pass.
bool AttributeAllowed(uint32_t objectClass, uint32_t type);

// Whether `values` may change an object that holds `current`: CKR_OK, or
// CKR_ATTRIBUTE_READ_ONLY for an attribute fixed at creation (class, token,
// private, local, always sensitive, never extractable, a key's value),
// CKA_SENSITIVE from true to false, CKA_EXTRACTABLE from false to true.
CK_RV CheckAttributeChange(const AttributeList& current, const AttributeList& values);

// Whether a private or secret key's CKA_VALUE stays hidden
// (CKR_ATTRIBUTE_SENSITIVE): always for a key on the card, whose value
// lives in a card key slot only; in memory unless the key was made neither
// sensitive nor unextractable.
bool ValueIsSensitive(const AttributeList& attributes, bool onCard);

enum class KeyOrigin : uint8_t { kImported, kGeneratedOnCard };

// Records in a private or secret key's attributes how it came to be: made
// on the card, it is sensitive, always sensitive, never extractable and
// local; imported, it keeps the CKA_SENSITIVE and CKA_EXTRACTABLE it was
// given (true and false when it was given none) and is neither always
// sensitive, never extractable nor local. Other classes are left alone.
void AddKeyOrigin(AttributeList& key, KeyOrigin origin);

// True when every type of `list` is allowed for `objectClass`. The first
// type that is not ends the check with false, after a detail trace naming it
// and a dump of the low byte of every type in the list.
bool CheckTemplateAttributes(uint32_t objectClass, const AttributeList& list);

}  // namespace zorad::store
