// The card side of one vpcd connection: turns each message from the reader
// into what the card does and answers. Power and reset codes go to the card
// unanswered, the ATR request is answered with the ATR, a command APDU with
// the card's data + SW. Every APDU is written to the APDU log (masked) and a
// change of the card's persistent state is saved to its image at once.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "sim/card/simulated_card.h"
#include "sim/vcard/apdu_log.h"
#include "sim/vcard/image_store.h"

namespace zorad::vcard {

class VpcdSession {
 public:
  VpcdSession(sim::SimulatedCard& card, ImageStore& image, ApduLog& log)
      : card_(card), image_(image), log_(log) {}

  // The answer to send back, or nullopt when the message needs none.
  std::optional<std::vector<uint8_t>> Handle(std::span<const uint8_t> message);

  // The card left the reader while answering (it gave no answer): the
  // connection must be closed, which is how vpcd learns of a removal.
  bool CardGone() const { return cardGone_; }

 private:
  std::optional<std::vector<uint8_t>> HandleControl(uint8_t code);
  std::optional<std::vector<uint8_t>> HandleApdu(std::span<const uint8_t> command);

  sim::SimulatedCard& card_;
  ImageStore& image_;
  ApduLog& log_;
  bool cardGone_ = false;
};

}  // namespace zorad::vcard
