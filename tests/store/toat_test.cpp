#include <gtest/gtest.h>

#include <vector>

#include "store/toat.h"
#include "support/ckr_names.h"

namespace zorad::store {
namespace {

using Entries = std::vector<uint8_t>;

// A token whose current area has the given entries and block size.
card::Token TokenWithTable(const Entries& entries, uint16_t blockSize) {
  card::Token token;
  const auto count = static_cast<uint16_t>(entries.size());
  const auto layout = card::AreaLayout::Check(uint32_t{count} * blockSize, count, blockSize);
  EXPECT_TRUE(layout);
  token.objects.currentArea = card::Area::kPublic;
  token.objects.toat().emplace(*layout);
  std::copy(entries.begin(), entries.end(), token.objects.toat()->Entries().begin());
  return token;
}

Entries EntriesOf(const card::Token& token) {
  const auto e = token.objects.toat()->Entries();
  return {e.begin(), e.end()};
}

TEST(ToatTest, CreateTakesLowestFreeNumberAndFirstFitBlocks) {
  auto token = TokenWithTable({0, 3, 0, 0, 1, 0}, 100);
  uint8_t ni = 0;
  uint16_t first = 99;
  ASSERT_CKR(CKR_OK, CreateObjectInTOAT(token, 250, ni, first));
  EXPECT_EQ(2, ni);
  EXPECT_EQ(0, first);
  EXPECT_EQ((Entries{2, 3, 2, 2, 1, 0}), EntriesOf(token));
}

TEST(ToatTest, RecordSizeRoundsUpToWholeBlocks) {
  struct Case {
    uint32_t size;
    Entries after;
  };
  const Case cases[] = {
      {200, {1, 1, 0, 0}},
      {201, {1, 1, 1, 0}},
      {17, {1, 0, 0, 0}},
      {0, {1, 0, 0, 0}},  // a record always has its header block
  };
  for (const auto& c : cases) {
    auto token = TokenWithTable({0, 0, 0, 0}, 100);
    uint16_t first = 0;
    EXPECT_CKR(CKR_OK, AllocObjectInTOAT(token, c.size, 1, first));
    EXPECT_EQ(c.after, EntriesOf(token)) << c.size << " bytes";
  }
}

TEST(ToatTest, CreateFailsWhenNumbersOrBlocksRunOut) {
  Entries allNumbers(255);
  for (int i = 0; i < 255; ++i) allNumbers[i] = static_cast<uint8_t>(i + 1);
  allNumbers.push_back(0);  // free space left, but no number
  auto numbersGone = TokenWithTable(allNumbers, 64);
  auto blocksGone = TokenWithTable({1, 0, 2}, 64);
  auto noBlocks = TokenWithTable({}, 64);
  uint8_t ni = 0;
  uint16_t first = 0;
  EXPECT_CKR(CKR_DEVICE_MEMORY, CreateObjectInTOAT(numbersGone, 10, ni, first));
  EXPECT_CKR(CKR_DEVICE_MEMORY, CreateObjectInTOAT(blocksGone, 65, ni, first));
  EXPECT_CKR(CKR_DEVICE_MEMORY, CreateObjectInTOAT(noBlocks, 10, ni, first));
}

TEST(ToatTest, RecreateFitsObjectToNewSize) {
  struct Case {
    const char* what;
    Entries before;
    uint32_t size;
    Entries after;
    bool changed;
    std::optional<uint16_t> movedTo;
  };
  const Case cases[] = {
      {"shrink keeps the first blocks", {0, 5, 2, 0, 5, 0, 0, 5}, 150,
       {0, 5, 2, 0, 5, 0, 0, 0}, true, std::nullopt},
      {"grow after the last block, not before it", {0, 5, 0, 2, 5, 0, 0, 0}, 350,
       {0, 5, 0, 2, 5, 5, 5, 0}, true, std::nullopt},
      {"same size", {0, 5, 2, 5}, 200, {0, 5, 2, 5}, false, std::nullopt},
      {"grow with a move", {0, 0, 5, 2, 0}, 250, {5, 5, 5, 2, 0}, true, 0},
      // Free block 1 lies between its blocks, none after: it moves, to where it was.
      {"move onto its own first block", {5, 0, 5, 2}, 300, {5, 5, 5, 2}, true, 0},
  };
  for (const auto& c : cases) {
    auto token = TokenWithTable(c.before, 100);
    std::optional<uint16_t> first;
    bool changed = !c.changed;
    EXPECT_CKR(CKR_OK, RecreateObjectInTOAT(token, c.size, 5, first, changed)) << c.what;
    EXPECT_EQ(c.after, EntriesOf(token)) << c.what;
    EXPECT_EQ(c.changed, changed) << c.what;
    EXPECT_EQ(c.movedTo, first) << c.what;
  }
}

TEST(ToatTest, RecreateWithoutRoomReportsMemoryAndNoMove) {
  auto token = TokenWithTable({5, 2, 0}, 100);
  std::optional<uint16_t> first;
  bool changed = false;
  EXPECT_CKR(CKR_DEVICE_MEMORY, RecreateObjectInTOAT(token, 301, 5, first, changed));
  EXPECT_EQ(std::nullopt, first);
}

TEST(ToatTest, DeleteFreesOnlyThatObject) {
  auto token = TokenWithTable({1, 2, 1, 0, 1}, 64);
  ASSERT_CKR(CKR_OK, DeleteObjectFromTOAT(token, 1));
  EXPECT_EQ((Entries{0, 2, 0, 0, 0}), EntriesOf(token));
  uint32_t free = 0;
  ASSERT_CKR(CKR_OK, FreeSpaceInTOAT(token, free));
  EXPECT_EQ(4u * 64, free);
}

TEST(ToatTest, OperationsNeedATableAndARealObjectNumber) {
  card::Token noTable;
  auto token = TokenWithTable({0, 0}, 64);
  uint8_t ni = 0;
  uint16_t first = 0;
  std::optional<uint16_t> moved;
  bool changed = false;
  uint32_t free = 0;
  EXPECT_CKR(CKR_GENERAL_ERROR, CreateObjectInTOAT(noTable, 10, ni, first));
  EXPECT_CKR(CKR_GENERAL_ERROR, RecreateObjectInTOAT(noTable, 10, 1, moved, changed));
  EXPECT_CKR(CKR_GENERAL_ERROR, DeleteObjectFromTOAT(noTable, 1));
  EXPECT_CKR(CKR_GENERAL_ERROR, FreeSpaceInTOAT(noTable, free));
  EXPECT_CKR(CKR_GENERAL_ERROR, StoreTOATChecksum(noTable));
  // Number 0 marks free blocks; it never names an object.
  EXPECT_CKR(CKR_GENERAL_ERROR, AllocObjectInTOAT(token, 10, 0, first));
  EXPECT_CKR(CKR_GENERAL_ERROR, RecreateObjectInTOAT(token, 10, 0, moved, changed));
}

}  // namespace
}  // namespace zorad::store
