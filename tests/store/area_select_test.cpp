#include <gtest/gtest.h>

#include "card/area_select.h"
#include "store/toat.h"
#include "store_card_fixture.h"
#include "support/ckr_names.h"

namespace zorad::test {
namespace {

using card::SelectArea;

constexpr bool kPublic = false;
constexpr bool kPrivate = true;

Bytes Entries(const card::ObjectCache& cache) {
  const auto e = cache.toat()->Entries();
  return {e.begin(), e.end()};
}

class AreaSelectTest : public StoreCardTest {};

TEST_F(AreaSelectTest, FreshAreaReadsTableInOneCommand) {
  ASSERT_CKR(CKR_OK, SelectArea(slot_, kPublic));
  // SELECT 0009, then the 14-byte table at 640 + 128 = 0x0300.
  EXPECT_EQ((std::vector<Bytes>{{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x00, 0x09},
                                {0x00, 0xB0, 0x03, 0x00, 14}}),
            Commands());
  EXPECT_EQ(Bytes(10, 0), Entries(cache()));
  uint32_t free = 0;
  EXPECT_CKR(CKR_OK, store::FreeSpaceInTOAT(*slot_.token, free));
  EXPECT_EQ(640u, free);
}

TEST_F(AreaSelectTest, TableChecksumFailures) {
  struct Case {
    const char* what;
    Bytes table;  // checksum bytes and entries as on the card
    CK_RV rv;
  };
  const Case cases[] = {
      {"never formatted", Bytes(14, 0), CKR_TOKEN_NOT_RECOGNIZED},
      {"zero checksum, one entry used", {0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0},
       CKR_DEVICE_ERROR},
      {"valid checksum, wrong entries", {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0},
       CKR_DEVICE_ERROR},
  };
  for (const auto& c : cases) {
    WriteArea(kPublic, 768, c.table);
    cache().objectsStale = false;
    EXPECT_CKR(c.rv, SelectArea(slot_, kPublic)) << c.what;
    EXPECT_TRUE(cache().objectsStale) << c.what;
    // Nothing can be allocated from a table that failed.
    EXPECT_EQ(Bytes(10, 0xFF), Entries(cache())) << c.what;
    uint8_t ni = 0;
    uint16_t first = 0;
    EXPECT_CKR(CKR_DEVICE_MEMORY, store::CreateObjectInTOAT(*slot_.token, 17, ni, first));
  }
}

TEST_F(AreaSelectTest, ChangedFlagTracksOtherWriters) {
  bool changed = true;
  ASSERT_CKR(CKR_OK, SelectArea(slot_, kPublic, &changed));
  EXPECT_FALSE(changed) << "no earlier copy";
  ASSERT_CKR(CKR_OK, SelectArea(slot_, kPublic, &changed));
  EXPECT_FALSE(changed);
  WriteTable(kPublic, {0, 0, 3, 0, 0, 0, 0, 0, 0, 0});  // another process
  ASSERT_CKR(CKR_OK, SelectArea(slot_, kPublic, &changed));
  EXPECT_TRUE(changed);
  LoginUser();
  ASSERT_CKR(CKR_OK, SelectArea(slot_, kPrivate, &changed));
  EXPECT_FALSE(changed) << "the private area has no earlier copy";
  WriteTable(kPublic, Bytes(10, 0));
  ASSERT_CKR(CKR_OK, SelectArea(slot_, kPublic, &changed));
  EXPECT_TRUE(changed) << "each area keeps its own table";
}

TEST_F(AreaSelectTest, TableAfterAFailedReadCountsAsChanged) {
  bool changed = false;
  EXPECT_CKR(CKR_DEVICE_ERROR, SelectArea(slot_, kPrivate, &changed)) << "user not logged in";
  LoginUser();
  ASSERT_CKR(CKR_OK, SelectArea(slot_, kPrivate, &changed));
  EXPECT_TRUE(changed) << "the copy held was the poisoned one";
}

TEST_F(AreaSelectTest, UnusableDescriptorsFailWithoutCardAccess) {
  const card::AreaDescriptor bad[] = {
      {640, 0, 10, 16},         // block cannot hold a header
      {640, 0, 11, 64},         // blocks beyond the object space
      {0x7F80, 0, 10, 64},      // table starts beyond 0x7FFF
      {0x7E00, 0, 0x300, 17},   // table ends beyond 0x80FE
  };
  for (const auto& d : bad) {
    slot_.token->info.publicArea = d;
    cache().objectsStale = false;
    EXPECT_CKR(CKR_DEVICE_ERROR, SelectArea(slot_, kPublic));
    EXPECT_TRUE(cache().objectsStale);
    EXPECT_FALSE(cache().toat().has_value());
    EXPECT_CKR(CKR_GENERAL_ERROR, card::UpdateTOAT(slot_));
  }
  EXPECT_TRUE(Commands().empty());
}

TEST_F(AreaSelectTest, AreaWithoutBlocksReadsNothing) {
  slot_.token->info.publicArea = {0, 0, 0, 0};
  ASSERT_CKR(CKR_OK, SelectArea(slot_, kPublic));
  EXPECT_EQ(1u, Commands().size()) << "only the SELECT";
  uint8_t ni = 0;
  uint16_t first = 0;
  EXPECT_CKR(CKR_DEVICE_MEMORY, store::CreateObjectInTOAT(*slot_.token, 17, ni, first));
}

TEST_F(AreaSelectTest, SelectFailures) {
  card_->AnswerMatching({0x00, 0xA4}, 0x6A82);
  EXPECT_CKR(CKR_FUNCTION_FAILED, SelectArea(slot_, kPublic));
  EXPECT_CKR(CKR_FUNCTION_FAILED, card::SelectAreaFile(slot_, kPublic));
  card_->ClearFaults();
  card_->AnswerMatching({0x00, 0xB0}, 0x6581);
  cache().objectsStale = false;
  EXPECT_CKR(CKR_DEVICE_ERROR, SelectArea(slot_, kPublic));
  EXPECT_TRUE(cache().objectsStale);
}

TEST_F(AreaSelectTest, TableWriteAndBlockErasure) {
  // Blocks 0 and 1 used by object 1, block 2 by object 2, all holding data.
  WriteTable(kPublic, {1, 1, 2, 0, 0, 0, 0, 0, 0, 0});
  WriteArea(kPublic, 64, Bytes(3 * 64, 0xAB));
  ASSERT_CKR(CKR_OK, SelectArea(slot_, kPublic));
  const card::AllocationTable before = *cache().toat();
  ASSERT_CKR(CKR_OK, store::DeleteObjectFromTOAT(*slot_.token, 1));
  cache().toat()->Entries()[0] = 3;  // block 0 moves to another object: kept
  ClearLog();
  ASSERT_CKR(CKR_OK, card::ClearBlocksByTOAT(slot_, before));
  EXPECT_EQ(1u, Commands().size()) << "only block 1 went from used to free";
  ASSERT_CKR(CKR_OK, card::UpdateTOAT(slot_));
  const Bytes file = AreaFile(kPublic);
  EXPECT_EQ(Bytes(64, 0xAB), Bytes(file.begin() + 64, file.begin() + 128));
  EXPECT_EQ(Bytes(64, 0x00), Bytes(file.begin() + 128, file.begin() + 192));
  EXPECT_EQ(Bytes(64, 0xAB), Bytes(file.begin() + 192, file.begin() + 256));
  bool changed = false;
  ASSERT_CKR(CKR_OK, SelectArea(slot_, kPublic, &changed)) << "checksum written with the table";
  EXPECT_FALSE(changed);
  EXPECT_EQ((Bytes{3, 0, 2, 0, 0, 0, 0, 0, 0, 0}), Entries(cache()));
}

TEST_F(AreaSelectTest, WriteFailuresAreDeviceErrors) {
  WriteTable(kPublic, {1, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  ASSERT_CKR(CKR_OK, SelectArea(slot_, kPublic));
  const card::AllocationTable before = *cache().toat();
  ASSERT_CKR(CKR_OK, store::DeleteObjectFromTOAT(*slot_.token, 1));
  card_->AnswerMatching({0x00, 0xD6}, 0x6581);
  EXPECT_CKR(CKR_DEVICE_ERROR, card::ClearBlocksByTOAT(slot_, before));
  EXPECT_CKR(CKR_DEVICE_ERROR, card::UpdateTOAT(slot_));
}

}  // namespace
}  // namespace zorad::test
