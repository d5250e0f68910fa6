// A record left failing its checksum (a rewrite in place cut short) must
// not hide the token's other objects: the search passes over it, every
// other object is found and read, a read through a handle of the damaged
// object reports it, and the token still takes changes.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "sim/card/card_state.h"
#include "store/token_object.h"
#include "support/token_fixture.h"

namespace zorad::test {
namespace {

using Bytes = std::vector<uint8_t>;

class DamagedRecordTest : public UserSessionTest {
 protected:
  // A rewrite in place of the record that carries `text` (one block of
  // 128 bytes from offset 64 on), cut short: the new header went out, one
  // byte of the body differs from what it describes.
  void Damage(const std::string& text) {
    const Bytes file = card_->FileContent(sim::kPrivateAreaFid);
    const auto at = std::search(file.begin(), file.end(), text.begin(), text.end());
    ASSERT_NE(file.end(), at);
    const size_t offset = static_cast<size_t>(at - file.begin());
    const size_t start = 64 + (offset - 64) / 128 * 128;
    auto header = store::TokenObjectHeader::Decode(
        std::span<const uint8_t, store::kHeaderSize>(file.data() + start, store::kHeaderSize));
    ASSERT_TRUE(header.has_value());
    ++header->updateCount;
    header->Seal();
    card_->WriteFile(sim::kPrivateAreaFid, start, header->Encode());
    const uint8_t flipped = static_cast<uint8_t>(*at ^ 0x20);
    card_->WriteFile(sim::kPrivateAreaFid, offset, std::span<const uint8_t>(&flipped, 1));
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

// A card that fails while a record is read is still reported, and nothing
// is lost: a retry returns both objects.
TEST_F(DamagedRecordTest, CardFailureIsNoDamage) {
  CreateData("first", true, true);
  CreateData("second", true, true);
  Damage("second");  // its body is read at the next search
  card_->ClearLog();
  card_->AnswerMatching({std::nullopt, 0xB0}, 0x6581);
  EXPECT_CKR(CKR_DEVICE_ERROR, C_FindObjectsInit(session_, nullptr, 0));
  card_->ClearFaults();
  EXPECT_EQ((std::vector<std::string>{"first"}), Labels());
}

}  // namespace
}  // namespace zorad::test
