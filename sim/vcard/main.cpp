// zorad-vcard: serves a simulated Zorad card to pcscd's vpcd virtual reader.
#include <sys/stat.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <new>
#include <span>
#include <string>

#include "sim/card/card_image.h"
#include "sim/card/simulated_card.h"
#include "sim/vcard/apdu_log.h"
#include "sim/vcard/image_store.h"
#include "sim/vcard/signal_events.h"
#include "sim/vcard/vcard_daemon.h"
#include "sim/vcard/vcard_options.h"

namespace {

using zorad::sim::SimulatedCard;
using namespace zorad::vcard;

constexpr int kExitCardError = 1;
constexpr int kExitUsage = 2;

std::unique_ptr<SimulatedCard> NewCard(const zorad::sim::CardPersonalisation& p,
                                       std::string* error) {
  if (const auto problem = zorad::sim::CheckPersonalisation(p)) {
    *error = *problem;
    return nullptr;
  }
  return std::make_unique<SimulatedCard>(p);
}

// The card the options ask for; its image (if any) is up to date on return.
std::unique_ptr<SimulatedCard> PrepareCard(const VcardOptions& options, ImageStore& image,
                                           std::string* error) {
  std::unique_ptr<SimulatedCard> card;
  switch (options.source) {
    case CardSource::kInMemory:
      return NewCard(options.personalisation, error);
    case CardSource::kLoad:
      card = SimulatedCard::FromImage(options.imagePath, error);
      if (card) image.MarkSaved(card->State());
      return card;
    case CardSource::kCreate: {
      struct stat existing {};
      if (::stat(options.imagePath.c_str(), &existing) == 0) {
        // Replacing it would destroy the card it holds.
        *error = options.imagePath + " already exists: leave out --new/--blank to use it";
        return nullptr;
      }
      card = NewCard(options.personalisation, error);
      if (!card) return nullptr;
      const zorad::sim::CardState state = card->State();
      if (!WriteFileAtomically(options.imagePath, zorad::sim::SerializeCardState(state), error)) {
        return nullptr;
      }
      image.MarkSaved(state);
      return card;
    }
  }
  return nullptr;
}

int RunDaemon(int argc, char** argv) {
  std::string error;
  const auto options = ParseVcardOptions(
      std::span<const char* const>(argv + 1, static_cast<size_t>(argc > 0 ? argc - 1 : 0)), &error);
  if (!options) {
    std::fprintf(stderr, "zorad-vcard: %s (see --help)\n", error.c_str());
    return kExitUsage;
  }
  if (options->help) {
    std::fputs(VcardHelpText().c_str(), stdout);
    return 0;
  }
  ImageStore image(options->source == CardSource::kInMemory ? std::string() : options->imagePath);
  const auto card = PrepareCard(*options, image, &error);
  if (!card) {
    std::fprintf(stderr, "zorad-vcard: %s\n", error.c_str());
    return kExitCardError;
  }
  ApduLog log;
  if (!options->apduLogPath.empty() && !log.Open(options->apduLogPath, &error)) {
    std::fprintf(stderr, "zorad-vcard: %s\n", error.c_str());
    return kExitCardError;
  }
  SignalEvents signals;
  if (!signals.Ok()) {
    std::perror("zorad-vcard: signal pipe");
    return kExitCardError;
  }
  VcardDaemon daemon({options->host, options->port}, *card, image, log, signals);
  return daemon.Run();
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return RunDaemon(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fputs("zorad-vcard: out of memory\n", stderr);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zorad-vcard: %s\n", e.what());
  }
  return kExitCardError;
}
