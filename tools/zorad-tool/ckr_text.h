// PKCS#11 result codes as administrators read them: the CKR_* name and one
// sentence on what to do about it.
#pragma once

#include <string>

#include "platform/cryptoki.h"
#include "tool_error.h"

namespace zorad::tool {

// "CKR_PIN_INCORRECT"; an unknown code as "CKR 0x...".
std::string CkrName(CK_RV rv);

// What to do, in one sentence; empty when there is nothing helpful to say.
std::string CkrAdvice(CK_RV rv);

// The exit code for a failure with this result.
ExitCode ExitCodeFor(CK_RV rv);

// "C_Login failed: CKR_PIN_INCORRECT. <advice>"; the advice given replaces
// the general one.
std::string CkrMessage(const char* function, CK_RV rv, const std::string& advice = {});

// Throws a ToolError for any result other than CKR_OK.
void CheckRv(const char* function, CK_RV rv);
[[noreturn]] void ThrowRv(const char* function, CK_RV rv, const std::string& advice = {});

}  // namespace zorad::tool
