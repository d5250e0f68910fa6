// Slots and tokens through WinSCard: the slot list, slot information from
// reader drivers that answer attribute queries in the Windows ways, T=0 and
// T=1 cards, cards of other kinds, and a card that leaves.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "windows_fixture.h"

namespace zorad::wintest {
namespace {

class SlotsTest : public InitializedTest {
 protected:
  std::vector<CK_SLOT_ID> SlotList(CK_BBOOL tokenPresent = CK_FALSE) {
    CK_ULONG count = 0;
    EXPECT_CKR(CKR_OK, F().C_GetSlotList(tokenPresent, nullptr, &count));
    std::vector<CK_SLOT_ID> slots(count);
    if (count != 0) {
      EXPECT_CKR(CKR_OK, F().C_GetSlotList(tokenPresent, slots.data(), &count));
    }
    slots.resize(count);
    return slots;
  }
  CK_RV TokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO* info) { return F().C_GetTokenInfo(slot, info); }
};

TEST_F(SlotsTest, SlotListFollowsReadersAndCards) {
  ASSERT_TRUE(Sim().AddReader("Reader A", nullptr));
  ASSERT_TRUE(Sim().AddReader("Reader B", nullptr));
  ASSERT_TRUE(Sim().InsertCard("Reader B", nullptr));
  const std::vector<CK_SLOT_ID> all = SlotList();
  ASSERT_EQ(2u, all.size());
  EXPECT_LT(all[0], all[1]);
  EXPECT_EQ(std::vector<CK_SLOT_ID>{all[1]}, SlotList(CK_TRUE));

  // Too short an array: the count needed comes back.
  CK_ULONG count = 0;
  ASSERT_CKR(CKR_OK, F().C_GetSlotList(CK_FALSE, nullptr, &count));
  CK_SLOT_ID one[1] = {};
  count = 1;
  EXPECT_CKR(CKR_BUFFER_TOO_SMALL, F().C_GetSlotList(CK_FALSE, one, &count));
  EXPECT_EQ(2u, count);

  // An unplugged reader keeps its slot and gets it back under the same ID;
  // a new reader gets a new, higher ID.
  ASSERT_TRUE(Sim().RemoveReader("Reader A"));
  EXPECT_EQ(all, SlotList());
  ASSERT_TRUE(Sim().AddReader("Reader A", nullptr));
  ASSERT_TRUE(Sim().AddReader("Reader C", nullptr));
  const std::vector<CK_SLOT_ID> now = SlotList();
  ASSERT_EQ(3u, now.size());
  EXPECT_EQ(all[0], now[0]);
  EXPECT_GT(now[2], all[1]);
}

// A reader unplugged with its card while another reader stays: its slot
// stays listed, but without a token.
TEST_F(SlotsTest, UnpluggedReaderTakesItsTokenAlong) {
  ASSERT_TRUE(Sim().AddReader("Reader A", nullptr));
  ASSERT_TRUE(Sim().AddReader("Reader B", nullptr));
  ASSERT_TRUE(Sim().InsertCard("Reader B", nullptr));
  const std::vector<CK_SLOT_ID> all = SlotList();
  ASSERT_EQ(std::vector<CK_SLOT_ID>{all[1]}, SlotList(CK_TRUE));
  ASSERT_TRUE(Sim().RemoveReader("Reader B"));
  EXPECT_EQ(all, SlotList());
  EXPECT_TRUE(SlotList(CK_TRUE).empty());
  CK_TOKEN_INFO info;
  EXPECT_CKR(CKR_TOKEN_NOT_PRESENT, TokenInfo(all[1], &info));
}

// WinSCard drivers that do not serve an attribute answer 0x80100022 or
// ERROR_NOT_SUPPORTED; the slot is described without it, and a reader that
// does not serve the ATR attribute still gives its card's ATR through
// SCardStatusA.
TEST_F(SlotsTest, ReaderDriversThatServeFewerAttributes) {
  struct Case {
    const char* reader;
    uint32_t answer;
    bool served;
  };
  const Case cases[] = {
      {"Served", ZORAD_SIM_ATTR_SERVED, true},
      {"Unsupported feature", ZORAD_SIM_ATTR_UNSUPPORTED_FEATURE, false},
      {"Not supported", ZORAD_SIM_ATTR_NOT_SUPPORTED, false},
  };
  const std::string vendor = "Zorad Simulated Readers";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reader);
    ZoradSimReaderOptions options;
    Sim().DefaultReaderOptions(&options);
    options.vendorNameAnswer = c.answer;
    options.ifdVersionAnswer = c.answer;
    options.atrAnswer = c.answer == ZORAD_SIM_ATTR_UNSUPPORTED_FEATURE
                            ? ZORAD_SIM_ATTR_UNSUPPORTED_FEATURE
                            : ZORAD_SIM_ATTR_SERVED;
    ASSERT_TRUE(Sim().AddReader(c.reader, &options));
    ASSERT_TRUE(Sim().InsertCard(c.reader, nullptr));
    const CK_SLOT_ID slot = SlotList().back();
    CK_SLOT_INFO info;
    ASSERT_CKR(CKR_OK, F().C_GetSlotInfo(slot, &info));
    EXPECT_EQ(Padded(c.reader, 64), Field(info.slotDescription));
    EXPECT_EQ(Padded(c.served ? vendor : "", 32), Field(info.manufacturerID));
    EXPECT_EQ(c.served ? 1 : 0, info.hardwareVersion.major);
    EXPECT_EQ(CKF_TOKEN_PRESENT | CKF_REMOVABLE_DEVICE | CKF_HW_SLOT, info.flags);
    CK_TOKEN_INFO token;
    EXPECT_CKR(CKR_OK, TokenInfo(slot, &token));
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    EXPECT_CKR(CKR_OK, F().C_OpenSession(slot, kReadOnly, nullptr, nullptr, &session));
  }
}

TEST_F(SlotsTest, CardsUnderTZeroAndTOne) {
  for (uint32_t protocol : {ZORAD_SIM_T0, ZORAD_SIM_T1}) {
    const std::string reader = protocol == ZORAD_SIM_T0 ? "T0 reader" : "T1 reader";
    SCOPED_TRACE(reader);
    ZoradSimReaderOptions options;
    Sim().DefaultReaderOptions(&options);
    options.protocol = protocol;
    ZoradSimCardSetup card;
    Sim().DefaultCardSetup(&card);
    card.protocol = protocol;
    card.serialNumber[6] = static_cast<uint8_t>(protocol);
    ASSERT_TRUE(Sim().AddReader(reader.c_str(), &options));
    ASSERT_TRUE(Sim().InsertCard(reader.c_str(), &card));
    const CK_SLOT_ID slot = SlotList().back();
    CK_TOKEN_INFO info;
    ASSERT_CKR(CKR_OK, TokenInfo(slot, &info));
    EXPECT_EQ(protocol == ZORAD_SIM_T0 ? "0123456789AB01  " : "0123456789AB02  ",
              std::string(reinterpret_cast<char*>(info.serialNumber), 16));
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    ASSERT_CKR(CKR_OK, F().C_OpenSession(slot, kReadWrite, nullptr, nullptr, &session));
    EXPECT_CKR(CKR_OK, Login(session, CKU_USER, kUserPin));
    uint8_t random[100] = {};
    EXPECT_CKR(CKR_OK, F().C_GenerateRandom(session, random, sizeof random));
  }
}

// A chip without the card application is no token of the family; a card
// whose token information fails its checksum is an uninitialised token.
TEST_F(SlotsTest, CardsWithoutAUsableToken) {
  ZoradSimCardSetup blank;
  Sim().DefaultCardSetup(&blank);
  blank.variant = ZORAD_SIM_CARD_BLANK;
  ASSERT_TRUE(Sim().AddReader("Blank", nullptr));
  ASSERT_TRUE(Sim().InsertCard("Blank", &blank));
  const CK_SLOT_ID blankSlot = SlotList().back();
  CK_TOKEN_INFO info;
  EXPECT_CKR(CKR_TOKEN_NOT_PRESENT, TokenInfo(blankSlot, &info));
  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  EXPECT_NE(CKR_OK, F().C_OpenSession(blankSlot, kReadOnly, nullptr, nullptr, &session));

  ZoradSimCardSetup corrupt;
  Sim().DefaultCardSetup(&corrupt);
  corrupt.variant = ZORAD_SIM_CARD_CORRUPT;
  ASSERT_TRUE(Sim().AddReader("Corrupt", nullptr));
  ASSERT_TRUE(Sim().InsertCard("Corrupt", &corrupt));
  const CK_SLOT_ID corruptSlot = SlotList().back();
  ASSERT_CKR(CKR_OK, TokenInfo(corruptSlot, &info));
  EXPECT_EQ(0u, info.flags & CKF_TOKEN_INITIALIZED);
  EXPECT_EQ(0u, info.ulTotalPublicMemory + info.ulTotalPrivateMemory);
  EXPECT_EQ(std::vector<CK_SLOT_ID>{corruptSlot}, SlotList(CK_TRUE));
}

class CardLeavesTest : public SessionTest {};

// The removal is seen by the next call that looks at the reader
// (C_GetSlotInfo here); C_GetTokenInfo then drops the token, the sessions
// and the login of the slot.
TEST_F(CardLeavesTest, RemovedCardTakesTheSessionsAlong) {
  ASSERT_CKR(CKR_OK, Login(session_, CKU_USER, kUserPin));
  ASSERT_TRUE(Sim().RemoveCard(kReader));
  CK_SLOT_INFO slotInfo;
  ASSERT_CKR(CKR_OK, F().C_GetSlotInfo(slot_, &slotInfo));
  EXPECT_EQ(0u, slotInfo.flags & CKF_TOKEN_PRESENT);
  CK_TOKEN_INFO info;
  EXPECT_CKR(CKR_TOKEN_NOT_PRESENT, F().C_GetTokenInfo(slot_, &info));
  CK_SESSION_INFO sessionInfo;
  EXPECT_CKR(CKR_SESSION_HANDLE_INVALID, F().C_GetSessionInfo(session_, &sessionInfo));

  // The same card back: a new session starts logged out.
  ASSERT_TRUE(Sim().ReinsertCard(kReader));
  const CK_SESSION_HANDLE again = Open();
  EXPECT_NE(session_, again);
  EXPECT_EQ(CKS_RW_PUBLIC_SESSION, StateOf(again));
  EXPECT_CKR(CKR_OK, Login(again, CKU_USER, kUserPin));
}

// The card leaves and comes back between two calls that look at the
// reader: it lost the user's verification, and the slot must not act as if
// it still had it.
TEST_F(CardLeavesTest, CardBackAfterARemovalSeenOnlyByTheSlot) {
  ASSERT_CKR(CKR_OK, Login(session_, CKU_USER, kUserPin));
  ASSERT_TRUE(Sim().RemoveCard(kReader));
  CK_SLOT_INFO slotInfo;
  ASSERT_CKR(CKR_OK, F().C_GetSlotInfo(slot_, &slotInfo));
  ASSERT_EQ(0u, slotInfo.flags & CKF_TOKEN_PRESENT);
  ASSERT_TRUE(Sim().ReinsertCard(kReader));
  CK_SESSION_HANDLE again = CK_INVALID_HANDLE;
  EXPECT_CKR(CKR_OK, F().C_OpenSession(slot_, kReadWrite, nullptr, nullptr, &again));
  CK_TOKEN_INFO info;
  EXPECT_CKR(CKR_OK, F().C_GetTokenInfo(slot_, &info));
}

TEST_F(CardLeavesTest, CardPulledDuringAnOperation) {
  Sim().CardRemoveAt(kReader, 1);
  uint8_t random[16];
  EXPECT_CKR(CKR_FUNCTION_FAILED, F().C_GenerateRandom(session_, random, sizeof random));
  EXPECT_EQ(0u, Sim().OpenTransactions());
  CK_SLOT_INFO slotInfo;
  ASSERT_CKR(CKR_OK, F().C_GetSlotInfo(slot_, &slotInfo));
  EXPECT_EQ(0u, slotInfo.flags & CKF_TOKEN_PRESENT);
  CK_TOKEN_INFO info;
  EXPECT_CKR(CKR_TOKEN_NOT_PRESENT, F().C_GetTokenInfo(slot_, &info));
}

// Another application resets the card between two operations: the module
// reconnects, finds the same token, and must log the user in again.
TEST_F(CardLeavesTest, ResetByAnotherApplication) {
  ASSERT_CKR(CKR_OK, Login(session_, CKU_USER, kUserPin));
  ASSERT_TRUE(Sim().ResetByOtherApplication(kReader));
  uint8_t random[16];
  EXPECT_CKR(CKR_OK, F().C_GenerateRandom(session_, random, sizeof random));
  EXPECT_GE(Sim().CallCount(ZORAD_SIM_RECONNECT), 1u);
  EXPECT_EQ(0, Sim().CardIsPinVerified(kReader, kUserPinRef));
}

}  // namespace
}  // namespace zorad::wintest
