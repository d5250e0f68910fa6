// A record left failing its checksum (a rewrite in place cut short) must
// not hide the token's other objects: the search passes over it, every
// other object is found and read, a read through a handle of the damaged
// object reports it, and the token still takes changes.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "sim/card/card_state.h"
#include "support/token_fixture.h"

namespace zorad::test {
namespace {

using Bytes = std::vector<uint8_t>;

class DamagedRecordTest : public UserSessionTest {
 protected:
  // Flips one byte of the body of the record that carries `text`.
  void Damage(const std::string& text) {
    const Bytes file = card_->FileContent(sim::kPrivateAreaFid);
    const auto at = std::search(file.begin(), file.end(), text.begin(), text.end());
    ASSERT_NE(file.end(), at);
    const uint8_t flipped = static_cast<uint8_t>(*at ^ 0x20);
    card_->WriteFile(sim::kPrivateAreaFid, static_cast<size_t>(at - file.begin()),
                     std::span<const uint8_t>(&flipped, 1));
  }

  std::vector<std::string> Labels() {
    std::vector<std::string> labels;
    for (CK_OBJECT_HANDLE h : FindAll(session_)) labels.push_back(ReadText(session_, h));
    std::sort(labels.begin(), labels.end());
    return labels;
  }
};

TEST_F(DamagedRecordTest, SearchPassesOverItAndTheTokenStaysUsable) {
  CreateData("first", true, true);
  const CK_OBJECT_HANDLE damaged = CreateData("damaged", true, true);
  CreateData("last", true, true);
  CreateData("public", true, false);
  Damage("damaged");

  EXPECT_EQ((std::vector<std::string>{"first", "last", "public"}), Labels());
  Bytes value(32, 0xEE);
  CK_ATTRIBUTE read{CKA_LABEL, value.data(), static_cast<CK_ULONG>(value.size())};
  EXPECT_CKR(CKR_DEVICE_ERROR, C_GetAttributeValue(session_, damaged, &read, 1));
  EXPECT_EQ(Bytes(32, 0xEE), value);

  FindAll(session_);  // the search leaves nothing stale behind
  CreateData("after", true, true);
  EXPECT_EQ((std::vector<std::string>{"after", "first", "last", "public"}), Labels());
}

// A card that fails while a record is read is still reported, and the
// object matched before the failure in the same call is not lost: a retry
// returns both.
TEST_F(DamagedRecordTest, CardFailureIsNoDamage) {
  CreateData("first", true, true);
  CreateData("second", true, true);
  ASSERT_CKR(CKR_OK, C_FindObjectsInit(session_, nullptr, 0));
  card_->AnswerAt(12, 0x6581);  // the second object's body (six commands per object)
  CK_OBJECT_HANDLE handles[2] = {};
  CK_ULONG count = 0;
  EXPECT_CKR(CKR_DEVICE_ERROR, C_FindObjects(session_, handles, 2, &count));
  EXPECT_EQ(0u, count);
  EXPECT_CKR(CKR_OK, C_FindObjects(session_, handles, 2, &count));
  EXPECT_EQ(2u, count);
  EXPECT_CKR(CKR_OK, C_FindObjectsFinal(session_));
}

}  // namespace
}  // namespace zorad::test
