// The trace file as the module writes it on Windows: configured by the
// registry value "TraceMode" (set by scripts/test-windows before the run,
// which passes the value it wrote in ZORAD_TRACE_EXPECT: a mask, or "none"
// for a value the module must ignore), created by GetTempFileNameA with the
// prefix "zor" in the temporary folder; skipped when the variable is unset.
// The value types and sizes the module accepts are tested by writing the
// value from here.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "windows_fixture.h"

namespace zorad::wintest {
namespace {

const std::string kHyphens = std::string(47, '-') + " ";

std::string TempFolder() {
  char path[MAX_PATH + 1] = {};
  const DWORD length = GetTempPathA(MAX_PATH, path);
  return std::string(path, length <= MAX_PATH ? length : 0);
}

std::set<std::string> TraceFiles() {
  std::set<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((TempFolder() + "zor*.tmp").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    names.insert(found.cFileName);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return names;
}

// The PIN as text or as dumped bytes. The serial number "0123456789ABCD"
// holds the same digits, after a 0.
bool HoldsUserPin(const std::string& text) {
  for (size_t at = text.find(kUserPin); at != std::string::npos; at = text.find(kUserPin, at + 1)) {
    if (at == 0 || text[at - 1] != '0') return true;
  }
  return text.find("31 32 33 34 35 36 37 38") != std::string::npos;
}

std::string HexDump(const uint8_t* bytes, size_t length) {
  std::string text;
  char cell[4];
  for (size_t i = 0; i < length; ++i) {
    std::snprintf(cell, sizeof cell, "%02X ", bytes[i]);
    text += cell;
  }
  return text;
}

struct TraceLine {
  std::string tick;
  std::string thread;
  std::string message;
};

// Splits the file into lines and their "%x [%x] " prefixes; false when a
// line lacks the prefix. The one format that breaks its own line is the
// ATR's ("\nATR:\n" and a dump), whose "ATR:" stands alone.
bool ParseTrace(const std::string& text, std::vector<TraceLine>* lines) {
  static const std::regex kPrefix("^([0-9a-f]+) \\[([0-9a-f]+)\\] (.*)$");
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::smatch match;
    if (line == "ATR:") continue;
    if (!std::regex_match(line, match, kPrefix)) {
      ADD_FAILURE() << "line without the tick and thread prefix: " << line;
      return false;
    }
    lines->push_back({match[1], match[2], match[3]});
  }
  return true;
}

class TraceFileTest : public ModuleTest {
 protected:
  void SetUp() override {
    const char* expect = std::getenv("ZORAD_TRACE_EXPECT");
    if (expect == nullptr || *expect == '\0') GTEST_SKIP() << "ZORAD_TRACE_EXPECT not set";
    expectNone_ = std::string(expect) == "none";
    mask_ = expectNone_ ? 0 : static_cast<uint32_t>(std::strtoul(expect, nullptr, 0));
    ModuleTest::SetUp();
    ASSERT_TRUE(Sim().AddReader(kReader, nullptr));
    ASSERT_TRUE(Sim().InsertCard(kReader, nullptr));
  }

  // One application's short life; returns the number of exported calls
  // made while the trace file was open, and the random bytes drawn.
  int RunCalls(Bytes* random) {
    int traced = 0;
    EXPECT_CKR(CKR_OK, F().C_Initialize(nullptr));
    CK_INFO info;
    EXPECT_CKR(CKR_OK, F().C_GetInfo(&info));
    CK_ULONG count = 1;
    CK_SLOT_ID slot = 0;
    EXPECT_CKR(CKR_OK, F().C_GetSlotList(CK_TRUE, nullptr, &count));
    EXPECT_CKR(CKR_OK, F().C_GetSlotList(CK_TRUE, &slot, &count));
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    EXPECT_CKR(CKR_OK, F().C_OpenSession(slot, kReadWrite, nullptr, nullptr, &session));
    EXPECT_CKR(CKR_OK, Login(session, CKU_USER, kUserPin));
    random->assign(16, 0);
    EXPECT_CKR(CKR_OK, F().C_GenerateRandom(session, random->data(), 16));
    EXPECT_CKR(CKR_OK, F().C_Logout(session));
    traced = 7;  // C_GetInfo to C_Logout
    EXPECT_CKR(CKR_OK, F().C_Finalize(nullptr));
    return traced;
  }

  bool expectNone_ = false;
  uint32_t mask_ = 0;
};

TEST_F(TraceFileTest, OneApplicationLife) {
  const std::set<std::string> before = TraceFiles();
  Bytes random;
  const int calls = RunCalls(&random);
  std::vector<std::string> created;
  for (const std::string& name : TraceFiles()) {
    if (!before.count(name)) created.push_back(name);
  }
  if (expectNone_) {
    EXPECT_TRUE(created.empty()) << "a trace file was made: " << created.front();
    return;
  }
  ASSERT_EQ(1u, created.size());
  std::ifstream file(TempFolder() + created.front(), std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(text.empty());

  // Secrets never reach the file: the PIN as text or as dumped bytes, and
  // the random bytes the card handed out.
  EXPECT_FALSE(HoldsUserPin(text));
  EXPECT_EQ(std::string::npos, text.find(HexDump(random.data(), 8)));
  EXPECT_EQ(std::string::npos, text.find(HexDump(random.data() + 8, 8)));

  std::vector<TraceLine> lines;
  ASSERT_TRUE(ParseTrace(text, &lines));
  ASSERT_FALSE(lines.empty());
  char thread[16];
  std::snprintf(thread, sizeof thread, "%lx", static_cast<unsigned long>(GetCurrentThreadId()));
  for (const TraceLine& line : lines) EXPECT_EQ(thread, line.thread) << line.message;

  if (mask_ & 0x04) {
    EXPECT_EQ("Initialize, init_counter=0", lines.front().message);
  } else if (mask_ & 0x01) {
    // The entry line of the C_Initialize that opens the file is lost.
    EXPECT_EQ(kHyphens + "C_Initialize: 00000000", lines.front().message);
  }
  if (mask_ & 0x01) {
    std::set<std::string> messages;
    for (const TraceLine& line : lines) messages.insert(line.message);
    EXPECT_TRUE(messages.count(kHyphens + "C_GetInfo"));
    EXPECT_TRUE(messages.count(kHyphens + "C_GetInfo: 00000000"));
    EXPECT_TRUE(messages.count(kHyphens + "C_Finalize"));
  }
  if (mask_ == 0x01) {
    // Only entry and exit lines: the exit of C_Initialize, both lines of
    // each call in between, and the entry of C_Finalize (its exit line
    // comes after the file is closed).
    for (const TraceLine& line : lines) EXPECT_EQ(0u, line.message.rfind(kHyphens, 0));
    EXPECT_EQ(static_cast<size_t>(1 + 2 * calls + 1), lines.size());
  }
  if (((mask_ >> 4) & 3) >= 2) {
    EXPECT_NE(std::string::npos, text.find("Data In:"));
    EXPECT_NE(std::string::npos, text.find("SW=9000"));
  }
}

// The registry value is read at every C_Initialize, as a REG_DWORD or a
// REG_BINARY of exactly 4 bytes; anything else leaves the mask as it was.
// The test writes the value itself and puts the original back.
class TraceRegistryTest : public ModuleTest {
 protected:
  static constexpr const char* kKey = "SOFTWARE\\Corvantix\\zorad_pkcs11\\Config";

  void SetUp() override {
    ModuleTest::SetUp();
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0,
                              KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key_, nullptr));
    DWORD size = sizeof original_;
    hadValue_ = RegQueryValueExA(key_, "TraceMode", nullptr, &originalType_, original_, &size) ==
                ERROR_SUCCESS;
    originalSize_ = size;
  }
  void TearDown() override {
    if (key_ != nullptr) {
      // Mask 0 first, so that a missing original leaves tracing off.
      Write(REG_DWORD, {0, 0, 0, 0});
      InitializeAndFinalize();
      if (hadValue_) {
        RegSetValueExA(key_, "TraceMode", 0, originalType_, original_, originalSize_);
      } else {
        RegDeleteValueA(key_, "TraceMode");
      }
      RegCloseKey(key_);
    }
    ModuleTest::TearDown();
  }
  void Write(DWORD type, const Bytes& data) {
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key_, "TraceMode", 0, type, data.data(),
                                            static_cast<DWORD>(data.size())));
  }
  static void InitializeAndFinalize() {
    EXPECT_CKR(CKR_OK, F().C_Initialize(nullptr));
    CK_INFO info;
    EXPECT_CKR(CKR_OK, F().C_GetInfo(&info));
    EXPECT_CKR(CKR_OK, F().C_Finalize(nullptr));
  }

  HKEY key_ = nullptr;
  bool hadValue_ = false;
  DWORD originalType_ = 0;
  BYTE original_[64] = {};
  DWORD originalSize_ = 0;
};

TEST_F(TraceRegistryTest, ValueTypesAndSizes) {
  struct Case {
    const char* what;
    DWORD type;
    Bytes data;
    bool traces;
  };
  const Case cases[] = {
      {"REG_DWORD 0x05", REG_DWORD, {5, 0, 0, 0}, true},
      {"REG_BINARY of 4 bytes", REG_BINARY, {5, 0, 0, 0}, true},
      {"REG_BINARY of 3 bytes", REG_BINARY, {5, 0, 0}, false},
      {"REG_BINARY of 8 bytes", REG_BINARY, {5, 0, 0, 0, 0, 0, 0, 0}, false},
      {"REG_QWORD", REG_QWORD, {5, 0, 0, 0, 0, 0, 0, 0}, false},
      {"REG_SZ", REG_SZ, {'5', 0}, false},
      {"REG_DWORD 0", REG_DWORD, {0, 0, 0, 0}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // Tracing off, then the value under test, read by the next C_Initialize.
    Write(REG_DWORD, {0, 0, 0, 0});
    InitializeAndFinalize();
    Write(c.type, c.data);
    const std::set<std::string> before = TraceFiles();
    InitializeAndFinalize();
    std::vector<std::string> created;
    for (const std::string& name : TraceFiles()) {
      if (!before.count(name)) created.push_back(name);
    }
    ASSERT_EQ(c.traces ? 1u : 0u, created.size());
    if (!c.traces) continue;
    std::ifstream file(TempFolder() + created.front(), std::ios::binary);
    std::string first;
    std::getline(file, first);
    EXPECT_NE(std::string::npos, first.find("] Initialize, init_counter=0")) << first;
  }
}

}  // namespace
}  // namespace zorad::wintest
