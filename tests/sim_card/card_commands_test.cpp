// The card's command set: selection, malformed commands, PINs and their
// counters, file access rules, and the token initialisation sequence the
// module sends.
#include <gtest/gtest.h>

#include <random>

#include "card_test_support.h"

namespace zorad::sim {
namespace {

using testing::Cat;
using testing::Hex;
using testing::kSelectApp;
using testing::Send;

CardPersonalisation ThreeTries() {
  CardPersonalisation p;
  p.userPinMaxTries = 3;
  p.soPinMaxTries = 3;
  return p;
}

TEST(CardSelect, ApplicationByIdentifier) {
  SimulatedCard card;
  EXPECT_EQ(Send(card, "00 A4 00 0C 02 0009").sw, 0x6A82);  // nothing visible before
  EXPECT_EQ(Send(card, "00 A4 04 0C 0C 5A4F5241445F504B43533130").sw, 0x6A82);
  EXPECT_EQ(Send(card, kSelectApp).sw, 0x9000);
  EXPECT_EQ(Send(card, "00 A4 00 0C 02 0009").sw, 0x9000);
  EXPECT_EQ(Send(card, "00 A4 00 0C 02 0002").sw, 0x6A82);

  SimulatedCard blank(BlankCardPersonalisation());
  EXPECT_EQ(Send(blank, kSelectApp).sw, 0x6A82);
  EXPECT_EQ(Send(blank, "80 FE 06 00 07").data, Hex("0123456789ABCD"));  // the chip still answers
}

TEST(CardCommands, MalformedAndUnsupported) {
  struct Case {
    const char* command;
    uint16_t sw;
  };
  const Case cases[] = {
      {"", 0x6700},
      {"00 A4 04", 0x6700},
      {"00 A4 04 0C 0C 5A4F", 0x6700},                      // Lc says more
      {"00 A4 04 0C 02 5A4F 00 00", 0x6700},                // two bytes too many
      {"00 99 00 00 00", 0x6D00},                           // unknown instruction
      {"B0 B0 00 00 00", 0x6E00},                           // unknown class
      {"80 A4 04 0C 00", 0x6D00},                           // proprietary class, ISO instruction
      {"00 FE 06 00 07", 0x6D00},                           // serial number needs class 80
      {"10 B0 00 00 10", 0x6884},                           // chaining only for PSO HASH
      {"80 FE 07 00 07", 0x6A86},
      {"80 FE 06 00 05", 0x6C07},                           // wrong Le: the right one
      {"00 84 00 00 21", 0x6700},                           // challenge above 32 bytes
      {"00 84 00 00 00", 0x6700},
      {"00 84 01 00 08", 0x6A86},
      {"00 C0 00 00 10", 0x6985},                           // nothing pending
  };
  SimulatedCard card;
  for (const Case& c : cases) EXPECT_EQ(Send(card, c.command).sw, c.sw) << c.command;
}

TEST(CardCommands, SerialNumberAndChallenge) {
  SimulatedCard card;
  EXPECT_EQ(Send(card, "80 FE 06 00 07").data, Hex("0123456789ABCD"));
  EXPECT_EQ(Send(card, "80 FE 06 00 00").data, Hex("0123456789ABCD"));  // T=1: Le 00 is "all"
  auto a = Send(card, "00 84 00 00 08");
  EXPECT_EQ(a.sw, 0x9000);
  EXPECT_EQ(a.data.size(), 8u);
  auto b = Send(card, "00 84 00 00 20");
  auto c = Send(card, "00 84 00 00 20");
  EXPECT_EQ(b.data.size(), 32u);
  EXPECT_NE(b.data, c.data);
}

// No byte sequence may crash the card or leave it without a status word.
TEST(CardCommands, RandomCommandsAlwaysGetAStatusWord) {
  SimulatedCard card(ThreeTries());
  std::mt19937 rng(1234);
  const uint8_t insSet[] = {0xA4, 0xB0, 0xD6, 0x44, 0x04, 0x20, 0x24, 0x84,
                            0x46, 0x22, 0x2A, 0xC0, 0xFE, 0x00, 0xFF};
  const uint8_t claSet[] = {0x00, 0x10, 0x80, 0x90, 0xFF};
  for (int i = 0; i < 20000; ++i) {
    if (i % 500 == 0) {
      card.SetProtocol(i % 1000 == 0 ? Protocol::kT1 : Protocol::kT0);
      testing::LoginUser(card);
      Send(card, testing::VerifyCommand(kSoPinRef, "87654321"));
    }
    std::vector<uint8_t> cmd(rng() % 12 == 0 ? rng() % 8 : 4 + rng() % 80);
    for (auto& byte : cmd) byte = static_cast<uint8_t>(rng());
    if (cmd.size() >= 2) {
      cmd[0] = claSet[rng() % std::size(claSet)];
      cmd[1] = insSet[rng() % std::size(insSet)];
    }
    if (cmd.size() >= 5 && rng() % 2 == 0) cmd[4] = static_cast<uint8_t>(cmd.size() - 5);
    CardAnswer answer = card.Transmit(cmd);
    ASSERT_GE(answer.bytes.size(), 2u) << "command " << i;
    ASSERT_FALSE(answer.cardRemoved);
  }
}

TEST(CardPins, WrongTriesCountDownAndBlock) {
  SimulatedCard card(ThreeTries());
  Send(card, kSelectApp);
  EXPECT_EQ(Send(card, "00 20 00 69 00").sw, 0x63C3);  // status query
  EXPECT_EQ(Send(card, testing::VerifyCommand(kUserPinRef, "0000")).sw, 0x63C2);
  EXPECT_EQ(Send(card, testing::VerifyCommand(kUserPinRef, "0000")).sw, 0x63C1);
  EXPECT_EQ(Send(card, "00 20 00 69 00").sw, 0x63C1);
  EXPECT_EQ(Send(card, testing::VerifyCommand(kUserPinRef, "0000")).sw, 0x6983);
  EXPECT_EQ(Send(card, testing::VerifyCommand(kUserPinRef, "12345678")).sw, 0x6983);
  EXPECT_EQ(Send(card, "00 20 00 69 00").sw, 0x6983);
  EXPECT_FALSE(card.IsPinVerified(kUserPinRef));

  // The security officer unblocks by setting a new user PIN.
  EXPECT_EQ(Send(card, testing::VerifyCommand(kSoPinRef, "87654321")).sw, 0x9000);
  EXPECT_EQ(Send(card, Cat(Hex("00 24 01 69 08"), PinBlock("4321"))).sw, 0x9000);
  EXPECT_EQ(Send(card, testing::VerifyCommand(kUserPinRef, "4321")).sw, 0x9000);
  EXPECT_EQ(card.PinTriesLeft(kUserPinRef), 3);
}

TEST(CardPins, CorrectPinRestoresTriesAndStatusQueryAnswers) {
  SimulatedCard card(ThreeTries());
  Send(card, kSelectApp);
  Send(card, testing::VerifyCommand(kSoPinRef, "bad"));
  EXPECT_EQ(Send(card, "00 20 00 67 00").sw, 0x63C2);
  EXPECT_EQ(Send(card, testing::VerifyCommand(kSoPinRef, "87654321")).sw, 0x9000);
  EXPECT_EQ(Send(card, "00 20 00 67 00").sw, 0x9000);
  EXPECT_EQ(card.PinTriesLeft(kSoPinRef), 3);
  card.SetPinMustChange(kUserPinRef, true);
  EXPECT_EQ(Send(card, "00 20 00 69 00").sw, 0x6982);
  EXPECT_EQ(Send(card, "00 20 00 70 00").sw, 0x6A88);   // no such PIN
  EXPECT_EQ(Send(card, "00 20 00 69 08").sw, 0x6700);   // Lc without data
}

TEST(CardPins, UserChangesOwnPinOnlyAfterProvingIt) {
  SimulatedCard card;
  Send(card, kSelectApp);
  const auto change = Cat(Hex("00 24 01 69 08"), PinBlock("5555"));
  EXPECT_EQ(Send(card, change).sw, 0x6982);
  EXPECT_EQ(Send(card, Cat(Hex("00 24 01 67 08"), PinBlock("5555"))).sw, 0x6982);
  Send(card, testing::VerifyCommand(kUserPinRef, "12345678"));
  EXPECT_EQ(Send(card, change).sw, 0x9000);
  EXPECT_TRUE(card.IsPinVerified(kUserPinRef));  // a changed PIN stays proven
  EXPECT_EQ(Send(card, testing::VerifyCommand(kUserPinRef, "5555")).sw, 0x9000);
  EXPECT_EQ(Send(card, "00 24 00 69 08 3131313131313131").sw, 0x6A86);
}

// Every way the card loses power or is reset ends the PIN verifications.
TEST(CardPins, VerificationDroppedByPowerEvents) {
  const std::pair<const char*, void (*)(SimulatedCard&)> events[] = {
      {"reset", [](SimulatedCard& c) { c.Reset(); }},
      {"power off", [](SimulatedCard& c) { c.PowerOff(); }},
      {"power on", [](SimulatedCard& c) { c.PowerOn(); }},
      {"other application", [](SimulatedCard& c) { c.SimulateResetByOtherApplication(); }},
  };
  for (const auto& [name, event] : events) {
    SimulatedCard card;
    testing::LoginUser(card);
    ASSERT_EQ(Send(card, "00 20 00 69 00").sw, 0x9000) << name;
    event(card);
    EXPECT_EQ(Send(card, "00 20 00 69 00").sw, 0x6985) << name << ": application still selected";
    Send(card, kSelectApp);
    EXPECT_EQ(Send(card, "00 20 00 69 00").sw, 0x63CA) << name;
    Send(card, "00 A4 00 0C 02 0001");
    EXPECT_EQ(Send(card, "00 B0 00 00 10").sw, 0x6982) << name;
  }
}

TEST(CardFiles, PrivateAreaNeedsTheUserPin) {
  SimulatedCard card;
  Send(card, kSelectApp);
  Send(card, "00 A4 00 0C 02 0001");
  EXPECT_EQ(Send(card, "00 B0 00 00 10").sw, 0x6982);
  EXPECT_EQ(Send(card, "00 D6 00 40 02 AABB").sw, 0x6982);
  Send(card, "00 A4 00 0C 02 0009");
  EXPECT_EQ(Send(card, "00 B0 00 00 10").sw, 0x9000);  // public area is open

  Send(card, testing::VerifyCommand(kUserPinRef, "12345678"));
  Send(card, "00 A4 00 0C 02 0001");
  EXPECT_EQ(Send(card, "00 D6 00 40 02 AABB").sw, 0x9000);
  EXPECT_EQ(Send(card, "00 B0 00 40 02").data, Hex("AABB"));
}

TEST(CardFiles, ReadAndUpdateAddressing) {
  SimulatedCard card;
  Send(card, kSelectApp);
  EXPECT_EQ(Send(card, "00 B0 00 00 10").sw, 0x6986);  // no current file
  auto info = Send(card, "00 B0 92 00 48");             // SFI 0x12, 72 bytes
  EXPECT_EQ(info.sw, 0x9000);
  EXPECT_EQ(info.data, card.FileContent(kTokenInfoFid));
  // The SFI read made the file current: continue by offset.
  EXPECT_EQ(Send(card, "00 B0 00 40 08").data, std::vector<uint8_t>(info.data.begin() + 64, info.data.end()));
  auto tail = Send(card, "00 B0 00 44 10");  // runs past the end
  EXPECT_EQ(tail.sw, 0x6282);
  EXPECT_EQ(tail.data.size(), 4u);
  EXPECT_EQ(Send(card, "00 B0 00 48 01").sw, 0x6B00);
  EXPECT_EQ(Send(card, "00 B0 93 00 01").sw, 0x6A82);  // no such SFI
  EXPECT_EQ(Send(card, "00 B0 D1 00 01").sw, 0x6A86);

  // Writes land where addressed, also across the 256-byte boundary, and
  // read back unchanged.
  Send(card, "00 A4 00 0C 02 0009");
  std::vector<uint8_t> data(300);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(Send(card, Cat(Hex("00 D6 00 F0 FF"), std::vector(data.begin(), data.begin() + 255))).sw, 0x9000);
  EXPECT_EQ(Send(card, Cat(Hex("00 D6 01 EF 2D"), std::vector(data.begin() + 255, data.end()))).sw, 0x9000);
  auto first = Send(card, "00 B0 00 F0 00");
  auto second = Send(card, "00 B0 01 F0 2C");
  EXPECT_EQ(Cat(first.data, second.data), data);
  const size_t size = card.FileContent(kPublicAreaFid).size();
  const std::vector<uint8_t> endWrite{0x00, 0xD6, static_cast<uint8_t>((size - 1) >> 8),
                                      static_cast<uint8_t>(size - 1), 0x02, 0x01, 0x02};
  EXPECT_EQ(Send(card, endWrite).sw, 0x6B00);
}

TEST(CardFiles, LabelAndActivationBelongToTheSecurityOfficer) {
  SimulatedCard card;
  testing::LoginUser(card);
  EXPECT_EQ(Send(card, "00 D6 91 00 02 4142").sw, 0x6982);  // label by SFI
  EXPECT_EQ(Send(card, "00 44 00 00 02 001E").sw, 0x6982);
  EXPECT_EQ(Send(card, "00 04 00 00 02 001E").sw, 0x6982);
  Send(card, testing::VerifyCommand(kSoPinRef, "87654321"));
  EXPECT_EQ(Send(card, "00 D6 91 00 02 4142").sw, 0x9000);
  EXPECT_EQ(Send(card, "00 44 00 00 02 0077").sw, 0x6A82);
  EXPECT_EQ(Send(card, "00 44 01 00 02 001E").sw, 0x6A86);
}

// The command sequence of token initialisation followed by setting the user
// PIN, with either activation answer.
TEST(CardFiles, TokenInitialisationSequence) {
  for (uint16_t activation : {0x9000, 0x6989}) {
    SCOPED_TRACE(activation);
    CardPersonalisation p;
    p.soPin = "654321";
    p.activationAnswer = activation;
    SimulatedCard card(p);
    Send(card, kSelectApp);
    const auto newPin = Send(card, "00 84 00 00 08").data;
    ASSERT_EQ(Send(card, Hex("00 20 00 67 08 363534333231 3131")).sw, 0x9000);
    EXPECT_EQ(Send(card, "00 44 00 00 02 001E").sw, activation);
    EXPECT_EQ(Send(card, Cat(Hex("00 24 01 69 08"), newPin)).sw, 0x9000);
    EXPECT_EQ(Send(card, Cat(Hex("00 20 00 69 08"), newPin)).sw, 0x9000);
    EXPECT_EQ(Send(card, "00 04 00 00 02 001E").sw, activation);
    EXPECT_FALSE(card.IsPinVerified(kUserPinRef));
    Send(card, "00 A4 00 0C 02 0001");
    EXPECT_EQ(Send(card, "00 D6 00 00 04 00000000").sw, 0x9000);  // SO erases the private area
    Send(card, "00 A4 00 0C 02 0011");
    EXPECT_EQ(Send(card, Cat(Hex("00 D6 00 00 20"), std::vector<uint8_t>(32, 'L'))).sw, 0x9000);

    // A user PIN that nobody knows, in a deactivated file.
    EXPECT_EQ(Send(card, "00 20 00 69 00").sw, 0x6982);
    EXPECT_EQ(Send(card, Cat(Hex("00 20 00 69 08"), newPin)).sw, 0x6984);
    EXPECT_EQ(Send(card, Cat(Hex("00 24 01 69 08"), PinBlock("1111"))).sw, 0x6985);

    // Setting the user PIN activates the file first.
    EXPECT_EQ(Send(card, "00 44 00 00 02 001E").sw, activation);
    EXPECT_EQ(Send(card, Cat(Hex("00 24 01 69 08"), PinBlock("2468"))).sw, 0x9000);
    EXPECT_EQ(Send(card, "00 20 00 69 00").sw, 0x63CA);
    EXPECT_EQ(Send(card, testing::VerifyCommand(kUserPinRef, "2468")).sw, 0x9000);
  }
}

TEST(CardPins, LongSecurityOfficerPinIsComparedWhole) {
  CardPersonalisation p;
  p.maxPinLen = 10;
  p.soPin = "0123456789";
  SimulatedCard card(p);
  Send(card, kSelectApp);
  EXPECT_EQ(Send(card, Hex("00 20 00 67 08 3031323334353637")).sw, 0x63C9);
  EXPECT_EQ(Send(card, Hex("00 20 00 67 0A 30313233343536373839")).sw, 0x9000);
}

}  // namespace
}  // namespace zorad::sim
