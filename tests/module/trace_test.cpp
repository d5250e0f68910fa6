// The trace facility: configuration, file, line prefix, dump layout.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/module_fixture.h"
#include "trace/trace.h"

namespace zorad::test {
namespace {

namespace fs = std::filesystem;

const char kHyphens[] = "----------------------------------------------- ";

class TraceTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    trace::CloseFile();
    trace::SetMask(0);
    dir_ = fs::temp_directory_path() /
           ("zorad-trace-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    setenv("TMPDIR", dir_.c_str(), 1);
    unsetenv("ZORAD_PKCS11_TRACEMODE");
  }
  void TearDown() override {
    ModuleTest::TearDown();
    trace::CloseFile();
    trace::SetMask(0);
    unsetenv("ZORAD_PKCS11_TRACEMODE");
    unsetenv("TMPDIR");
    fs::remove_all(dir_);
  }

  std::vector<fs::path> TraceFiles() const {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      if (entry.path().filename().string().rfind("zor", 0) == 0) files.push_back(entry.path());
    }
    return files;
  }

  std::vector<std::string> TraceLines() const {
    const auto files = TraceFiles();
    EXPECT_EQ(1u, files.size());
    std::vector<std::string> lines;
    if (files.empty()) return lines;
    std::ifstream in(files.front());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  // The text of a line after its "<tick> [<thread>] " prefix.
  static std::string Message(const std::string& line) {
    static const std::regex prefix("^[0-9a-f]+ \\[[0-9a-f]+\\] ");
    std::smatch match;
    if (!std::regex_search(line, match, prefix)) return "<no prefix> " + line;
    return match.suffix();
  }

  fs::path dir_;
};

TEST_F(TraceTest, EntryAndExitLinesOnlyAtMaskOne) {
  setenv("ZORAD_PKCS11_TRACEMODE", "1", 1);
  ASSERT_CKR(CKR_OK, C_Initialize(nullptr));
  CK_INFO info;
  ASSERT_CKR(CKR_OK, C_GetInfo(&info));
  EXPECT_CKR(CKR_ARGUMENTS_BAD, C_GetSlotInfo(0x1234, nullptr));
  ASSERT_CKR(CKR_OK, C_Finalize(nullptr));

  std::vector<std::string> messages;
  for (const auto& line : TraceLines()) messages.push_back(Message(line));
  const std::string h = kHyphens;
  // The entry line of C_Initialize predates the file; the exit line of
  // C_Finalize is lost with it.
  const std::vector<std::string> expected = {
      h + "C_Initialize: 00000000",
      h + "C_GetInfo",
      h + "C_GetInfo: 00000000",
      h + "C_GetSlotInfo(0x00001234)",
      h + "C_GetSlotInfo: 00000007",
      h + "C_Finalize",
  };
  EXPECT_EQ(expected, messages);
}

TEST_F(TraceTest, FirstLineAtStepCategoryIsTheInitializeCounter) {
  setenv("ZORAD_PKCS11_TRACEMODE", "0x04", 1);
  ASSERT_CKR(CKR_OK, C_Initialize(nullptr));
  ASSERT_CKR(CKR_OK, C_Finalize(nullptr));
  const auto lines = TraceLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ("Initialize, init_counter=0", Message(lines.front()));
  EXPECT_EQ("Finalize: 0", Message(lines.back()));
}

TEST_F(TraceTest, NoFileWhenConfigurationIsAbsentOrMalformed) {
  for (const char* value : {static_cast<const char*>(nullptr), "", "garbage", "0x", "12a",
                            "4294967296", "-1", " 1", "0x1FFFFFFFF"}) {
    SCOPED_TRACE(value ? value : "(unset)");
    trace::SetMask(0);
    if (value) {
      setenv("ZORAD_PKCS11_TRACEMODE", value, 1);
    } else {
      unsetenv("ZORAD_PKCS11_TRACEMODE");
    }
    ASSERT_CKR(CKR_OK, C_Initialize(nullptr));
    ASSERT_CKR(CKR_OK, C_Finalize(nullptr));
    EXPECT_TRUE(TraceFiles().empty());
  }
}

TEST_F(TraceTest, ConfigurationValues) {
  struct Case {
    const char* text;
    std::optional<uint32_t> value;
  };
  const Case cases[] = {{"1", 1u},           {"0x30", 0x30u},         {"0X1f", 0x1Fu},
                        {"4294967295", 0xFFFFFFFFu}, {"0xFFFFFFFF", 0xFFFFFFFFu},
                        {"0", 0u},           {"4294967296", std::nullopt},
                        {"1 ", std::nullopt}, {"0x-1", std::nullopt}};
  for (const Case& c : cases) {
    setenv("ZORAD_PKCS11_TRACEMODE", c.text, 1);
    EXPECT_EQ(c.value, platform::ReadTraceMode()) << c.text;
  }
}

TEST_F(TraceTest, MalformedValueKeepsThePreviousMask) {
  trace::SetMask(0x02);
  setenv("ZORAD_PKCS11_TRACEMODE", "nonsense", 1);
  trace::Configure();
  EXPECT_TRUE(trace::Enabled(trace::kOperations));
  EXPECT_FALSE(trace::Enabled(trace::kEntryExit));
}

TEST_F(TraceTest, MaskAndCheckWordMustAgree) {
  trace::SetMask(0x3F);
  EXPECT_TRUE(trace::Enabled(trace::kDetail));
  EXPECT_EQ(3u, trace::ApduLevel());
  trace::g_mask.check = 0;  // a torn or tampered pair disables everything
  EXPECT_FALSE(trace::Enabled(trace::kDetail));
  EXPECT_EQ(0u, trace::ApduLevel());
}

TEST_F(TraceTest, FileIsPrivateToTheUser) {
  trace::SetMask(0x01);
  trace::OpenFile();
  const auto files = TraceFiles();
  ASSERT_EQ(1u, files.size());
  struct stat info {};
  ASSERT_EQ(0, ::stat(files.front().c_str(), &info));
  EXPECT_EQ(0600u, info.st_mode & 0777u);
}

TEST_F(TraceTest, DumpLayout) {
  trace::SetMask(0x08);
  trace::OpenFile();
  uint8_t data[20];
  for (int i = 0; i < 20; ++i) data[i] = static_cast<uint8_t>(0x41 + i);
  data[1] = 0x7F;
  data[2] = 0x80;
  data[3] = 0x1F;
  trace::DebugDump("pfx: ", data, sizeof data, false);
  trace::DebugDump("hidden: ", data, sizeof data, true);
  trace::CloseFile();
  const auto lines = TraceLines();
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ(
      "pfx: 41 7F 80 1F 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50    A\x7F..EFGHIJKLMNOP",
      Message(lines[0]));
  EXPECT_EQ("51 52 53 54 " + std::string(36, ' ') + "   QRST", Message(lines[1]));
}

TEST_F(TraceTest, OverlongLineIsTruncatedAtTheBuffer) {
  trace::SetMask(0x02);
  trace::OpenFile();
  const std::string longText(trace::kLineBufferSize * 2, 'x');
  trace::DebugPrintf("%s\n", longText.c_str());
  trace::DebugPrintf("following\n");
  trace::CloseFile();
  const auto lines = TraceLines();
  // The truncated record fills the buffer but its terminator and lost its
  // newline; the next record follows it whole.
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(trace::kLineBufferSize - 1, lines[0].rfind("xx") + 2);
  EXPECT_EQ("following", Message(lines[0].substr(trace::kLineBufferSize - 1)));
}

}  // namespace
}  // namespace zorad::test
