#include "pin_source.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tool_error.h"

#ifdef _WIN32
#include <conio.h>
#else
#include <termios.h>
#include <unistd.h>
#endif

namespace zorad::tool {
namespace {

// Longest PIN line accepted; the token takes far fewer bytes.
constexpr size_t kMaxPinLine = 256;

Secret NonEmpty(Secret pin, const std::string& what) {
  if (pin.empty()) throw ToolError(ExitCode::kPin, "The " + what + " is empty: enter the PIN.");
  return pin;
}

#ifdef _WIN32
Secret ReadWithoutEcho(const std::string& what) {
  std::fprintf(stderr, "%s: ", what.c_str());
  std::fflush(stderr);
  Secret pin;
  for (int c = _getch(); c != '\r' && c != '\n' && c != EOF; c = _getch()) {
    if (c == '\b') {
      if (!pin.empty()) pin.pop_back();
    } else if (pin.size() < kMaxPinLine) {
      pin.push_back(static_cast<uint8_t>(c));
    }
  }
  std::fputc('\n', stderr);
  return pin;
}
#else
// Reads one line from `in` into the wiping buffer, without the line end.
Secret ReadLine(FILE* in) {
  Secret pin;
  for (int c = std::fgetc(in); c != EOF && c != '\n'; c = std::fgetc(in)) {
    if (c == '\r') continue;
    if (pin.size() < kMaxPinLine) pin.push_back(static_cast<uint8_t>(c));
  }
  return pin;
}

Secret ReadWithoutEcho(const std::string& what) {
  FILE* tty = std::fopen("/dev/tty", "r+");
  if (tty == nullptr) return ReadLine(stdin);  // a script feeds the PIN
  std::setvbuf(tty, nullptr, _IONBF, 0);
  std::fprintf(tty, "%s: ", what.c_str());
  termios saved{};
  const bool terminal = tcgetattr(fileno(tty), &saved) == 0;
  if (terminal) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    tcsetattr(fileno(tty), TCSAFLUSH, &quiet);
  }
  Secret pin = ReadLine(tty);
  if (terminal) tcsetattr(fileno(tty), TCSAFLUSH, &saved);
  std::fclose(tty);
  return pin;
}
#endif

}  // namespace

Secret PinFromEnvironment(const std::string& variable) {
  const char* value = std::getenv(variable.c_str());
  if (value == nullptr) {
    throw UsageError("the environment variable '" + variable + "' named for a PIN is not set");
  }
  return Secret(value, value + std::strlen(value));
}

Secret PromptPin(const std::string& what) { return ReadWithoutEcho(what); }

Secret ReadPin(const ParsedArgs& args, const std::string& envOption, const std::string& what) {
  if (const auto variable = args.Find(envOption)) {
    return NonEmpty(PinFromEnvironment(*variable), what);
  }
  return NonEmpty(PromptPin(what), what);
}

Secret ReadNewPin(const ParsedArgs& args, const std::string& envOption, const std::string& what) {
  if (const auto variable = args.Find(envOption)) {
    return NonEmpty(PinFromEnvironment(*variable), what);
  }
  Secret first = NonEmpty(PromptPin(what), what);
  const Secret second = PromptPin(what + " again");
  if (first != second) {
    throw ToolError(ExitCode::kPin, "The two entries of the " + what +
                                        " differ: nothing was changed; enter it again.");
  }
  return first;
}

}  // namespace zorad::tool
