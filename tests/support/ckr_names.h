// PKCS#11 result codes by name, so that a failed expectation reads
// "CKR_PIN_INCORRECT", not 160.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/cryptoki.h"

namespace zorad::test {

std::string CkrName(CK_RV rv);

inline ::testing::AssertionResult CkrEquals(const char* expectedText, const char* callText,
                                            CK_RV expected, CK_RV actual) {
  if (expected == actual) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << callText << " returned " << CkrName(actual) << ", expected "
         << CkrName(expected) << " (" << expectedText << ")";
}

}  // namespace zorad::test

#define EXPECT_CKR(expected, call) \
  EXPECT_PRED_FORMAT2(::zorad::test::CkrEquals, expected, call)
#define ASSERT_CKR(expected, call) \
  ASSERT_PRED_FORMAT2(::zorad::test::CkrEquals, expected, call)
