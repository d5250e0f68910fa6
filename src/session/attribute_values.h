// Moving attribute values between the application's CK_ATTRIBUTE templates
// and AttributeLists, and the tests on them. No card access.
#pragma once

#include <cstdint>

#include "platform/cryptoki.h"
#include "store/token_object.h"

namespace zorad::session {

// Each template attribute's value bytes under its type; a later duplicate
// replaces an earlier one. CKR_ARGUMENTS_BAD for a null template with a
// non-zero count or a null value with a non-zero length (nothing is added
// then); CKR_ATTRIBUTE_TYPE_INVALID for a type the store cannot hold.
CK_RV TemplateToAttributeList(const CK_ATTRIBUTE* pTemplate, CK_ULONG count,
                              store::AttributeList& list);

// Serves the application's template from the list: an absent type gives
// CK_UNAVAILABLE_INFORMATION and CKR_ATTRIBUTE_TYPE_INVALID, a null pValue
// the length, a buffer too small CK_UNAVAILABLE_INFORMATION and
// CKR_BUFFER_TOO_SMALL; a key's CKA_VALUE that stays hidden (`valueSensitive`)
// CK_UNAVAILABLE_INFORMATION and CKR_ATTRIBUTE_SENSITIVE; every entry is
// processed and the code of the last failing one is returned.
CK_RV GetAttributeValues(const store::AttributeList& list, CK_ATTRIBUTE* pTemplate, CK_ULONG count,
                         bool valueSensitive = false);

// True when every attribute of `searchTemplate` is in `attributes` with the
// same bytes; an empty template matches everything.
bool TemplateMatches(const store::AttributeList& searchTemplate,
                     const store::AttributeList& attributes);

// A Boolean attribute: only the first value byte counts; absent or empty
// reads false.
bool AttributeIsTrue(const store::AttributeList& attributes, uint32_t type);

// True when the attribute is present.
bool HasAttribute(const store::AttributeList& attributes, uint32_t type);

}  // namespace zorad::session
