// Command line of zorad-vcard.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "sim/card/personalisation.h"

namespace zorad::vcard {

enum class CardSource {
  kInMemory,  // a new card that lives only as long as the daemon
  kLoad,      // --image FILE: the card kept in FILE
  kCreate,    // --image FILE --new / --blank: a new card, kept in FILE from now on
};

struct VcardOptions {
  CardSource source = CardSource::kInMemory;
  std::string imagePath;
  // The new card's personalisation (kInMemory and kCreate).
  sim::CardPersonalisation personalisation;
  std::string host = "127.0.0.1";
  uint16_t port = 35963;
  std::string apduLogPath;
  bool help = false;
};

// nullopt with the reason in *error for an unknown option, a missing or
// malformed value, or options that contradict each other.
std::optional<VcardOptions> ParseVcardOptions(std::span<const char* const> args,
                                              std::string* error);

std::string VcardHelpText();

}  // namespace zorad::vcard
