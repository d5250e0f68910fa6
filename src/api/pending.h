// The answer of an entry point whose body is not part of this build yet.
#pragma once

#include "platform/cryptoki.h"

namespace zorad::api {

inline CK_RV NotAvailableYet() { return CKR_FUNCTION_NOT_SUPPORTED; }

}  // namespace zorad::api
