// zorad-vcard against a fake vpcd on loopback: framing, control codes, the
// ATR, APDU round trips, malformed input, removal by disconnection, the
// pull/insert/stop signals and waiting for a vpcd that is not there yet.
#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <memory>
#include <random>

#include "sim/card/simulated_card.h"
#include "sim/vcard/vpcd_frame.h"
#include "vcard_test_support.h"

namespace zorad::vcard {
namespace {

using testing::Bytes;
using testing::DaemonProcess;
using testing::FakeVpcd;
using testing::FromHex;
using testing::ToHex;

const Bytes kSelectApplication = FromHex("00A4040C0C5A4F5241445F504B43533131");
const Bytes kVerifyUserPin = FromHex("00200069083132333435363738");
const Bytes kUserPinStatus = FromHex("00200069");

constexpr uint8_t kPowerOff = static_cast<uint8_t>(VpcdControl::kPowerOff);
constexpr uint8_t kPowerOn = static_cast<uint8_t>(VpcdControl::kPowerOn);
constexpr uint8_t kReset = static_cast<uint8_t>(VpcdControl::kReset);

class VcardProtocolTest : public ::testing::Test {
 protected:
  void Start(std::vector<std::string> extra = {}) {
    extra.insert(extra.begin(), {"--port", std::to_string(vpcd_.Port())});
    daemon_ = std::make_unique<DaemonProcess>(extra);
    ASSERT_TRUE(vpcd_.Accept()) << daemon_->Stderr();
  }

  // Selects the application, proves the user PIN and checks it is proven.
  void Login() {
    EXPECT_EQ(ToHex(vpcd_.Exchange(kSelectApplication)), "9000");
    EXPECT_EQ(ToHex(vpcd_.Exchange(kVerifyUserPin)), "9000");
    EXPECT_EQ(ToHex(vpcd_.Exchange(kUserPinStatus)), "9000");
  }

  // The user PIN status after a fresh SELECT: 63CA while it is not proven.
  std::string PinStatusAfterSelect() {
    vpcd_.Exchange(kSelectApplication);
    return ToHex(vpcd_.Exchange(kUserPinStatus));
  }

  FakeVpcd vpcd_;
  std::unique_ptr<DaemonProcess> daemon_;
};

TEST_F(VcardProtocolTest, ControlCodesAndAtr) {
  Start();
  const std::string atr = ToHex(sim::SimulatedCard().Atr());
  EXPECT_EQ(ToHex(vpcd_.Atr()), atr);
  // Power codes and unknown codes get no answer: the next frame to arrive is
  // the answer to the ATR request that follows them.
  for (uint8_t code : {kPowerOff, kPowerOn, kReset, uint8_t{3}, uint8_t{0xFF}}) {
    vpcd_.SendControl(code);
    EXPECT_EQ(ToHex(vpcd_.Atr()), atr) << "after control code " << int{code};
  }
}

TEST_F(VcardProtocolTest, ApdusAnswerAsTheSimulatedCard) {
  Start();
  sim::SimulatedCard reference;
  const char* commands[] = {
      "00A4040C0C5A4F5241445F504B43533131",  // SELECT the application
      "00B0920048",                          // READ BINARY the token information
      "00200069083132333435363737",          // VERIFY a wrong user PIN
      "00200069",                            // VERIFY status
      "00A4000C020012",                      // SELECT FILE by identifier
      "00CA000000",                          // an unknown instruction
      "80CA000000",                          // an unknown class
  };
  for (const char* hex : commands) {
    const Bytes command = FromHex(hex);
    EXPECT_EQ(ToHex(vpcd_.Exchange(command)), ToHex(reference.Transmit(command).bytes)) << hex;
  }
  const Bytes challenge = vpcd_.Exchange(FromHex("0084000008"));
  ASSERT_EQ(challenge.size(), 10u);
  EXPECT_EQ(ToHex(std::span<const uint8_t>(challenge).last(2)), "9000");
}

TEST_F(VcardProtocolTest, MessagesRunTogetherOrTrickling) {
  Start();
  // Two APDUs in one write, then one APDU a byte at a time.
  Bytes both = *EncodeFrame(kSelectApplication);
  const Bytes second = *EncodeFrame(kUserPinStatus);
  both.insert(both.end(), second.begin(), second.end());
  vpcd_.SendRaw(both);
  EXPECT_EQ(ToHex(vpcd_.Receive().value_or(Bytes{})), "9000");
  EXPECT_EQ(ToHex(vpcd_.Receive().value_or(Bytes{})), "63CA");
  const Bytes trickle = *EncodeFrame(kVerifyUserPin);
  for (uint8_t b : trickle) {
    vpcd_.SendRaw(std::span<const uint8_t>(&b, 1));
    ::usleep(1000);
  }
  EXPECT_EQ(ToHex(vpcd_.Receive().value_or(Bytes{})), "9000");
}

TEST_F(VcardProtocolTest, MalformedCommandsAreAnsweredAndTheCardStays) {
  Start();
  struct Case {
    const char* what;
    Bytes frame;
    const char* sw;  // nullptr: no answer expected
  };
  const Case cases[] = {
      {"two bytes", FromHex("00A4"), "6700"},
      {"three bytes", FromHex("00A404"), "6700"},
      {"length byte beyond the data", FromHex("00A4040C103F00"), "6700"},
      {"largest frame", Bytes(0xFFFF, 0x00), "6700"},
      {"empty frame", Bytes{}, nullptr},
  };
  for (const Case& c : cases) {
    vpcd_.Send(c.frame);
    if (c.sw != nullptr) {
      const Bytes answer = vpcd_.Receive().value_or(Bytes{});
      ASSERT_GE(answer.size(), 2u) << c.what;
      EXPECT_EQ(ToHex(std::span<const uint8_t>(answer).last(2)), c.sw) << c.what;
    }
    EXPECT_EQ(ToHex(vpcd_.Exchange(kSelectApplication)), "9000") << "after " << c.what;
  }
}

TEST_F(VcardProtocolTest, RandomMessagesNeverStopTheCard) {
  Start();
  std::mt19937 random(20240611);
  for (int i = 0; i < 300; ++i) {
    Bytes message(random() % 270);
    for (uint8_t& byte : message) byte = static_cast<uint8_t>(random());
    if (message.size() == 1) message[0] = kPowerOn;  // a control code: no answer
    vpcd_.Send(message);
    if (message.size() >= 2) {
      ASSERT_GE(vpcd_.Receive().value_or(Bytes{}).size(), 2u)
          << "message " << i << ": " << ToHex(message);
    }
  }
  EXPECT_EQ(ToHex(vpcd_.Exchange(kSelectApplication)), "9000");
}

TEST_F(VcardProtocolTest, PowerCycleAndResetDropTheProvenPin) {
  Start();
  for (uint8_t code : {kPowerOff, kReset}) {
    Login();
    vpcd_.SendControl(code);
    vpcd_.SendControl(kPowerOn);
    EXPECT_EQ(PinStatusAfterSelect(), "63CA") << "control code " << int{code};
  }
}

TEST_F(VcardProtocolTest, DisconnectionRemovesTheCardAndItComesBack) {
  Start();
  Login();
  vpcd_.CloseConnection();
  ASSERT_TRUE(vpcd_.Accept()) << daemon_->Stderr();
  EXPECT_EQ(PinStatusAfterSelect(), "63CA");
  // A frame cut short by the disconnection is dropped, not half-executed.
  Login();
  vpcd_.SendRaw(FromHex("000D002000690831"));
  vpcd_.CloseConnection();
  ASSERT_TRUE(vpcd_.Accept()) << daemon_->Stderr();
  EXPECT_EQ(PinStatusAfterSelect(), "63CA");
}

TEST_F(VcardProtocolTest, PullStaysOutUntilInserted) {
  Start();
  daemon_->Signal(SIGUSR1);
  EXPECT_TRUE(vpcd_.WaitForClose());
  EXPECT_FALSE(vpcd_.Accept(800)) << "the pulled card came back by itself";
  daemon_->Signal(SIGUSR2);
  ASSERT_TRUE(vpcd_.Accept()) << daemon_->Stderr();
  EXPECT_EQ(ToHex(vpcd_.Exchange(kSelectApplication)), "9000");
}

TEST_F(VcardProtocolTest, StopSignalsEndCleanly) {
  for (int signo : {SIGTERM, SIGINT}) {
    Start();
    daemon_->Signal(signo);
    EXPECT_TRUE(vpcd_.WaitForClose()) << signo;
    EXPECT_EQ(daemon_->WaitExit(), 0) << signo << ": " << daemon_->Stderr();
  }
}

TEST_F(VcardProtocolTest, StopsWhilePulledOrWaitingForVpcd) {
  Start();
  daemon_->Signal(SIGUSR1);
  EXPECT_TRUE(vpcd_.WaitForClose());
  daemon_->Signal(SIGTERM);
  EXPECT_EQ(daemon_->WaitExit(), 0) << daemon_->Stderr();
}

TEST(VcardReconnect, WaitsForVpcdToListen) {
  uint16_t port = 0;
  {
    FakeVpcd probe;  // a port that is free, and closed again
    port = probe.Port();
  }
  DaemonProcess daemon({"--port", std::to_string(port)});
  ::usleep(400000);  // a few refused connection attempts
  FakeVpcd vpcd(port);
  ASSERT_TRUE(vpcd.Accept(5000)) << daemon.Stderr();
  EXPECT_EQ(ToHex(vpcd.Atr()), ToHex(sim::SimulatedCard().Atr()));
  daemon.Signal(SIGTERM);
  EXPECT_EQ(daemon.WaitExit(), 0);
}

TEST_F(VcardProtocolTest, ApduLogShowsExchangesWithoutSecrets) {
  testing::TempDir dir;
  Start({"--apdu-log", dir.File("apdu.log")});
  Login();
  vpcd_.Exchange(FromHex("0084000008"));
  daemon_->Signal(SIGTERM);
  ASSERT_EQ(daemon_->WaitExit(), 0);
  const std::string log = testing::ReadFile(dir.File("apdu.log"));
  EXPECT_NE(log.find("00 A4 04 0C 0C 5A 4F 52 41 44 5F 50 4B 43 53 31 31 => 90 00\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("00 20 00 69 08 ** ** ** ** ** ** ** ** => 90 00\n"), std::string::npos)
      << log;
  EXPECT_NE(log.find("00 84 00 00 08 => ** ** ** ** ** ** ** ** 90 00\n"), std::string::npos)
      << log;
  EXPECT_EQ(log.find("31 32 33 34"), std::string::npos) << "the PIN reached the log";
}

}  // namespace
}  // namespace zorad::vcard
