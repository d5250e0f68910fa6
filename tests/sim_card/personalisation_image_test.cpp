// Personalisation (token information layout, area files, variants, limits)
// and card images (round trip, rejection of malformed images).
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "card_test_support.h"
#include "sim/card/card_image.h"
#include "sim/card/crc32.h"

namespace zorad::sim {
namespace {

using testing::Hex;
using testing::Send;

uint32_t Be32(const std::vector<uint8_t>& b, size_t at) {
  return (uint32_t{b[at]} << 24) | (uint32_t{b[at + 1]} << 16) | (uint32_t{b[at + 2]} << 8) | b[at + 3];
}
uint16_t Be16(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint16_t>((b[at] << 8) | b[at + 1]);
}

TEST(Personalisation, TokenInformationLayout) {
  CardPersonalisation p;
  p.writeChunk = 0xF0;
  p.pinTryThreshold = 2;
  p.minPinLen = 6;
  p.maxPinLen = 8;
  p.publicArea = {4096, 0xBEEF, 64, 64};
  p.privateArea = {2048, 0, 30, 66};
  p.gostParamSet = 3;
  p.privateKeyRefFirst = 2;
  p.privateKeyRefLast = 5;
  p.publicKeyRefFirst = 20;
  p.publicKeyRefLast = 30;
  const auto info = BuildTokenInfo(p);
  ASSERT_EQ(info.size(), 72u);
  EXPECT_EQ(Be32(info, 0), CardCrc32(std::span(info).subspan(4)));
  struct Field {
    size_t offset;
    uint32_t value;
    int width;
  };
  const Field fields[] = {
      {4, 1, 1},     {5, 0, 1},     {38, 0xF0, 2}, {40, 2, 1},     {42, 6, 1},  {43, 8, 1},
      {44, 4096, 4}, {48, 0xBEEF, 2}, {50, 64, 2}, {52, 64, 2},    {54, 2048, 4}, {60, 30, 2},
      {62, 66, 2},   {64, 3, 1},    {67, 2, 1},    {68, 5, 1},     {69, 20, 1}, {70, 30, 1},
  };
  for (const Field& f : fields) {
    const uint32_t got = f.width == 4 ? Be32(info, f.offset) : f.width == 2 ? Be16(info, f.offset) : info[f.offset];
    EXPECT_EQ(got, f.value) << "offset " << f.offset;
  }
  EXPECT_EQ(std::string(info.begin() + 6, info.begin() + 38), "Corvantix" + std::string(23, ' '));

  SimulatedCard card(p);
  Send(card, testing::kSelectApp);
  EXPECT_EQ(Send(card, "00 B0 92 00 48").data, info);
  auto label = Send(card, "00 B0 91 00 20").data;
  EXPECT_EQ(std::string(label.begin(), label.end()), "Zorad test token" + std::string(16, ' '));
}

TEST(Personalisation, AreaFilesCarryEmptyTables) {
  CardPersonalisation p;
  const CardState formatted = Personalise(p);
  const auto& pub = formatted.files.at(kPublicAreaFid).data;
  const size_t table = p.publicArea.capacity + 128;
  ASSERT_EQ(pub.size(), table + 4 + p.publicArea.blockCount);
  EXPECT_EQ(Be32(pub, table), 0xFFFFFFFFu);
  EXPECT_EQ(formatted.files.at(kPrivateAreaFid).data.size(), p.privateArea.capacity + 132u + p.privateArea.blockCount);
  EXPECT_TRUE(formatted.files.at(kUserPinFid).active);

  p.formatAreas = false;
  p.userPinSet = false;
  const CardState raw = Personalise(p);
  EXPECT_EQ(Be32(raw.files.at(kPublicAreaFid).data, table), 0u);
  EXPECT_FALSE(raw.files.at(kUserPinFid).active);
}

TEST(Personalisation, Variants) {
  SimulatedCard corrupt(CorruptCardPersonalisation());
  const auto info = corrupt.FileContent(kTokenInfoFid);
  EXPECT_NE(Be32(info, 0), CardCrc32(std::span(info).subspan(4)));

  const CardState blank = Personalise(BlankCardPersonalisation());
  EXPECT_FALSE(blank.settings.hasApplication);
  EXPECT_TRUE(blank.files.empty());
  EXPECT_TRUE(blank.pins.empty());
}

TEST(Personalisation, RefusesParametersOutsideTheCardLimits) {
  struct Case {
    const char* name;
    void (*change)(CardPersonalisation&);
  };
  const Case cases[] = {
      {"block size 16", [](CardPersonalisation& p) { p.publicArea.blockSize = 16; }},
      {"table beyond 0x7FFF", [](CardPersonalisation& p) { p.privateArea = {0x7F80, 0, 1, 17}; }},
      {"table end beyond 0x80FE", [](CardPersonalisation& p) { p.privateArea = {0x7E00, 0, 0x300, 17}; }},
      {"blocks over the table", [](CardPersonalisation& p) { p.publicArea = {1024, 0, 20, 64}; }},
      {"private key range from 0", [](CardPersonalisation& p) { p.privateKeyRefFirst = 0; }},
      {"public key range above 127", [](CardPersonalisation& p) { p.publicKeyRefLast = 128; }},
      {"key range over PIN reference", [](CardPersonalisation& p) { p.publicKeyRefLast = 0x67; }},
      {"key ranges overlap", [](CardPersonalisation& p) { p.publicKeyRefFirst = 8; }},
      {"PIN limits reversed", [](CardPersonalisation& p) { p.minPinLen = 9; }},
      {"no PIN tries", [](CardPersonalisation& p) { p.userPinMaxTries = 0; }},
  };
  EXPECT_FALSE(CheckPersonalisation(CardPersonalisation{}));
  for (const Case& c : cases) {
    CardPersonalisation p;
    c.change(p);
    EXPECT_TRUE(CheckPersonalisation(p)) << c.name;
    EXPECT_THROW(Personalise(p), std::invalid_argument) << c.name;
  }
  // The largest area the module can address is accepted.
  CardPersonalisation edge;
  edge.privateArea = {0x7FFF - 128, 0, 0x80FE - 0x7FFF - 4, 17};
  EXPECT_FALSE(CheckPersonalisation(edge));
}

class CardImage : public ::testing::Test {
 protected:
  void TearDown() override { std::filesystem::remove(path_); }
  const std::string path_ = (std::filesystem::temp_directory_path() /
                             ("zorad_card_image_" + std::to_string(::getpid()) + ".bin")).string();
};

TEST_F(CardImage, RoundTripKeepsEverythingPersistent) {
  CardPersonalisation p;
  p.protocol = Protocol::kT0;
  p.activationAnswer = 0x6989;
  SimulatedCard card(p);
  testing::LoginUser(card);
  ASSERT_EQ(Send(card, "00 46 02 04 00").sw, 0x9000);
  Send(card, "00 A4 00 0C 02 0001");
  Send(card, "00 D6 00 50 03 AABBCC");
  Send(card, testing::VerifyCommand(kSoPinRef, "wrong"));
  card.SetPinMustChange(kSoPinRef, true);
  ASSERT_TRUE(card.SaveImage(path_));

  std::string error;
  auto loaded = SimulatedCard::FromImage(path_, &error);
  ASSERT_TRUE(loaded) << error;
  EXPECT_EQ(SerializeCardState(loaded->State()), SerializeCardState(card.State()));
  EXPECT_EQ(loaded->PinTriesLeft(kSoPinRef), 9);
  EXPECT_EQ(loaded->GetProtocol(), Protocol::kT0);
  EXPECT_FALSE(loaded->IsPinVerified(kUserPinRef));  // verification is not persistent

  // The private key came along: the loaded card signs for the old public key.
  card.SetProtocol(Protocol::kT1);
  const auto pub = Send(card, "00 46 01 04 00").data;
  loaded->SetProtocol(Protocol::kT1);
  testing::LoginUser(*loaded);
  Send(*loaded, "00 22 C1 AA 03 800111");
  Send(*loaded, "00 22 41 B6 03 840104");
  const std::vector<uint8_t> hash(32, 0x5A);
  auto sig = Send(*loaded, testing::Cat(Hex("00 2A 9E 9A 20"), hash));
  ASSERT_EQ(sig.sw, 0x9000);
  EXPECT_TRUE(VerifyPkcs11GostSignature(2, SwapPublicKeyHalves(pub), hash, sig.data));
}

TEST_F(CardImage, MalformedImagesAreRejected) {
  const std::vector<uint8_t> good = SerializeCardState(Personalise(CardPersonalisation{}));
  ASSERT_TRUE(ParseCardState(good, nullptr));

  // Every truncation, and every single-bit flip of the body, fails cleanly.
  for (size_t n = 0; n < good.size(); n += (n < 200 ? 1 : 97)) {
    EXPECT_FALSE(ParseCardState(std::span(good).first(n), nullptr)) << "truncated to " << n;
  }
  for (size_t i = 0; i < good.size(); i += 61) {
    auto bad = good;
    bad[i] ^= 0x08;
    EXPECT_FALSE(ParseCardState(bad, nullptr)) << "flip at " << i;
  }
  auto trailing = good;
  trailing.push_back(0);
  EXPECT_FALSE(ParseCardState(trailing, nullptr));

  std::string error;
  EXPECT_FALSE(SimulatedCard::FromImage(path_ + ".missing", &error));
  EXPECT_FALSE(error.empty());
}

// Images whose checksum is right but whose content is not: the structure
// checks must hold on their own.
TEST_F(CardImage, ConsistentChecksumDoesNotMakeBadContentAcceptable) {
  auto reseal = [](std::vector<uint8_t> image) {
    image.resize(image.size() - 4);
    const uint32_t crc = CardCrc32(image);
    for (int i = 3; i >= 0; --i) image.push_back(static_cast<uint8_t>(crc >> (8 * i)));
    return image;
  };
  CardState state = Personalise(CardPersonalisation{});
  state.files = {{kLabelFid, CardFile{std::vector<uint8_t>(4, 'x'), kLabelSfi, true}}};
  state.keys.clear();
  const auto base = SerializeCardState(state);
  ASSERT_TRUE(ParseCardState(base, nullptr));
  // Layout: magic 8, version 2, settings 16, file count 2, file header 8 +
  // 4 bytes, PIN count 1, first PIN: ref, max, left, change, length, value.
  const size_t settings = 10, files = settings + 16, pins = files + 2 + 8 + 4;
  struct Case {
    const char* name;
    size_t offset;
    uint8_t value;
  };
  const Case cases[] = {
      {"version", 9, 2},
      {"protocol", settings + 7, 2},
      {"file size beyond the data", files + 2 + 6, 0xFF},
      {"file count beyond the data", files + 1, 5},
      {"tries left above maximum", pins + 3, 11},
      {"PIN length zero", pins + 5, 0},
      {"PIN length beyond the data", pins + 5, 0xFF},
  };
  for (const Case& c : cases) {
    auto bad = base;
    bad[c.offset] = c.value;
    std::string error;
    EXPECT_FALSE(ParseCardState(reseal(bad), &error)) << c.name;
    EXPECT_FALSE(error.empty()) << c.name;
  }
}

}  // namespace
}  // namespace zorad::sim
