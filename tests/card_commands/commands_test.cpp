// Single-exchange commands: their bytes, their argument checks, and the
// answers they take apart.
#include <cstring>
#include <functional>

#include "card/apdu.h"
#include "card_commands/card_command_fixture.h"

namespace zorad::test {
namespace {

using namespace reader;
using namespace card;

class CommandsTest : public CardCommandTest {};

const uint8_t kPin[] = {'1', '2', '3', '4', '5', '6', '7', '8'};
const Bytes kHash = Pattern(32, 0x40);
const Bytes kSignature = Pattern(64, 0x80);

Bytes Cat(Bytes head, const Bytes& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

TEST_F(CommandsTest, CommandBytes) {
  struct Case {
    const char* name;
    std::function<ReaderResult(Reader*)> send;
    Bytes expected;
  };
  const Case cases[] = {
      {"SelectApp", [](Reader* r) { return APDU_SelectApp(r); },
       Hex("00 A4 04 0C 0C 5A 4F 52 41 44 5F 50 4B 43 53 31 31")},
      {"SelectFile", [](Reader* r) { return APDU_SelectFile(r, kPublicAreaFile); },
       Hex("00 A4 00 0C 02 00 09")},
      {"ActivateFile", [](Reader* r) { return APDU_ActivateFile(r, kUserPinFile); },
       Hex("00 44 00 00 02 00 1E")},
      {"DeactivateFile", [](Reader* r) { return APDU_DeactivateFile(r, kUserPinFile); },
       Hex("00 04 00 00 02 00 1E")},
      {"Verify status", [](Reader* r) { return APDU_Verify(r, kUserPinReference, nullptr, 0); },
       Hex("00 20 00 69 00")},
      {"Verify", [](Reader* r) { return APDU_Verify(r, kSoPinReference, kPin, 8); },
       Hex("00 20 00 67 08 31 32 33 34 35 36 37 38")},
      {"ChangeRefData", [](Reader* r) { return APDU_ChangeRefData(r, 0x05, kPin, 4); },
       Hex("00 24 01 05 04 31 32 33 34")},
      {"GenKeyPair", [](Reader* r) { return APDU_GenKeyPair(r, 0x21); }, Hex("00 46 02 21 00")},
      {"RestoreSE", [](Reader* r) { return APDU_RestoreSE(r); }, Hex("00 22 F3 00 00")},
      {"SetSE hash", [](Reader* r) { return APDU_SetSE(r, kSeHashAlgorithm, 0x11); },
       Hex("00 22 C1 AA 03 80 01 11")},
      {"SetSE sign", [](Reader* r) { return APDU_SetSE(r, kSeSigningKey, 0x21); },
       Hex("00 22 41 B6 03 84 01 21")},
      {"SetSE verify", [](Reader* r) { return APDU_SetSE(r, kSeVerifyingKey, 0x22); },
       Hex("00 22 81 B6 03 83 01 22")},
      {"ComputeSignature",
       [](Reader* r) { return APDU_ComputeSignature(r, kHash.data(), 32, nullptr, nullptr); },
       Cat(Hex("00 2A 9E 9A 20"), kHash)},
  };
  for (const Case& c : cases) {
    card_->commands.clear();
    EXPECT_EQ(RDR_OK, c.send(rd())) << c.name;
    ASSERT_EQ(1u, card_->commands.size()) << c.name;
    EXPECT_EQ(c.expected, card_->commands[0]) << c.name;
  }
}

TEST_F(CommandsTest, VerifySignatureLayout) {
  ASSERT_EQ(RDR_OK, APDU_VerifySignature(rd(), kHash.data(), 32, kSignature.data(), 64));
  EXPECT_EQ(Cat(Cat(Cat(Hex("00 2A 00 A8 64 9A 20"), kHash), Hex("9E 40")), kSignature),
            card_->commands.at(0));
}

TEST_F(CommandsTest, BadArgumentsSendNothing) {
  uint8_t buffer[300] = {};
  size_t length = sizeof buffer;
  const std::pair<const char*, ReaderResult> cases[] = {
      {"Verify data without length", APDU_Verify(rd(), 0x69, kPin, 0)},
      {"ChangeRefData no data", APDU_ChangeRefData(rd(), 0x69, nullptr, 8)},
      {"ReadBF offset", APDU_ReadBF(rd(), 0x8000, buffer, 1)},
      {"ReadBFBySFI sfi", APDU_ReadBFBySFI(rd(), 0x20, buffer, 72)},
      {"EraseBF empty", APDU_EraseBF(rd(), 0, 0)},
      {"ComputeSignature too long", APDU_ComputeSignature(rd(), buffer, 256, buffer, &length)},
      {"VerifySignature too long", APDU_VerifySignature(rd(), buffer, 32, buffer, 220)},
      {"Hash no data", APDU_Hash(rd(), nullptr, 10, buffer, &length)},
  };
  for (const auto& [name, result] : cases) EXPECT_EQ(RDR_BAD_ARGUMENTS, result) << name;
  EXPECT_TRUE(card_->commands.empty());
}

TEST_F(CommandsTest, SerialNumberAsHexText) {
  card_->Answer(WithSw(Hex("01 23 45 67 89 AB CD"), 0x9000));
  char text[16];
  std::memset(text, ' ', sizeof text);
  ASSERT_EQ(RDR_OK, APDU_ValidateSN(rd(), text));
  EXPECT_EQ("0123456789ABCD  ", std::string(text, sizeof text));
  EXPECT_EQ(Hex("80 FE 06 00 07"), card_->commands.at(0));

  card_->Answer(WithSw(Hex("01 23 45 67 89 AB"), 0x9000));
  EXPECT_EQ(RDR_FAILED, APDU_ValidateSN(rd(), text));
  card_->Answer(WithSw(Pattern(8), 0x9000));
  EXPECT_EQ(RDR_BAD_ARGUMENTS, APDU_ValidateSN(rd(), text));
}

class T0CommandsTest : public CardCommandTest {
 protected:
  void SetUp() override {
    options_.protocol = sim::pcsc::ReaderProtocol::kT0;
    CardCommandTest::SetUp();
  }
};

TEST_F(T0CommandsTest, SerialNumberIsFetchedWithGetResponse) {
  card_->Answer(WithSw({}, 0x6107));
  card_->Answer(WithSw(Hex("FE DC BA 98 76 54 32"), 0x9000));
  char text[14];
  ASSERT_EQ(RDR_OK, APDU_ValidateSN(rd(), text));
  EXPECT_EQ("FEDCBA98765432", std::string(text, sizeof text));
  EXPECT_EQ((std::vector<Bytes>{Hex("80 FE 06 00 00"), Hex("00 C0 00 00 07")}), card_->commands);
}

TEST_F(CommandsTest, PublicKeyIsBoundedTo64Bytes) {
  uint8_t key[100];
  size_t length = sizeof key;
  card_->Answer(WithSw(Pattern(64), 0x9000));
  ASSERT_EQ(RDR_OK, APDU_ReadPubKey(rd(), 0x21, key, &length));
  EXPECT_EQ(64u, length);
  EXPECT_EQ(Hex("00 46 01 21 00"), card_->commands.at(0));
  card_->Answer(WithSw(Pattern(65), 0x9000));
  EXPECT_EQ(RDR_BAD_ARGUMENTS, APDU_ReadPubKey(rd(), 0x21, key, &length));
}

}  // namespace
}  // namespace zorad::test
