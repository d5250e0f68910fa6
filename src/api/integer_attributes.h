// Integer attribute values at the application boundary.
//
// The card keeps CK_ULONG-typed attribute values as 4 bytes little-endian on
// every platform, so that a card written on one reads right on the other.
// Where CK_ULONG is 8 bytes, values coming from the application are narrowed
// before anything else sees them and stored values are widened when handed
// out; where it is 4 bytes both directions are the identity.
#pragma once

#include <cstdint>

#include "platform/cryptoki.h"
#include "store/token_object.h"

namespace zorad::api {

// True for the attribute types whose value is a CK_ULONG.
bool IsIntegerAttribute(CK_ATTRIBUTE_TYPE type);

// Narrows every integer attribute of the list that carries a whole CK_ULONG
// to the card's 4-byte form. CKR_ATTRIBUTE_VALUE_INVALID, with the list
// unchanged, for a value above 0xFFFFFFFF.
CK_RV NarrowIntegerAttributes(store::AttributeList& list);

// Widens every 4-byte integer attribute of the list to a CK_ULONG.
void WidenIntegerAttributes(store::AttributeList& list);

// The application's template as the card keeps it: TemplateToAttributeList
// followed by NarrowIntegerAttributes. For every entry point that takes a
// template (create, set, search, key pair).
CK_RV ApplicationTemplate(const CK_ATTRIBUTE* pTemplate, CK_ULONG count,
                          store::AttributeList& list);

// Serves the application's template from a stored list, widening integer
// values first (GetAttributeValues of the session layer on a copy); a key
// value that stays hidden answers CKR_ATTRIBUTE_SENSITIVE.
CK_RV ServeApplicationTemplate(const store::AttributeList& stored, CK_ATTRIBUTE* pTemplate,
                               CK_ULONG count, bool valueSensitive = false);

}  // namespace zorad::api
