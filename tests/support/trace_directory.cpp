#include "support/trace_directory.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <system_error>

namespace zorad::test {

namespace fs = std::filesystem;

TraceDirectory::TraceDirectory(const std::string& mask) {
  std::string pattern = (fs::temp_directory_path() / "zorad-trace-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) return;
  path_ = pattern;
  if (const char* tmp = std::getenv("TMPDIR")) {
    hadTmpDir_ = true;
    savedTmpDir_ = tmp;
  }
  setenv("TMPDIR", path_.c_str(), 1);
  setenv("ZORAD_PKCS11_TRACEMODE", mask.c_str(), 1);
}

TraceDirectory::~TraceDirectory() {
  if (!ok()) return;
  unsetenv("ZORAD_PKCS11_TRACEMODE");
  if (hadTmpDir_) {
    setenv("TMPDIR", savedTmpDir_.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::vector<fs::path> TraceDirectory::Files() const {
  if (!ok()) return {};
  return {fs::directory_iterator(path_), fs::directory_iterator()};
}

std::string TraceDirectory::Contents() const {
  std::string text;
  for (const fs::path& file : Files()) {
    std::ifstream in(file, std::ios::binary);
    text.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return text;
}

std::vector<std::string> TraceForms(const std::vector<uint8_t>& bytes) {
  std::string spaced, compact;
  for (size_t i = 0; i < bytes.size(); ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%02X", bytes[i]);
    spaced += (i == 0 ? "" : " ") + std::string(hex);
    compact += hex;
  }
  std::string lower = compact;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return {std::string(bytes.begin(), bytes.end()), spaced, compact, lower};
}

void ExpectAbsentFromTrace(const std::string& trace, const std::vector<uint8_t>& secret,
                           const std::string& what) {
  for (const std::string& form : TraceForms(secret)) {
    EXPECT_EQ(std::string::npos, trace.find(form)) << what << " in the trace as \"" << form << "\"";
  }
}

}  // namespace zorad::test
