// Card and PC/SC failures through WinSCard: every failing operation ends
// its reader transaction, reports a failure, and leaves a token that the
// next operation can use.
#include <gtest/gtest.h>

#include <string>

#include "windows_fixture.h"

namespace zorad::wintest {
namespace {

class FaultsTest : public UserSessionTest {};

TEST_F(FaultsTest, RandomBytesWhenTheCardOrTheServiceFails) {
  struct Case {
    const char* what;
    void (*arm)();
  };
  const Case cases[] = {
      {"GET CHALLENGE refused by the card",
       [] { Sim().CardAnswerMatching(kReader, -1, 0x84, 0x6581); }},
      {"second GET CHALLENGE refused", [] { Sim().CardAnswerAt(kReader, 3, 0x6A80); }},
      {"SCardTransmit fails", [] { Sim().FailNext(ZORAD_SIM_TRANSMIT, SCARD_F_COMM_ERROR, 1, 1); }},
      {"SCardBeginTransaction fails",
       [] { Sim().FailNext(ZORAD_SIM_BEGIN_TRANSACTION, SCARD_E_SHARING_VIOLATION, 1, 0); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.arm();
    uint8_t random[40];
    EXPECT_CKR(CKR_FUNCTION_FAILED, F().C_GenerateRandom(session_, random, sizeof random));
    EXPECT_EQ(0u, Sim().OpenTransactions());
    Sim().CardClearFaults(kReader);
    Sim().ClearFaults();
    EXPECT_CKR(CKR_OK, F().C_GenerateRandom(session_, random, sizeof random));
  }
}

// The card refuses its n-th command, for every n of one object creation:
// the creation fails or succeeds as a whole, and the token stays usable.
TEST_F(FaultsTest, ObjectCreationRefusedAtEveryCommand) {
  Template object;
  object.Ulong(CKA_CLASS, CKO_DATA).Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, true);
  object.Text(CKA_LABEL, "swept").Add(CKA_VALUE, Bytes(300, 0x5A));
  Template search;
  search.Text(CKA_LABEL, "swept");
  bool completed = false;
  int refused = 0;
  for (uint32_t n = 1; n <= 64 && !completed; ++n) {
    SCOPED_TRACE(n);
    Sim().CardAnswerAt(kReader, n, 0x6581);
    const uint32_t before = Sim().CardLogSize(kReader);
    CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
    const CK_RV rv = F().C_CreateObject(session_, object.data(), object.size(), &handle);
    // Fewer commands than n: the fault never fired.
    completed = Sim().CardLogSize(kReader) - before < n;
    Sim().CardClearFaults(kReader);
    EXPECT_EQ(0u, Sim().OpenTransactions());
    const std::vector<CK_OBJECT_HANDLE> found = FindAll(session_, search);
    if (rv == CKR_OK) {
      ASSERT_EQ(1u, found.size());
      EXPECT_EQ(Bytes(300, 0x5A), ReadAttribute(session_, found[0], CKA_VALUE));
      ASSERT_CKR(CKR_OK, F().C_DestroyObject(session_, found[0]));
    } else {
      ++refused;
      EXPECT_EQ(CK_INVALID_HANDLE, handle);
      EXPECT_TRUE(found.empty());
    }
  }
  EXPECT_TRUE(completed) << "the creation sent more than 64 commands";
  EXPECT_GE(refused, 5);  // reading the tables, writing the record, the table
}

}  // namespace
}  // namespace zorad::wintest
