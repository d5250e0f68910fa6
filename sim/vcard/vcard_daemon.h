// The daemon's main loop: keeps the card in vpcd's reader. It connects as
// the card (retrying with a growing delay while vpcd is not listening),
// serves the reader's messages, and follows the signals: pull the card
// (close the connection and stay out), insert it again, stop.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "sim/card/simulated_card.h"
#include "sim/vcard/apdu_log.h"
#include "sim/vcard/image_store.h"
#include "sim/vcard/signal_events.h"
#include "sim/vcard/vpcd_frame.h"
#include "sim/vcard/vpcd_session.h"

namespace zorad::vcard {

struct VpcdAddress {
  std::string host;
  uint16_t port = 0;
};

class VcardDaemon {
 public:
  VcardDaemon(VpcdAddress vpcd, sim::SimulatedCard& card, ImageStore& image, ApduLog& log,
              SignalEvents& signals)
      : vpcd_(std::move(vpcd)), card_(card), image_(image), log_(log), signals_(signals) {}

  // Runs until a stop signal; the process exit status (0, or 1 when the
  // card image could not be saved at the end).
  int Run();

 private:
  enum class Outcome { kStop, kPulled, kClosed };

  Outcome Serve(int fd);
  bool ReadAndAnswer(int fd, FrameDecoder& decoder, VpcdSession& session);
  // Waits up to timeoutMs (-1: for ever) for signals and applies them;
  // true when a pull arrived.
  bool WaitForSignals(int timeoutMs);
  bool ApplySignals();
  void Remove(const char* why);

  VpcdAddress vpcd_;
  sim::SimulatedCard& card_;
  ImageStore& image_;
  ApduLog& log_;
  SignalEvents& signals_;
  bool stop_ = false;
  bool pulled_ = false;
};

}  // namespace zorad::vcard
