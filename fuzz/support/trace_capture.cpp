#include "support/trace_capture.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "support/fuzz_input.h"
#include "support/module_rig.h"

namespace zorad::fuzz {
namespace {

namespace fs = std::filesystem;

using Bytes = std::vector<uint8_t>;

constexpr size_t kDumpHexWidth = 48;

char g_folder[] = "/tmp/zorad-fuzz-trace-XXXXXX";

void RemoveFolder() {
  std::error_code ec;
  fs::remove_all(g_folder, ec);
}

// The folder, made once and removed at exit; TMPDIR points the module's
// trace files there.
const char* Folder() {
  static const bool made = [] {
    Check(mkdtemp(g_folder) != nullptr, "no trace folder");
    setenv("TMPDIR", g_folder, 1);
    std::atexit(RemoveFolder);
    return true;
  }();
  return made ? g_folder : nullptr;
}

// A trace line without its "<tick> [<thread>] " prefix.
std::string Content(const std::string& line) {
  const size_t at = line.find("] ");
  return at == std::string::npos ? line : line.substr(at + 2);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The bytes of the hex column of one dump line: "XX " per byte.
void AppendDumpBytes(const std::string& content, Bytes& out) {
  const size_t end = std::min(content.size(), kDumpHexWidth);
  for (size_t i = 0; i + 1 < end; i += 3) {
    const int high = HexDigit(content[i]);
    const int low = HexDigit(content[i + 1]);
    if (high < 0 || low < 0) return;
    out.push_back(static_cast<uint8_t>(high << 4 | low));
  }
}

// The instructions whose command data carries a PIN: VERIFY and CHANGE
// REFERENCE DATA. Other commands may carry PIN-like bytes legitimately (a
// label written into an object record), so only these are checked.
bool CarriesPin(const std::string& header) {
  return header.find("INS=20 ") != std::string::npos ||
         header.find("INS=24 ") != std::string::npos;
}

// The data the trace shows ("Data In:" and its dump) of every command that
// carries a PIN.
std::vector<Bytes> PinCommandData(const std::string& trace) {
  std::vector<Bytes> commands;
  std::istringstream lines(trace);
  std::string line;
  bool pinCommand = false;
  bool inData = false;
  while (std::getline(lines, line)) {
    const std::string content = Content(line);
    if (content.rfind("CLA=", 0) == 0) {
      pinCommand = CarriesPin(content);
      inData = false;
    } else if (content == "Data In:" && pinCommand) {
      commands.emplace_back();
      inData = true;
    } else if (inData && !content.empty()) {
      AppendDumpBytes(content, commands.back());
    } else {
      inData = false;
    }
  }
  return commands;
}

bool Contains(const Bytes& data, const std::string& pin) {
  return std::search(data.begin(), data.end(), pin.begin(), pin.end()) != data.end();
}

void CheckFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string trace{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  for (const Bytes& data : PinCommandData(trace)) {
    for (const std::string pin : {kUserPin, kSoPin, kChangedUserPin}) {
      Check(!Contains(data, pin), "a PIN shows in the trace of a command");
    }
  }
}

}  // namespace

TraceCapture::TraceCapture(uint8_t mask) {
  Folder();
  setenv("ZORAD_PKCS11_TRACEMODE", std::to_string(mask).c_str(), 1);
}

TraceCapture::~TraceCapture() {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(Folder(), ec)) {
    CheckFile(entry.path());
    fs::remove(entry.path(), ec);
  }
  setenv("ZORAD_PKCS11_TRACEMODE", "0", 1);
}

}  // namespace zorad::fuzz
