// The module initialised over simulated readers, with helpers for the slot
// list, the slot information and the slot events.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "token/token_fixture.h"

namespace zorad::test {

class SlotsTest : public InitializedTest {
 protected:
  // The slot list by both calls.
  static std::vector<CK_SLOT_ID> SlotList(CK_BBOOL tokenPresent = CK_FALSE) {
    CK_ULONG count = 0;
    EXPECT_CKR(CKR_OK, C_GetSlotList(tokenPresent, nullptr, &count));
    std::vector<CK_SLOT_ID> ids(count + 1);
    EXPECT_CKR(CKR_OK, C_GetSlotList(tokenPresent, ids.data(), &count));
    ids.resize(count);
    return ids;
  }

  static CK_SLOT_INFO SlotInfo(CK_SLOT_ID slotId) {
    CK_SLOT_INFO info{};
    EXPECT_CKR(CKR_OK, C_GetSlotInfo(slotId, &info));
    return info;
  }
  static std::string Description(CK_SLOT_ID slotId) {
    const std::string text = Field(SlotInfo(slotId).slotDescription);
    return text.substr(0, text.find_last_not_of(' ') + 1);
  }
  static bool TokenPresent(CK_SLOT_ID slotId) {
    return (SlotInfo(slotId).flags & CKF_TOKEN_PRESENT) != 0;
  }

  static void InsertCard(const std::string& reader) {
    EXPECT_TRUE(sim::pcsc::InsertCard(reader, std::make_shared<sim::SimulatedCard>()));
  }

  // The next slot event without blocking; 0 for none.
  static CK_SLOT_ID PollEvent() {
    CK_SLOT_ID slotId = 0;
    const CK_RV rv = C_WaitForSlotEvent(CKF_DONT_BLOCK, &slotId, nullptr);
    EXPECT_TRUE(rv == CKR_OK || rv == CKR_NO_EVENT) << CkrName(rv);
    return rv == CKR_OK ? slotId : 0;
  }
  static void DrainEvents() {
    for (int i = 0; i < 16 && PollEvent() != 0; ++i) {
    }
  }
};

}  // namespace zorad::test
