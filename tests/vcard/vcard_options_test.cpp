// zorad-vcard's command line: what it accepts, and what it refuses before
// anything touches a card image.
#include <gtest/gtest.h>

#include "sim/vcard/vcard_options.h"

namespace zorad::vcard {
namespace {

std::optional<VcardOptions> Parse(std::vector<const char*> args, std::string* error) {
  return ParseVcardOptions(args, error);
}

TEST(VcardOptions, CardSourcesAndPersonalisation) {
  std::string error;
  const auto created = Parse(
      {"--image", "/tmp/c.img", "--new", "--serial=0A0B0C0D0E0F10", "--user-pin", "4321",
       "--so-pin=99998888", "--label", "Mine", "--protocol", "T0", "--port=40001", "--host", "::1"},
      &error);
  ASSERT_TRUE(created) << error;
  EXPECT_EQ(created->source, CardSource::kCreate);
  EXPECT_EQ(created->personalisation.serialNumber,
            (std::array<uint8_t, 7>{0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10}));
  EXPECT_EQ(created->personalisation.userPin, "4321");
  EXPECT_EQ(created->personalisation.soPin, "99998888");
  EXPECT_EQ(created->personalisation.label, "Mine");
  EXPECT_EQ(created->personalisation.protocol, sim::Protocol::kT0);
  EXPECT_EQ(created->port, 40001);
  EXPECT_EQ(created->host, "::1");

  const auto loaded = Parse({"--image", "/tmp/c.img", "--apdu-log", "/tmp/a.log"}, &error);
  ASSERT_TRUE(loaded) << error;
  EXPECT_EQ(loaded->source, CardSource::kLoad);
  EXPECT_EQ(loaded->apduLogPath, "/tmp/a.log");

  const auto blank = Parse({"--image", "/tmp/c.img", "--blank"}, &error);
  ASSERT_TRUE(blank) << error;
  EXPECT_EQ(blank->source, CardSource::kCreate);
  EXPECT_FALSE(blank->personalisation.hasApplication);

  const auto blankInMemory = Parse({"--blank"}, &error);
  ASSERT_TRUE(blankInMemory) << error;
  EXPECT_EQ(blankInMemory->source, CardSource::kInMemory);
  EXPECT_FALSE(blankInMemory->personalisation.hasApplication);
}

TEST(VcardOptions, Refused) {
  const std::vector<std::vector<const char*>> refused = {
      {"--port", "0"},
      {"--port", "65536"},
      {"--port", "12ab"},
      {"--port"},
      {"--serial", "0123"},
      {"--serial", "0123456789ABCG"},
      {"--label", "a label that is longer than thirty-two bytes"},
      {"--protocol", "T2"},
      {"--public-area", "290:65636"},  // a size past 16 bits, not 100 after truncation
      {"--user-pin", ""},
      {"--new", "--blank"},
      {"--new=yes"},
      {"--image", "/tmp/c.img", "--user-pin", "1111"},  // the image has its own PINs
      {"--image", ""},
      {"--frobnicate"},
      {"extra"},
  };
  for (const auto& args : refused) {
    std::string error;
    EXPECT_FALSE(Parse(args, &error)) << args.front();
    EXPECT_FALSE(error.empty()) << args.front();
  }
}

}  // namespace
}  // namespace zorad::vcard
