// Which attribute types a token object of each class may carry when it is
// created. The rules are one table (attribute_rules.cpp); only the types are
// checked, never the values.
#pragma once

#include <cstdint>

#include "store/token_object.h"

namespace zorad::store {

// Whether `type` is allowed for an object of class `objectClass` (0 data,
// 1 certificate, 2 public key, 3 private key). For any other class only the
// types common to every class pass.
bool AttributeAllowed(uint32_t objectClass, uint32_t type);

// True when every type of `list` is allowed for `objectClass`. The first
// type that is not ends the check with false, after a detail trace naming it
// and a dump of the low byte of every type in the list.
bool CheckTemplateAttributes(uint32_t objectClass, const AttributeList& list);

}  // namespace zorad::store
