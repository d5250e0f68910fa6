#include "sim/vcard/vcard_options.h"

#include <charconv>
#include <cstdint>
#include <string_view>

namespace zorad::vcard {
namespace {

constexpr size_t kLabelLength = 32;

bool ParsePort(std::string_view text, uint16_t* port) {
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value == 0 || value > 0xFFFF) {
    return false;
  }
  *port = static_cast<uint16_t>(value);
  return true;
}

bool ParseSerial(std::string_view text, std::array<uint8_t, 7>* serial) {
  if (text.size() != serial->size() * 2) return false;
  for (size_t i = 0; i < serial->size(); ++i) {
    uint8_t byte = 0;
    const char* first = text.data() + i * 2;
    const auto [end, ec] = std::from_chars(first, first + 2, byte, 16);
    if (ec != std::errc() || end != first + 2) return false;
    (*serial)[i] = byte;
  }
  return true;
}

bool ParseProtocol(std::string_view text, sim::Protocol* protocol) {
  if (text == "T0" || text == "t0") {
    *protocol = sim::Protocol::kT0;
  } else if (text == "T1" || text == "t1") {
    *protocol = sim::Protocol::kT1;
  } else {
    return false;
  }
  return true;
}

// BLOCKS:SIZE, both 1..65535: the area's object space is BLOCKS x SIZE bytes.
// Whether the layout fits the card's addressing limits is left to
// CheckPersonalisation, which names the limit that is passed.
bool ParseAreaLayout(std::string_view text, sim::AreaDescriptor* area) {
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  uint16_t parts[2] = {};
  const std::string_view fields[2] = {text.substr(0, colon), text.substr(colon + 1)};
  for (int i = 0; i < 2; ++i) {
    const char* last = fields[i].data() + fields[i].size();
    const auto [end, ec] = std::from_chars(fields[i].data(), last, parts[i]);
    if (ec != std::errc() || end != last || parts[i] == 0) return false;
  }
  *area = sim::AreaDescriptor{uint32_t{parts[0]} * parts[1], 0, parts[0], parts[1]};
  return true;
}

bool SetText(std::string_view value, std::string* text, size_t maxLength = SIZE_MAX) {
  *text = value;
  return !value.empty() && value.size() <= maxLength;
}

// Options that take a value: name, whether it personalises a new card, setter.
struct ValueOption {
  std::string_view name;
  bool personalises;
  bool (*set)(std::string_view value, VcardOptions& o);
};

using V = std::string_view;
using O = VcardOptions;
const ValueOption kValueOptions[] = {
    {"--image", false, [](V v, O& o) { return SetText(v, &o.imagePath); }},
    {"--host", false, [](V v, O& o) { return SetText(v, &o.host); }},
    {"--port", false, [](V v, O& o) { return ParsePort(v, &o.port); }},
    {"--apdu-log", false, [](V v, O& o) { return SetText(v, &o.apduLogPath); }},
    {"--serial", true, [](V v, O& o) { return ParseSerial(v, &o.personalisation.serialNumber); }},
    {"--so-pin", true, [](V v, O& o) { return SetText(v, &o.personalisation.soPin); }},
    {"--user-pin", true, [](V v, O& o) { return SetText(v, &o.personalisation.userPin); }},
    {"--label", true, [](V v, O& o) { return SetText(v, &o.personalisation.label, kLabelLength); }},
    {"--protocol", true, [](V v, O& o) { return ParseProtocol(v, &o.personalisation.protocol); }},
    {"--public-area", true,
     [](V v, O& o) { return ParseAreaLayout(v, &o.personalisation.publicArea); }},
    {"--private-area", true,
     [](V v, O& o) { return ParseAreaLayout(v, &o.personalisation.privateArea); }},
};

const ValueOption* FindValueOption(std::string_view name) {
  for (const ValueOption& option : kValueOptions) {
    if (option.name == name) return &option;
  }
  return nullptr;
}

}  // namespace

std::optional<VcardOptions> ParseVcardOptions(std::span<const char* const> args,
                                              std::string* error) {
  VcardOptions o;
  bool create = false;
  bool blank = false;
  bool personalised = false;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i] != nullptr ? args[i] : "";
    std::string_view value;
    bool hasValue = false;
    if (const size_t eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
      hasValue = true;
    }
    if (arg == "--help" || arg == "-h") {
      o.help = true;
      continue;
    }
    if (arg == "--new" || arg == "--blank") {
      (arg == "--new" ? create : blank) = true;
      if (hasValue) {
        *error = std::string(arg) + " takes no value";
        return std::nullopt;
      }
      continue;
    }
    const ValueOption* option = FindValueOption(arg);
    if (option == nullptr) {
      *error = "unknown option " + std::string(arg);
      return std::nullopt;
    }
    if (!hasValue) {
      if (i + 1 >= args.size() || args[i + 1] == nullptr) {
        *error = std::string(arg) + " needs a value";
        return std::nullopt;
      }
      value = args[++i];
    }
    if (!option->set(value, o)) {
      *error = "bad value for " + std::string(arg) + ": '" + std::string(value) + "'";
      return std::nullopt;
    }
    personalised = personalised || option->personalises;
  }
  if (create && blank) {
    *error = "--new and --blank exclude each other";
    return std::nullopt;
  }
  if (blank) {
    // A blank card has no card application; the other settings still apply.
    o.personalisation.hasApplication = sim::BlankCardPersonalisation().hasApplication;
  }
  if (o.imagePath.empty()) return o;  // a card in memory, new or blank
  o.source = (create || blank) ? CardSource::kCreate : CardSource::kLoad;
  if (o.source == CardSource::kLoad && personalised) {
    *error = "personalisation options need --new or --blank: the card in the image keeps its own";
    return std::nullopt;
  }
  return o;
}

std::string VcardHelpText() {
  return R"(Usage: zorad-vcard [OPTIONS]
Serves a simulated Zorad card to a vpcd virtual reader of pcscd. The daemon
connects to vpcd's port as the card: while connected the card is in the
reader, closing the connection removes it.

Card:
  --image FILE      the card kept in FILE (a card image). Every command that
                    changes the card is saved to FILE at once, through a
                    temporary file renamed over it, so the card persists
                    across runs like a real one.
  --new             with --image: create a new personalised card in FILE
                    (FILE must not exist yet)
  --blank           like --new, but a blank card without the card application
  --serial HEX      serial number of a new card, 14 hex digits
                    (default 0123456789ABCD)
  --so-pin PIN      SO PIN of a new card (default 87654321)
  --user-pin PIN    user PIN of a new card (default 12345678)
  --label TEXT      token label of a new card, up to 32 characters
                    (default "Zorad test token")
  --protocol T0|T1  protocol of a new card (default T1)
  --public-area BLOCKS:SIZE, --private-area BLOCKS:SIZE
                    an area of a new card: BLOCKS blocks of SIZE bytes
                    (default 64:128 each). Its object space is BLOCKS x SIZE
                    bytes, at most 32,639: the allocation table follows it
                    128 bytes later and must start by offset 0x7FFF. SIZE is
                    at least 17 (one object header).
  Without --image the daemon serves a new card (default, or as the options
  above say) from memory; nothing is kept.

Reader:
  --host HOST       vpcd's host (default 127.0.0.1)
  --port N          vpcd's port (default 35963: the first slot of vpcd's
                    default reader configuration)
  --apdu-log FILE   append one line per command and answer, in hex:
                    "CMD => DATA SW". VERIFY and CHANGE REFERENCE DATA data
                    and GET CHALLENGE answers are masked as "**".
  --help            this text

While vpcd is not listening (not started yet, or it closed the connection)
the daemon retries with a growing delay of 0.1 s up to 2 s.

Signals:
  SIGUSR1           pull the card: close the connection and stay out
  SIGUSR2           insert the card again: reconnect
  SIGTERM, SIGINT   remove the card and exit (status 0)

Exit status: 0 after SIGTERM or SIGINT, 1 when the card image cannot be
loaded or created, 2 for bad options.
)";
}

}  // namespace zorad::vcard
