// The login state after a login or logout that the card's removal cut
// short. A card out of the reader keeps no PIN verification, so the slot
// must not go on reporting the user as logged in, and refusing the next
// login as "already logged in".
#include <gtest/gtest.h>

#include "faults/fault_world.h"
#include "faults/operations.h"
#include "sim/pcsc/pcsc_double.h"
#include "support/ckr_names.h"

namespace zorad::test::faults {
namespace {

class LoginStateTest : public ::testing::Test {
 protected:
  void TearDown() override {
    world_.Stop();
    EXPECT_EQ(0u, sim::pcsc::LeakedTransactions());
  }
  CardWorld world_;
};

TEST_F(LoginStateTest, CardPulledDuringLoginOrLogout) {
  struct Case {
    const char* what;
    bool loggedIn;      // before the call
    uint32_t removeAt;  // 0: the card is out of the reader before the call
  };
  // A login sends SELECT and VERIFY.
  const Case cases[] = {
      {"login, the card pulled at the SELECT", false, 1},
      {"login, the card pulled at the VERIFY", false, 2},
      {"logout with the card already gone", true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    world_.Start(StartingCard());
    const CK_SESSION_HANDLE session = world_.OpenSession();
    if (c.loggedIn) {
      ASSERT_CKR(CKR_OK, LoginUser(session));
    }
    world_.card().ClearLog();
    if (c.removeAt == 0) {
      ASSERT_TRUE(sim::pcsc::RemoveCard(kFaultReader));
      EXPECT_NE(CKR_OK, C_Logout(session));
    } else {
      world_.card().RemoveAt(c.removeAt);
      EXPECT_NE(CKR_OK, LoginUser(session));
      ASSERT_FALSE(world_.card().IsPresent());
    }
    // The pulled card ended its sessions, and with them the login.
    CK_SESSION_INFO info{};
    EXPECT_CKR(CKR_SESSION_HANDLE_INVALID, C_GetSessionInfo(session, &info));
    EXPECT_EQ(0u, sim::pcsc::OpenTransactions());
  }
}

}  // namespace
}  // namespace zorad::test::faults
