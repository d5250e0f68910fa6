#include "reader/reader_fixture.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

#include "reader/reader_context.h"
#include "trace/trace.h"

namespace zorad::test {

namespace fs = std::filesystem;

sim::CardAnswer ScriptedCard::Transmit(std::span<const uint8_t> command) {
  commands.emplace_back(command.begin(), command.end());
  if (answers.empty()) return {{0x90, 0x00}, false};
  sim::CardAnswer answer = std::move(answers.front());
  answers.pop_front();
  return answer;
}

Bytes Hex(const std::string& text) {
  Bytes bytes;
  std::istringstream in(text);
  for (std::string item; in >> item;) {
    bytes.push_back(static_cast<uint8_t>(std::stoul(item, nullptr, 16)));
  }
  return bytes;
}

Bytes WithSw(Bytes data, uint16_t sw) {
  data.push_back(static_cast<uint8_t>(sw >> 8));
  data.push_back(static_cast<uint8_t>(sw));
  return data;
}

Bytes Pattern(size_t length, uint8_t first) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

void ReaderTest::SetUp() {
  trace::SetMask(0);
  sim::pcsc::Reset();
  ASSERT_EQ(SCARD_S_SUCCESS, reader::OpenReaderContext());
  reader_ = reader::NewReader(kReaderName);
  ASSERT_TRUE(reader_);
}

void ReaderTest::TearDown() {
  if (reader_) reader::CloseReader(reader_.get());
  reader::CloseReaderContext();
  EXPECT_EQ(0u, sim::pcsc::LeakedTransactions()) << "a reader transaction was never ended";
  trace::SetMask(0);
}

void ReaderTest::AddReader(const sim::pcsc::ReaderOptions& options, bool withCard) {
  ASSERT_TRUE(sim::pcsc::AddReader(kReaderName, options));
  if (withCard) {
    ASSERT_TRUE(sim::pcsc::InsertCard(kReaderName, card_));
  }
}

void ReaderTest::Connect(const sim::pcsc::ReaderOptions& options) {
  AddReader(options);
  ASSERT_EQ(reader::RDR_OK, reader::OpenReader(kReaderName, reader_.get()));
}

TraceCapture::TraceCapture(uint32_t mask) {
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  dir_ = fs::temp_directory_path() / ("zorad-reader-trace-" + std::to_string(::getpid()) +
                                      "-" + test->name());
  fs::remove_all(dir_);
  fs::create_directories(dir_);
  setenv("TMPDIR", dir_.c_str(), 1);
  trace::CloseFile();
  trace::SetMask(mask);
  trace::OpenFile();
}

TraceCapture::~TraceCapture() {
  trace::CloseFile();
  trace::SetMask(0);
  unsetenv("TMPDIR");
  fs::remove_all(dir_);
}

std::vector<std::string> TraceCapture::Lines() {
  trace::FlushFile();
  std::vector<std::string> lines;
  static const std::regex prefix("^[0-9a-f]+ \\[[0-9a-f]+\\] ");
  for (const auto& entry : fs::directory_iterator(dir_)) {
    std::ifstream in(entry.path());
    for (std::string line; std::getline(in, line);) {
      lines.push_back(std::regex_replace(line, prefix, ""));
    }
  }
  return lines;
}

std::string TraceCapture::Text() {
  std::string text;
  for (const std::string& line : Lines()) text += line + "\n";
  return text;
}

}  // namespace zorad::test
