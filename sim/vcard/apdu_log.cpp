#include "sim/vcard/apdu_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zorad::vcard {
namespace {

constexpr size_t kHeaderSize = 5;  // CLA INS P1 P2 P3

struct Secrecy {
  bool commandData = false;
  bool answerData = false;
};

Secrecy SecrecyOf(std::span<const uint8_t> command) {
  if (command.size() < 2) return {};
  switch (command[1]) {
    case 0x20:
      return {true, false};  // VERIFY: PIN
    case 0x24:
      return {true, false};  // CHANGE REFERENCE DATA: PIN or key value
    case 0x84:
      return {false, true};  // GET CHALLENGE: random bytes
    default:
      return {};
  }
}

// Hex bytes separated by spaces; those in [maskBegin, maskEnd) show as "**".
void AppendBytes(std::string& line, std::span<const uint8_t> bytes, size_t maskBegin,
                 size_t maskEnd) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (!line.empty()) line.push_back(' ');
    if (i >= maskBegin && i < maskEnd) {
      line.append("**");
    } else {
      line.push_back(kHex[bytes[i] >> 4]);
      line.push_back(kHex[bytes[i] & 0x0F]);
    }
  }
}

}  // namespace

std::string FormatExchange(std::span<const uint8_t> command, std::span<const uint8_t> answer) {
  const Secrecy secrecy = SecrecyOf(command);
  std::string line;
  line.reserve((command.size() + answer.size()) * 3 + 4);
  AppendBytes(line, command, secrecy.commandData ? kHeaderSize : command.size(), command.size());
  line.append(" =>");
  // The status word is never secret, only the data before it.
  const size_t answerData = answer.size() >= 2 ? answer.size() - 2 : 0;
  AppendBytes(line, answer, 0, secrecy.answerData ? answerData : 0);
  return line;
}

ApduLog::~ApduLog() {
  if (file_ != nullptr) std::fclose(file_);
}

bool ApduLog::Open(const std::string& path, std::string* error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (error != nullptr) *error = path + ": " + std::strerror(errno);
    return false;
  }
  file_ = ::fdopen(fd, "a");
  if (file_ == nullptr) {
    if (error != nullptr) *error = path + ": " + std::strerror(errno);
    ::close(fd);
    return false;
  }
  return true;
}

void ApduLog::Write(std::span<const uint8_t> command, std::span<const uint8_t> answer) {
  if (file_ == nullptr) return;
  const std::string line = FormatExchange(command, answer);
  std::fprintf(file_, "%s\n", line.c_str());
  std::fflush(file_);
}

void ApduLog::Note(const std::string& text) {
  if (file_ == nullptr) return;
  std::fprintf(file_, "# %s\n", text.c_str());
  std::fflush(file_);
}

}  // namespace zorad::vcard
