// Fault injection and the exchange log of the simulated card.
#include <gtest/gtest.h>

#include "card_test_support.h"

namespace zorad::sim {
namespace {

using testing::Cat;
using testing::Hex;
using testing::kSelectApp;
using testing::Send;

TEST(CardFaults, NumberedAnswerFiresOnceWithoutExecuting) {
  SimulatedCard card;
  testing::LoginUser(card);
  Send(card, "00 A4 00 0C 02 0009");
  card.AnswerAt(2, 0x6581);
  EXPECT_EQ(Send(card, "00 B0 00 00 02").sw, 0x9000);
  EXPECT_EQ(Send(card, "00 D6 00 00 02 ABCD").sw, 0x6581);
  EXPECT_EQ(Send(card, "00 B0 00 00 02").data, Hex("0000"));  // the write never happened
  EXPECT_EQ(Send(card, "00 D6 00 00 02 ABCD").sw, 0x9000);
  EXPECT_EQ(Send(card, "00 B0 00 00 02").data, Hex("ABCD"));
}

TEST(CardFaults, ClassAnswerHoldsUntilCleared) {
  SimulatedCard card;
  card.AnswerMatching({std::nullopt, 0x20}, 0x6A88);      // every VERIFY
  card.AnswerMatching({0x80, std::nullopt}, 0x6F00);      // every proprietary command
  Send(card, kSelectApp);
  EXPECT_EQ(Send(card, "00 20 00 69 00").sw, 0x6A88);
  EXPECT_EQ(Send(card, testing::VerifyCommand(kUserPinRef, "12345678")).sw, 0x6A88);
  EXPECT_EQ(Send(card, "80 FE 06 00 07").sw, 0x6F00);
  EXPECT_EQ(Send(card, "00 84 00 00 08").sw, 0x9000);
  EXPECT_FALSE(card.IsPinVerified(kUserPinRef));
  card.ClearFaults();
  EXPECT_EQ(Send(card, testing::VerifyCommand(kUserPinRef, "12345678")).sw, 0x9000);
}

TEST(CardFaults, RemovalKeepsTheCardGoneUntilPoweredAgain) {
  SimulatedCard card;
  testing::LoginUser(card);
  card.RemoveAt(2);
  EXPECT_EQ(Send(card, "00 84 00 00 08").sw, 0x9000);
  auto gone = card.Transmit(Hex("00 84 00 00 08"));
  EXPECT_TRUE(gone.cardRemoved);
  EXPECT_TRUE(gone.bytes.empty());
  EXPECT_FALSE(card.IsPresent());
  EXPECT_TRUE(card.Transmit(Hex("80 FE 06 00 07")).cardRemoved);
  EXPECT_TRUE(card.Transmit(Hex("00 84 00 00 08")).cardRemoved);

  card.Reinsert();
  EXPECT_TRUE(card.IsPresent());
  EXPECT_EQ(Send(card, "00 20 00 69 00").sw, 0x6985);  // volatile state was lost
  Send(card, kSelectApp);
  EXPECT_EQ(Send(card, "00 20 00 69 00").sw, 0x63CA);

  card.RemoveAt(1);
  Send(card, "00 84 00 00 08");
  card.PowerOn();
  EXPECT_EQ(Send(card, "80 FE 06 00 07").sw, 0x9000);
}

struct TearCase {
  TearEnd end;
  bool removed;
  uint16_t sw;
};

TEST(CardFaults, TornWriteAppliesOnlyTheFirstBytes) {
  for (const TearCase& c : {TearCase{TearEnd::kCardRemoved, true, 0},
                            TearCase{TearEnd::kMemoryFailure, false, 0x6581}}) {
    SimulatedCard card;
    Send(card, kSelectApp);
    Send(card, "00 A4 00 0C 02 0009");
    card.TearWriteAt(2, 3, c.end);
    EXPECT_EQ(Send(card, "00 B0 00 00 01").sw, 0x9000);  // reads do not count
    EXPECT_EQ(Send(card, "00 D6 00 10 02 1111").sw, 0x9000);
    auto torn = Send(card, "00 D6 00 20 08 0102030405060708");
    EXPECT_EQ(torn.removed, c.removed);
    EXPECT_EQ(torn.sw, c.sw);
    const auto file = card.FileContent(kPublicAreaFid);
    EXPECT_EQ(std::vector<uint8_t>(file.begin() + 0x20, file.begin() + 0x28),
              Hex("0102030000000000"));
    EXPECT_EQ(std::vector<uint8_t>(file.begin() + 0x10, file.begin() + 0x12), Hex("1111"));
  }
}

TEST(CardFaults, ResetByAnotherApplication) {
  SimulatedCard card;
  EXPECT_FALSE(card.TakeExternalReset());
  testing::LoginUser(card);
  card.SimulateResetByOtherApplication();
  EXPECT_TRUE(card.TakeExternalReset());
  EXPECT_FALSE(card.TakeExternalReset());
  EXPECT_FALSE(card.IsPinVerified(kUserPinRef));
  EXPECT_EQ(Send(card, "00 A4 00 0C 02 0009").sw, 0x6A82);  // application deselected
}

TEST(CardLog, RecordsEveryExchangeInOrder) {
  SimulatedCard card;
  card.RemoveAt(3);
  Send(card, kSelectApp);
  Send(card, "00 99 00 00 00");
  Send(card, "80 FE 06 00 07");
  const auto log = card.Log();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].command, Hex(kSelectApp));
  EXPECT_EQ(log[0].answer, Hex("9000"));
  EXPECT_EQ(log[1].answer, Hex("6D00"));
  EXPECT_EQ(log[2].command, Hex("80 FE 06 00 07"));
  EXPECT_TRUE(log[2].answer.empty());
  EXPECT_TRUE(log[2].cardRemoved);
  EXPECT_EQ(card.CountCommands({0x00, std::nullopt}), 2u);
  EXPECT_EQ(card.CountCommands({std::nullopt, 0xFE}), 1u);
  EXPECT_EQ(card.Commands().size(), 3u);
  card.ClearLog();
  EXPECT_TRUE(card.Log().empty());
}

// Failing the n-th command of a whole signing sequence for every n: the
// chosen exchange gets the forced answer, the others are untouched, and the
// card keeps working afterwards.
TEST(CardFaults, SweepOverASigningSequence) {
  const std::vector<std::vector<uint8_t>> sequence = {
      Hex(kSelectApp),
      testing::VerifyCommand(kUserPinRef, "12345678"),
      Hex("00 46 02 01 00"),
      Hex("00 46 01 01 00"),
      Hex("00 22 F3 00 00"),
      Hex("00 22 C1 AA 03 800111"),
      Hex("00 22 41 B6 03 840101"),
      Cat(Hex("10 2A 90 80 F0"), std::vector<uint8_t>(240, 0x55)),
      Hex("00 2A 90 80 03 616263"),
  };
  for (uint32_t n = 1; n <= sequence.size(); ++n) {
    SimulatedCard card;
    card.AnswerAt(n, 0x6F00);
    for (const auto& cmd : sequence) card.Transmit(cmd);
    const auto log = card.Log();
    ASSERT_EQ(log.size(), sequence.size());
    EXPECT_EQ(log[n - 1].answer, Hex("6F00")) << n;
    // The digest needs the application (1) and the algorithm (6); a failed
    // middle chunk (8) leaves only the last chunk hashed.
    const bool digestExpected = n != 1 && n != 6 && n != 9;
    if (!digestExpected) {
      EXPECT_NE(log.back().answer.size(), 34u) << n;
      continue;
    }
    std::vector<uint8_t> hashed = n == 8 ? std::vector<uint8_t>{} : std::vector<uint8_t>(240, 0x55);
    hashed.insert(hashed.end(), {'a', 'b', 'c'});
    const GostHash digest = GostR341194Hash(hashed);
    EXPECT_EQ(log.back().answer, Cat(std::vector<uint8_t>(digest.begin(), digest.end()), Hex("9000"))) << n;
  }
}

}  // namespace
}  // namespace zorad::sim
