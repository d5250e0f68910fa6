// Slot IDs and the slot list: stable IDs per reader, the counter that goes
// on across initialisations, and the two-call protocol.
#include <gtest/gtest.h>

#include "slots/slots_fixture.h"

namespace zorad::test {
namespace {

using sim::pcsc::AddReader;
using sim::pcsc::RemoveReader;

class SlotTableTest : public SlotsTest {};

// Under ctest each case runs in a fresh process and the first slot is 1;
// run together, the counter goes on from earlier cases, so IDs are checked
// relative to the first one.
TEST_F(SlotTableTest, ReadersKeepTheirSlotIdsAndNewOnesGetHigherOnes) {
  ASSERT_TRUE(AddReader("Beta"));
  ASSERT_TRUE(AddReader("Alpha"));
  const std::vector<CK_SLOT_ID> first = SlotList();
  ASSERT_EQ(2u, first.size());
  const CK_SLOT_ID alpha = first[0];
  EXPECT_EQ(alpha + 1, first[1]);
  EXPECT_EQ("Alpha", Description(alpha));  // numbered in name order
  EXPECT_EQ("Beta", Description(alpha + 1));

  ASSERT_TRUE(RemoveReader("Alpha"));
  EXPECT_EQ(first, SlotList());  // an unplugged reader keeps its slot
  ASSERT_TRUE(AddReader("Alpha"));
  EXPECT_EQ(first, SlotList());
  ASSERT_TRUE(AddReader("Gamma"));
  EXPECT_EQ((std::vector<CK_SLOT_ID>{alpha, alpha + 1, alpha + 2}), SlotList());
  EXPECT_EQ("Gamma", Description(alpha + 2));

  ASSERT_CKR(CKR_OK, C_Finalize(nullptr));
  ASSERT_CKR(CKR_OK, C_Initialize(nullptr));
  EXPECT_EQ((std::vector<CK_SLOT_ID>{alpha + 3, alpha + 4, alpha + 5}), SlotList());
  EXPECT_EQ("Alpha", Description(alpha + 3));
  EXPECT_EQ("Beta", Description(alpha + 4));
  EXPECT_EQ("Gamma", Description(alpha + 5));
}

TEST_F(SlotTableTest, ListCallsCopyWhatTheLastCountQueryFound) {
  ASSERT_TRUE(AddReader("Alpha"));
  ASSERT_TRUE(AddReader("Beta"));
  CK_SLOT_ID ids[4] = {};
  CK_ULONG count = 4;
  // No count query yet in this initialisation: nothing is known.
  EXPECT_CKR(CKR_OK, C_GetSlotList(CK_FALSE, ids, &count));
  EXPECT_EQ(0u, count);

  const std::vector<CK_SLOT_ID> listed = SlotList();
  ASSERT_EQ(2u, listed.size());
  // A reader added after the count query is not in the copied list.
  ASSERT_TRUE(AddReader("Gamma"));
  count = 4;
  EXPECT_CKR(CKR_OK, C_GetSlotList(CK_TRUE, ids, &count));
  ASSERT_EQ(2u, count);
  EXPECT_EQ(listed, std::vector<CK_SLOT_ID>(ids, ids + 2));

  count = 1;
  EXPECT_CKR(CKR_BUFFER_TOO_SMALL, C_GetSlotList(CK_FALSE, ids, &count));
  EXPECT_EQ(2u, count);
  EXPECT_CKR(CKR_ARGUMENTS_BAD, C_GetSlotList(CK_FALSE, ids, nullptr));
}

TEST_F(SlotTableTest, TokenPresentFilter) {
  ASSERT_TRUE(AddReader("Alpha"));
  ASSERT_TRUE(AddReader("Beta"));
  ASSERT_TRUE(AddReader("Gamma"));
  InsertCard("Beta");
  ASSERT_TRUE(sim::pcsc::InsertCard("Gamma", std::make_shared<ForeignCard>()));
  const std::vector<CK_SLOT_ID> all = SlotList();
  ASSERT_EQ(3u, all.size());
  EXPECT_EQ(std::vector<CK_SLOT_ID>{all[1]}, SlotList(CK_TRUE));
}

TEST_F(SlotTableTest, WithoutReadersEverySlotSeenIsListedWithoutToken) {
  ASSERT_TRUE(AddReader("Alpha"));
  ASSERT_TRUE(AddReader("Beta"));
  InsertCard("Alpha");
  const std::vector<CK_SLOT_ID> all = SlotList();
  ASSERT_EQ(1u, SlotList(CK_TRUE).size());

  ASSERT_TRUE(RemoveReader("Alpha"));
  ASSERT_TRUE(RemoveReader("Beta"));
  EXPECT_EQ(all, SlotList());
  EXPECT_TRUE(SlotList(CK_TRUE).empty());
  for (CK_SLOT_ID id : all) EXPECT_FALSE(TokenPresent(id));
}

TEST_F(SlotTableTest, FailingReaderListIsAnError) {
  ASSERT_TRUE(AddReader("Alpha"));
  sim::pcsc::FailNext(sim::pcsc::Call::kListReaders, sim::pcsc::kInvalidHandle);
  CK_ULONG count = 0;
  EXPECT_CKR(CKR_FUNCTION_FAILED, C_GetSlotList(CK_FALSE, nullptr, &count));
  EXPECT_EQ(1u, SlotList().size());
}

}  // namespace
}  // namespace zorad::test
