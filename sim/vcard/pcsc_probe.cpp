// zorad-pcsc-probe: asks the running pcscd about its readers, through the
// real PC/SC library. Used by scripts/virtual-reader and the end-to-end
// tests to wait until the virtual reader is there and its card answers.
//
//   zorad-pcsc-probe readers
//       lists the readers, one per line (exit 1 when there are none, 3 when
//       no PC/SC service answers)
//   zorad-pcsc-probe wait [--reader TEXT] [--absent] [--timeout-ms N]
//       waits until a reader whose name contains TEXT (default
//       "Virtual PCD") is listed and holds a card that a connection
//       reaches; prints "READER<TAB>ATR" (hex). With --absent waits until
//       such readers are listed and none holds a card. Exit 1 on time-out.
//   zorad-pcsc-probe transmit [--reader TEXT] APDU...
//       sends each command APDU (hex) to the card in the first matching
//       reader that holds one and prints each answer (hex), one per line.
#include <time.h>
#include <winscard.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr unsigned long kPollMs = 100;
constexpr int kExitNoService = 3;

struct Probe {
  std::string reader;
  std::vector<BYTE> atr;
  bool present = false;
};

std::vector<std::string> ListReaders(SCARDCONTEXT context) {
  DWORD size = 0;
  if (SCardListReaders(context, nullptr, nullptr, &size) != SCARD_S_SUCCESS || size == 0) return {};
  std::vector<char> names(size);
  if (SCardListReaders(context, nullptr, names.data(), &size) != SCARD_S_SUCCESS) return {};
  std::vector<std::string> readers;
  for (size_t at = 0; at < names.size() && names[at] != '\0';) {
    readers.emplace_back(&names[at]);
    at += readers.back().size() + 1;
  }
  return readers;
}

// Connects to the card in the reader and reads its ATR; false when there is
// no card or it does not answer.
bool ReadAtr(SCARDCONTEXT context, const std::string& reader, std::vector<BYTE>* atr) {
  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  if (SCardConnect(context, reader.c_str(), SCARD_SHARE_SHARED,
                   SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol) != SCARD_S_SUCCESS) {
    return false;
  }
  BYTE bytes[MAX_ATR_SIZE];
  DWORD atrLength = sizeof bytes;
  DWORD state = 0;
  char name[256];
  DWORD nameLength = sizeof name;
  const LONG rc = SCardStatus(card, name, &nameLength, &state, &protocol, bytes, &atrLength);
  SCardDisconnect(card, SCARD_LEAVE_CARD);
  if (rc != SCARD_S_SUCCESS || atrLength > sizeof bytes) return false;
  atr->assign(bytes, bytes + atrLength);
  return true;
}

// Every listed reader whose name contains `match`, with its card state.
std::vector<Probe> Look(std::string_view match) {
  std::vector<Probe> found;
  SCARDCONTEXT context = 0;
  if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS) {
    return found;
  }
  for (const std::string& reader : ListReaders(context)) {
    if (reader.find(match) == std::string::npos) continue;
    Probe probe{reader, {}, false};
    probe.present = ReadAtr(context, reader, &probe.atr);
    found.push_back(std::move(probe));
  }
  SCardReleaseContext(context);
  return found;
}

// Present: the first matching reader with a card that answers. Absent:
// the first matching reader, once none of them holds a card.
const Probe* Satisfying(const std::vector<Probe>& probes, bool absent) {
  if (probes.empty()) return nullptr;
  for (const Probe& probe : probes) {
    if (probe.present) return absent ? nullptr : &probe;
  }
  return absent ? &probes.front() : nullptr;
}

void Sleep(unsigned long ms) {
  timespec delay{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  nanosleep(&delay, nullptr);
}

int ListCommand() {
  SCARDCONTEXT context = 0;
  const LONG rc = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
  if (rc != SCARD_S_SUCCESS) {
    std::fprintf(stderr, "zorad-pcsc-probe: no PC/SC service: %s\n", pcsc_stringify_error(rc));
    return kExitNoService;
  }
  const auto readers = ListReaders(context);
  for (const std::string& reader : readers) std::printf("%s\n", reader.c_str());
  SCardReleaseContext(context);
  return readers.empty() ? 1 : 0;
}

int WaitCommand(std::string_view match, bool absent, unsigned long timeoutMs) {
  for (unsigned long waited = 0;; waited += kPollMs) {
    const std::vector<Probe> probes = Look(match);
    if (const Probe* probe = Satisfying(probes, absent)) {
      std::printf("%s\t", probe->reader.c_str());
      for (BYTE b : probe->atr) std::printf("%02X", b);
      std::printf("\n");
      return 0;
    }
    if (waited >= timeoutMs) {
      std::fprintf(stderr, "zorad-pcsc-probe: no reader matching \"%.*s\" %s after %lu ms\n",
                   static_cast<int>(match.size()), match.data(),
                   absent ? "without a card" : "with a card that answers", timeoutMs);
      return 1;
    }
    Sleep(kPollMs);
  }
}

bool ParseHex(std::string_view text, std::vector<BYTE>* bytes) {
  if (text.empty() || text.size() % 2 != 0) return false;
  bytes->clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    const std::string pair(text.substr(i, 2));
    char* end = nullptr;
    const unsigned long value = std::strtoul(pair.c_str(), &end, 16);
    if (*end != '\0' || pair.find_first_of("+- ") != std::string::npos) return false;
    bytes->push_back(static_cast<BYTE>(value));
  }
  return true;
}

int TransmitCommand(std::string_view match, const std::vector<std::string_view>& apdus) {
  std::vector<std::vector<BYTE>> commands(apdus.size());
  for (size_t i = 0; i < apdus.size(); ++i) {
    if (!ParseHex(apdus[i], &commands[i])) return 2;
  }
  const std::vector<Probe> probes = Look(match);
  const Probe* target = Satisfying(probes, false);
  SCARDCONTEXT context = 0;
  if (target == nullptr ||
      SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS) {
    std::fprintf(stderr, "zorad-pcsc-probe: no card in a reader matching the name\n");
    return 1;
  }
  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  LONG rc = SCardConnect(context, target->reader.c_str(), SCARD_SHARE_SHARED,
                         SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol);
  for (size_t i = 0; rc == SCARD_S_SUCCESS && i < commands.size(); ++i) {
    BYTE answer[MAX_BUFFER_SIZE_EXTENDED];
    DWORD length = sizeof answer;
    const SCARD_IO_REQUEST* pci = protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
    rc = SCardTransmit(card, pci, commands[i].data(), static_cast<DWORD>(commands[i].size()),
                       nullptr, answer, &length);
    if (rc != SCARD_S_SUCCESS || length > sizeof answer) break;
    for (DWORD j = 0; j < length; ++j) std::printf("%02X", answer[j]);
    std::printf("\n");
  }
  if (card != 0) SCardDisconnect(card, SCARD_LEAVE_CARD);
  SCardReleaseContext(context);
  if (rc != SCARD_S_SUCCESS) {
    std::fprintf(stderr, "zorad-pcsc-probe: %s\n", pcsc_stringify_error(rc));
    return 1;
  }
  return 0;
}

int Usage() {
  std::fputs(
      "usage: zorad-pcsc-probe readers\n"
      "       zorad-pcsc-probe wait [--reader TEXT] [--absent] [--timeout-ms N]\n"
      "       zorad-pcsc-probe transmit [--reader TEXT] APDU...\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  if (args.size() == 1 && args[0] == "readers") return ListCommand();
  if (args.empty() || (args[0] != "wait" && args[0] != "transmit")) return Usage();
  std::string_view match = "Virtual PCD";
  bool absent = false;
  unsigned long timeoutMs = 10000;
  std::vector<std::string_view> apdus;
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--reader" && i + 1 < args.size()) {
      match = args[++i];
    } else if (args[0] == "wait" && args[i] == "--absent") {
      absent = true;
    } else if (args[0] == "wait" && args[i] == "--timeout-ms" && i + 1 < args.size()) {
      char* end = nullptr;
      const std::string text(args[++i]);
      timeoutMs = std::strtoul(text.c_str(), &end, 10);
      if (text.empty() || *end != '\0') return Usage();
    } else if (args[0] == "transmit" && !args[i].starts_with("--")) {
      apdus.push_back(args[i]);
    } else {
      return Usage();
    }
  }
  if (args[0] == "wait") return WaitCommand(match, absent, timeoutMs);
  if (apdus.empty()) return Usage();
  const int rc = TransmitCommand(match, apdus);
  return rc == 2 ? Usage() : rc;
}
