// Card images: a card created with --new keeps every change across daemon
// runs, written as it happens (a killed daemon loses nothing), and an image
// that exists is never replaced by a new card.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include "sim/card/card_image.h"
#include "sim/card/personalisation.h"
#include "vcard_test_support.h"

namespace zorad::vcard {
namespace {

using testing::Bytes;
using testing::DaemonProcess;
using testing::FakeVpcd;
using testing::FromHex;
using testing::TempDir;
using testing::ToHex;

const Bytes kSelectApplication = FromHex("00A4040C0C5A4F5241445F504B43533131");
const Bytes kUserPinStatus = FromHex("00200069");

Bytes Verify(const std::string& pin) {
  Bytes command = FromHex("0020006900");
  const std::vector<uint8_t> block = sim::PinBlock(pin);
  command[4] = static_cast<uint8_t>(block.size());
  command.insert(command.end(), block.begin(), block.end());
  return command;
}

uint8_t UserPinTriesInImage(const std::string& path) {
  std::string error;
  const auto state = sim::LoadCardImage(path, &error);
  EXPECT_TRUE(state) << error;
  return state ? state->pins.at(sim::kUserPinRef).triesLeft : 0;
}

std::vector<std::string> Args(const FakeVpcd& vpcd, std::vector<std::string> more) {
  more.insert(more.begin(), {"--port", std::to_string(vpcd.Port())});
  return more;
}

TEST(VcardImage, ChangesPersistAcrossRuns) {
  TempDir dir;
  const std::string image = dir.File("card.img");
  FakeVpcd vpcd;
  {
    DaemonProcess daemon(Args(
        vpcd, {"--image", image, "--new", "--user-pin", "4321", "--serial", "0102030405060A"}));
    ASSERT_TRUE(vpcd.Accept()) << daemon.Stderr();
    EXPECT_EQ(ToHex(vpcd.Exchange(kSelectApplication)), "9000");
    EXPECT_EQ(ToHex(vpcd.Exchange(Verify("9999"))), "63C9");
    // Killed without a chance to save at exit: the change is already there.
    daemon.Signal(SIGKILL);
    daemon.WaitExit();
  }
  EXPECT_EQ(UserPinTriesInImage(image), 9);
  {
    DaemonProcess daemon(Args(vpcd, {"--image", image}));
    ASSERT_TRUE(vpcd.Accept()) << daemon.Stderr();
    EXPECT_EQ(ToHex(vpcd.Exchange(FromHex("80FE060007"))), "0102030405060A9000");
    EXPECT_EQ(ToHex(vpcd.Exchange(kSelectApplication)), "9000");
    EXPECT_EQ(ToHex(vpcd.Exchange(kUserPinStatus)), "63C9");
    EXPECT_EQ(ToHex(vpcd.Exchange(Verify("4321"))), "9000");
    daemon.Signal(SIGTERM);
    EXPECT_EQ(daemon.WaitExit(), 0) << daemon.Stderr();
  }
  EXPECT_EQ(UserPinTriesInImage(image), 10);
  // Only the image is left in the folder: no temporary files.
  size_t files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.Path()))
    ++files;
  EXPECT_EQ(files, 1u);
}

TEST(VcardImage, RefusesToReplaceOrLoadBadImages) {
  TempDir dir;
  const std::string image = dir.File("card.img");
  { std::ofstream(image) << "not a card"; }
  struct Case {
    const char* what;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {"--new over an existing file", {"--image", image, "--new"}},
      {"--blank over an existing file", {"--image", image, "--blank"}},
      {"a file that is no card image", {"--image", image}},
      {"a missing image", {"--image", dir.File("missing.img")}},
  };
  for (const Case& c : cases) {
    DaemonProcess daemon(c.args);
    EXPECT_EQ(daemon.WaitExit(), 1) << c.what;
    EXPECT_FALSE(daemon.Stderr().empty()) << c.what;
  }
  EXPECT_EQ(testing::ReadFile(image), "not a card");
  EXPECT_FALSE(std::filesystem::exists(dir.File("missing.img")));
}

TEST(VcardImage, BlankCardHasNoApplication) {
  TempDir dir;
  FakeVpcd vpcd;
  DaemonProcess daemon(Args(vpcd, {"--image", dir.File("blank.img"), "--blank"}));
  ASSERT_TRUE(vpcd.Accept()) << daemon.Stderr();
  EXPECT_EQ(ToHex(vpcd.Exchange(kSelectApplication)), "6A82");
  std::string error;
  const auto state = sim::LoadCardImage(dir.File("blank.img"), &error);
  ASSERT_TRUE(state) << error;
  EXPECT_FALSE(state->settings.hasApplication);
}

}  // namespace
}  // namespace zorad::vcard
