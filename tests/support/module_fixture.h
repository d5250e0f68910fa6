// Test fixtures for the module: a clean PC/SC world before each test and a
// fully finalised module after it.
#pragma once

#include <gtest/gtest.h>

#include "platform/cryptoki.h"
#include "sim/pcsc/pcsc_double.h"
#include "support/ckr_names.h"

namespace zorad::test {

// Finalises the module however often it was initialised.
inline void FinalizeCompletely() {
  for (int i = 0; i < 16 && C_Finalize(nullptr) == CKR_OK; ++i) {
  }
}

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FinalizeCompletely();
    sim::pcsc::Reset();
  }
  void TearDown() override {
    FinalizeCompletely();
    EXPECT_EQ(0u, sim::pcsc::LeakedTransactions()) << "a reader transaction was never ended";
  }
};

// The module initialised with the built-in lock.
class InitializedTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    ASSERT_CKR(CKR_OK, C_Initialize(&args));
  }
};

}  // namespace zorad::test
