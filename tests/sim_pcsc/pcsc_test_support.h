// Shared fixture for the PC/SC double's tests: a fresh world and one
// context per test, a check that no reader transaction was left open, and
// result comparisons that print PC/SC code names.
#pragma once

#include <winscard.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "sim/pcsc/pcsc_double.h"
#include "tests/sim_pcsc/scripted_card.h"

namespace zorad::sim::pcsc::testing {

// "SCARD_W_REMOVED_CARD", or the value in hexadecimal.
std::string ScardName(LONG rv);

#define EXPECT_SCARD(expected, call) \
  EXPECT_EQ(ScardName(expected), ScardName(call))
#define ASSERT_SCARD(expected, call) \
  ASSERT_EQ(ScardName(expected), ScardName(call))

class PcscTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Adds a reader holding a fresh scripted card.
  std::shared_ptr<ScriptedCard> ReaderWithCard(const std::string& reader,
                                               const ReaderOptions& options = {});
  // Shared connection with T=0 or T=1; 0 on failure (the failure is reported).
  SCARDHANDLE Connect(const std::string& reader, DWORD* protocol = nullptr);
  SCARDHANDLE ConnectDirect(const std::string& reader);

  SCARDCONTEXT context_ = 0;
};

}  // namespace zorad::sim::pcsc::testing
