// The module initialised over simulated readers, with helpers for the slot
// list and the slot information.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/card/simulated_card.h"
#include "support/module_fixture.h"
#include "token/token_fixture.h"

namespace zorad::test {

class SlotsTest : public InitializedTest {
 protected:
  // The slot list by both calls.
  static std::vector<CK_SLOT_ID> SlotList(CK_BBOOL tokenPresent = CK_FALSE) {
    CK_ULONG count = 0;
    EXPECT_CKR(CKR_OK, C_GetSlotList(tokenPresent, nullptr, &count));
    std::vector<CK_SLOT_ID> ids(count);
    if (count != 0) {
      EXPECT_CKR(CKR_OK, C_GetSlotList(tokenPresent, ids.data(), &count));
    }
    ids.resize(count);
    return ids;
  }

  static std::string Description(CK_SLOT_ID slotId) {
    CK_SLOT_INFO info{};
    EXPECT_CKR(CKR_OK, C_GetSlotInfo(slotId, &info));
    const std::string text = Field(info.slotDescription);
    return text.substr(0, text.find_last_not_of(' ') + 1);
  }

  static bool TokenPresent(CK_SLOT_ID slotId) {
    CK_SLOT_INFO info{};
    EXPECT_CKR(CKR_OK, C_GetSlotInfo(slotId, &info));
    return (info.flags & CKF_TOKEN_PRESENT) != 0;
  }

  static std::shared_ptr<sim::SimulatedCard> InsertCard(const std::string& reader,
                                                        const sim::CardPersonalisation& p = {}) {
    auto card = std::make_shared<sim::SimulatedCard>(p);
    EXPECT_TRUE(sim::pcsc::InsertCard(reader, card));
    return card;
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
