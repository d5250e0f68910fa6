#include "sim/vcard/vpcd_session.h"

#include <cstdio>
#include <string>
#include <utility>

#include "sim/vcard/vpcd_frame.h"

namespace zorad::vcard {
namespace {

// The answer to a command whose answer could not be framed.
const std::vector<uint8_t> kNoPreciseDiagnosis{0x6F, 0x00};

}  // namespace

std::optional<std::vector<uint8_t>> VpcdSession::Handle(std::span<const uint8_t> message) {
  if (message.empty()) return std::nullopt;  // nothing to act on
  if (message.size() == 1) return HandleControl(message[0]);
  return HandleApdu(message);
}

std::optional<std::vector<uint8_t>> VpcdSession::HandleControl(uint8_t code) {
  switch (static_cast<VpcdControl>(code)) {
    case VpcdControl::kPowerOff:
      card_.PowerOff();
      log_.Note("power off");
      return std::nullopt;
    case VpcdControl::kPowerOn:
      card_.PowerOn();
      log_.Note("power on");
      return std::nullopt;
    case VpcdControl::kReset:
      card_.Reset();
      log_.Note("reset");
      return std::nullopt;
    case VpcdControl::kAtr:
      // vpcd asks for the ATR to poll presence too: not logged.
      return card_.Atr();
  }
  std::fprintf(stderr, "zorad-vcard: ignoring unknown control code %u\n", code);
  return std::nullopt;
}

std::optional<std::vector<uint8_t>> VpcdSession::HandleApdu(std::span<const uint8_t> command) {
  sim::CardAnswer answer = card_.Transmit(command);
  card_.ClearLog();  // the daemon keeps its own log; the card's would only grow
  if (answer.cardRemoved || answer.bytes.empty()) {
    cardGone_ = true;
    log_.Write(command, {});
    return std::nullopt;
  }
  if (answer.bytes.size() > kMaxFramePayload) answer.bytes = kNoPreciseDiagnosis;
  log_.Write(command, answer.bytes);
  // Saved before the answer goes out, as a card commits a write before it
  // answers. A failed save is retried after the next command and at exit.
  std::string error;
  if (!image_.SaveIfChanged(card_.State(), &error)) {
    std::fprintf(stderr, "zorad-vcard: cannot save the card image: %s\n", error.c_str());
  }
  return std::move(answer.bytes);
}

}  // namespace zorad::vcard
