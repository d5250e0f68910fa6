// Null pointers, zero and out-of-range lengths and counts, bad templates
// and bad mechanisms, function by function through the function list.
//
// A length larger than its buffer is passed only where the module decides
// on the length alone before it reads a byte: PINs longer than a PIN block,
// signatures that are not 64 bytes, hashes that are not 32 bytes,
// CK_UNAVAILABLE_INFORMATION in an input template.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <tuple>

#include "bad_input/sweep_world.h"

namespace zorad::test {
namespace {

constexpr CK_ULONG kHuge = ~CK_ULONG{0} - 1;

class ArgumentSweep : public SweepWorldTest {
 protected:
  CK_UTF8CHAR pin_[9] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  CK_UTF8CHAR label_[32] = {};
  CK_BYTE buffer_[128] = {};
  CK_ULONG count_ = 0;
  CK_SLOT_ID slots_[8] = {};
  CK_OBJECT_HANDLE handles_[8] = {};
};

TEST_F(ArgumentSweep, SlotTokenAndMechanismQueries) {
  CK_MECHANISM_INFO mechanismInfo{};
  CK_MECHANISM_TYPE mechanisms[2] = {7, 7};
  CK_SLOT_INFO slotInfo{};
  CK_TOKEN_INFO tokenInfo{};
  auto& f = F();
  std::vector<BadInput> rows = {
      {"C_GetInfo NULL", [&] { return f.C_GetInfo(nullptr); }, CKR_ARGUMENTS_BAD},
      {"C_GetFunctionList NULL", [&] { return f.C_GetFunctionList(nullptr); }, CKR_ARGUMENTS_BAD},
      {"C_Finalize reserved", [&] { return f.C_Finalize(buffer_); }, CKR_ARGUMENTS_BAD},
      {"C_GetSlotList count NULL", [&] { return f.C_GetSlotList(CK_FALSE, nullptr, nullptr); },
       CKR_ARGUMENTS_BAD},
      {"C_GetSlotList list, count NULL", [&] { return f.C_GetSlotList(CK_TRUE, slots_, nullptr); },
       CKR_ARGUMENTS_BAD},
      {"C_GetSlotList count 0",
       [&] { return count_ = 0, f.C_GetSlotList(CK_TRUE, slots_, &count_); }, CKR_BUFFER_TOO_SMALL,
       [&] { EXPECT_EQ(4u, count_); }},
      {"C_GetSlotInfo NULL", [&] { return f.C_GetSlotInfo(slotA_, nullptr); }, CKR_ARGUMENTS_BAD},
      {"C_GetTokenInfo NULL", [&] { return f.C_GetTokenInfo(slotA_, nullptr); }, CKR_ARGUMENTS_BAD},
      {"C_WaitForSlotEvent slot NULL",
       [&] { return f.C_WaitForSlotEvent(CKF_DONT_BLOCK, nullptr, nullptr); }, CKR_ARGUMENTS_BAD},
      {"C_GetMechanismList count NULL",
       [&] { return f.C_GetMechanismList(slotA_, mechanisms, nullptr); }, CKR_ARGUMENTS_BAD},
      {"C_GetMechanismList 2 of 4",
       [&] { return count_ = 2, f.C_GetMechanismList(slotA_, mechanisms, &count_); },
       CKR_BUFFER_TOO_SMALL, [&] { EXPECT_EQ(4u, count_); }},
      {"C_GetMechanismInfo NULL",
       [&] { return f.C_GetMechanismInfo(slotA_, CKM_GOSTR3410, nullptr); }, CKR_ARGUMENTS_BAD},
  };
  for (const CK_FLAGS flags : {CK_FLAGS{2}, CK_FLAGS{3}, ~CK_FLAGS{0}}) {
    rows.push_back({"C_WaitForSlotEvent flags " + std::to_string(flags),
                    [&, flags] { return f.C_WaitForSlotEvent(flags, slots_, nullptr); },
                    CKR_ARGUMENTS_BAD});
  }
  for (const CK_MECHANISM_TYPE type : {CK_MECHANISM_TYPE{CKM_RSA_PKCS}, ~CK_MECHANISM_TYPE{0}}) {
    rows.push_back({"C_GetMechanismInfo type " + std::to_string(type),
                    [&, type] {
                      std::memset(&mechanismInfo, 0x5A, sizeof mechanismInfo);
                      return f.C_GetMechanismInfo(slotA_, type, &mechanismInfo);
                    },
                    CKR_MECHANISM_INVALID, [&] { EXPECT_EQ(0u, mechanismInfo.flags); }});
  }
  for (const CK_SLOT_ID slot : {CK_SLOT_ID{0}, CK_SLOT_ID{0x7777}, Alias(slotA_)}) {
    const std::string id = " slot " + std::to_string(slot);
    rows.push_back({"C_GetSlotInfo" + id, [&, slot] { return f.C_GetSlotInfo(slot, &slotInfo); },
                    CKR_SLOT_ID_INVALID});
    rows.push_back({"C_GetTokenInfo" + id, [&, slot] { return f.C_GetTokenInfo(slot, &tokenInfo); },
                    CKR_SLOT_ID_INVALID});
    rows.push_back({"C_GetMechanismList" + id,
                    [&, slot] { return f.C_GetMechanismList(slot, nullptr, &count_); },
                    CKR_SLOT_ID_INVALID});
    rows.push_back({"C_GetMechanismInfo" + id,
                    [&, slot] { return f.C_GetMechanismInfo(slot, CKM_GOSTR3410, &mechanismInfo); },
                    CKR_SLOT_ID_INVALID});
    rows.push_back(
        {"C_OpenSession" + id,
         [&, slot] { return f.C_OpenSession(slot, kReadOnly, nullptr, nullptr, handles_); },
         CKR_SLOT_ID_INVALID});
    rows.push_back({"C_InitToken" + id, [&, slot] { return f.C_InitToken(slot, pin_, 8, label_); },
                    CKR_SLOT_ID_INVALID});
  }
  // A slot whose reader holds no card.
  rows.insert(
      rows.end(),
      {
          {"C_GetTokenInfo empty reader", [&] { return f.C_GetTokenInfo(slotE_, &tokenInfo); },
           CKR_TOKEN_NOT_PRESENT},
          {"C_OpenSession empty reader",
           [&] { return f.C_OpenSession(slotE_, kReadWrite, nullptr, nullptr, handles_); },
           CKR_TOKEN_NOT_PRESENT},
          // No card to connect to: the card check fails before anything else.
          {"C_InitToken empty reader", [&] { return f.C_InitToken(slotE_, pin_, 8, label_); },
           CKR_TOKEN_NOT_RECOGNIZED},
          {"C_GetMechanismList empty reader",
           [&] { return f.C_GetMechanismList(slotE_, nullptr, &count_); }, CKR_OK},
      });
  RunSweep("slot, token and mechanism queries", rows);
}

TEST_F(ArgumentSweep, SessionsAndPins) {
  auto& f = F();
  CK_SESSION_HANDLE opened = 0;
  auto open = [&](CK_FLAGS flags) {
    return [&, flags] { return f.C_OpenSession(slotA_, flags, nullptr, nullptr, &opened); };
  };
  std::vector<BadInput> rows = {
      {"C_OpenSession handle NULL",
       [&] { return f.C_OpenSession(slotA_, kReadWrite, nullptr, nullptr, nullptr); },
       CKR_ARGUMENTS_BAD},
      {"C_OpenSession flags 0", open(0), CKR_SESSION_PARALLEL_NOT_SUPPORTED},
      {"C_OpenSession read/write only", open(CKF_RW_SESSION), CKR_SESSION_PARALLEL_NOT_SUPPORTED},
      {"C_OpenSession unknown flag", open(CKF_SERIAL_SESSION | 0x08), CKR_ARGUMENTS_BAD},
      {"C_OpenSession all flags", open(~CK_FLAGS{0}), CKR_ARGUMENTS_BAD},
      {"C_GetSessionInfo NULL", [&] { return f.C_GetSessionInfo(rw_, nullptr); },
       CKR_ARGUMENTS_BAD},
      {"C_Login PIN NULL", [&] { return f.C_Login(publicRw_, CKU_USER, nullptr, 8); },
       CKR_ARGUMENTS_BAD},
      // Longer than any PIN the card holds: it cannot be the PIN.
      {"C_Login 9-byte PIN", [&] { return f.C_Login(publicRw_, CKU_USER, pin_, 9); },
       CKR_PIN_INCORRECT},
      {"C_Login huge PIN length", [&] { return f.C_Login(publicRw_, CKU_USER, pin_, kHuge); },
       CKR_PIN_INCORRECT},
      {"C_InitToken PIN NULL", [&] { return f.C_InitToken(slotD_, nullptr, 8, label_); },
       CKR_ARGUMENTS_BAD},
      {"C_InitToken label NULL", [&] { return f.C_InitToken(slotD_, pin_, 8, nullptr); },
       CKR_ARGUMENTS_BAD},
      // Refused on the token's PIN limits before the card sees anything.
      {"C_InitToken empty PIN", [&] { return f.C_InitToken(slotD_, nullptr, 0, label_); },
       CKR_PIN_LEN_RANGE},
      {"C_InitToken huge PIN length", [&] { return f.C_InitToken(slotD_, pin_, kHuge, label_); },
       CKR_PIN_LEN_RANGE},
      {"C_InitPIN NULL", [&] { return f.C_InitPIN(so_, nullptr, 8); }, CKR_ARGUMENTS_BAD},
      {"C_InitPIN length 0", [&] { return f.C_InitPIN(so_, pin_, 0); }, CKR_ARGUMENTS_BAD},
      {"C_InitPIN 9 bytes", [&] { return f.C_InitPIN(so_, pin_, 9); }, CKR_PIN_LEN_RANGE},
      {"C_InitPIN huge length", [&] { return f.C_InitPIN(so_, pin_, kHuge); }, CKR_PIN_LEN_RANGE},
      {"C_SetPIN old NULL", [&] { return f.C_SetPIN(rw_, nullptr, 8, pin_, 8); },
       CKR_ARGUMENTS_BAD},
      {"C_SetPIN new NULL", [&] { return f.C_SetPIN(rw_, pin_, 8, nullptr, 8); },
       CKR_ARGUMENTS_BAD},
      {"C_SetPIN old NULL, length 0", [&] { return f.C_SetPIN(rw_, nullptr, 0, pin_, 8); },
       CKR_ARGUMENTS_BAD},
      {"C_SetPIN old huge", [&] { return f.C_SetPIN(rw_, pin_, kHuge, pin_, 8); },
       CKR_PIN_INCORRECT},
      {"C_SetPIN new 9 bytes", [&] { return f.C_SetPIN(rw_, pin_, 8, pin_, 9); },
       CKR_PIN_LEN_RANGE},
      {"C_SetPIN new huge", [&] { return f.C_SetPIN(rw_, pin_, 8, pin_, kHuge); },
       CKR_PIN_LEN_RANGE},
      {"C_GenerateRandom NULL", [&] { return f.C_GenerateRandom(rw_, nullptr, 16); },
       CKR_ARGUMENTS_BAD},
      {"C_GenerateRandom length 0", [&] { return f.C_GenerateRandom(rw_, buffer_, 0); },
       CKR_OK},
      {"C_SeedRandom NULL", [&] { return f.C_SeedRandom(rw_, nullptr, 8); }, CKR_ARGUMENTS_BAD},
      {"C_SeedRandom", [&] { return f.C_SeedRandom(rw_, buffer_, 8); },
       CKR_RANDOM_SEED_NOT_SUPPORTED},
  };
  RunSweep("sessions and PINs", rows);
  CK_TOKEN_INFO info{};
  EXPECT_CKR(CKR_OK, C_GetTokenInfo(slotD_, &info));  // slot D's card untouched
  EXPECT_NE(0u, info.flags & CKF_TOKEN_INITIALIZED);
}

// A refused token initialisation leaves the card as it was, and the slot
// must still show its token: the slot is cleared before the card is asked,
// and the card must be read again afterwards.
TEST_F(ArgumentSweep, RefusedInitTokenLeavesTheTokenInItsSlot) {
  CK_UTF8CHAR wrongSoPin[8] = {'0', '0', '0', '0', '0', '0', '0', '0'};
  const std::tuple<const char*, std::function<CK_RV()>, CK_RV> refusals[] = {
      {"empty PIN", [&] { return C_InitToken(slotD_, nullptr, 0, label_); }, CKR_PIN_LEN_RANGE},
      {"PIN longer than the token allows", [&] { return C_InitToken(slotD_, pin_, kHuge, label_); },
       CKR_PIN_LEN_RANGE},
      {"wrong SO PIN", [&] { return C_InitToken(slotD_, wrongSoPin, 8, label_); },
       CKR_PIN_INCORRECT},
  };
  for (const auto& [what, refusal, expected] : refusals) {
    SCOPED_TRACE(what);
    EXPECT_CKR(expected, refusal());
    CK_TOKEN_INFO info{};
    EXPECT_CKR(CKR_OK, C_GetTokenInfo(slotD_, &info));
    EXPECT_NE(0u, info.flags & CKF_TOKEN_INITIALIZED);
    CK_ULONG count = 0;
    EXPECT_CKR(CKR_OK, C_GetSlotList(CK_TRUE, nullptr, &count));
    EXPECT_EQ(4u, count);
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    ASSERT_CKR(CKR_OK, C_OpenSession(slotD_, kReadOnly, nullptr, nullptr, &session));
    EXPECT_CKR(CKR_OK, C_GetTokenInfo(slotD_, &info));
    EXPECT_CKR(CKR_OK, C_CloseSession(session));  // still open after C_GetTokenInfo
  }
  --pinTries_[3].first;  // the wrong SO PIN cost one try
}

}  // namespace
}  // namespace zorad::test
