// The command set against the card simulator, under T=0 and T=1.
#include "card/apdu.h"
#include "card_commands/card_command_fixture.h"
#include "sim/card/simulated_card.h"

namespace zorad::test {
namespace {

using namespace reader;
using namespace card;

class SimulatorTest : public ReaderTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    ReaderTest::SetUp();
    const bool t0 = GetParam();
    sim::CardPersonalisation personalisation;
    personalisation.protocol = t0 ? sim::Protocol::kT0 : sim::Protocol::kT1;
    simcard_ = std::make_shared<sim::SimulatedCard>(personalisation);
    ASSERT_TRUE(sim::pcsc::AddReader(
        kReaderName, {.protocol = t0 ? sim::pcsc::ReaderProtocol::kT0
                                     : sim::pcsc::ReaderProtocol::kT1}));
    ASSERT_TRUE(sim::pcsc::InsertCard(kReaderName, simcard_));
    ASSERT_EQ(RDR_OK, OpenReader(kReaderName, reader_.get()));
    ASSERT_EQ(RDR_OK, APDU_SelectApp(reader_.get()));
  }
  std::shared_ptr<sim::SimulatedCard> simcard_;
};

TEST_P(SimulatorTest, IdentityPinAndRandomBytes) {
  Reader* r = reader_.get();
  char serial[kSerialTextLength];
  ASSERT_EQ(RDR_OK, APDU_ValidateSN(r, serial));
  EXPECT_EQ("0123456789ABCD", std::string(serial, sizeof serial));

  uint8_t info[72];
  EXPECT_EQ(RDR_OK, APDU_ReadBFBySFI(r, kTokenInfoSfi, info, sizeof info));

  EXPECT_EQ(RDR_BAD_STATUS, APDU_Verify(r, kUserPinReference, nullptr, 0));
  EXPECT_EQ(0x63C0, reader_->lastStatusWord & 0xFFF0);
  const uint8_t pin[] = {'1', '2', '3', '4', '5', '6', '7', '8'};
  EXPECT_EQ(RDR_OK, APDU_Verify(r, kUserPinReference, pin, sizeof pin));

  uint8_t random[70] = {};
  EXPECT_EQ(RDR_OK, APDU_GetChallenge(r, random, sizeof random));
  EXPECT_NE(Bytes(70, 0), Bytes(random, random + 70));
}

INSTANTIATE_TEST_SUITE_P(Protocols, SimulatorTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "T0" : "T1"; });

}  // namespace
}  // namespace zorad::test
