// A card with scripted answers, for the PC/SC double's own tests: it records
// what the double asks of it and answers queued byte strings (9000 when the
// queue is empty).
#pragma once

#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "sim/card/card_device.h"

namespace zorad::sim::pcsc::testing {

class ScriptedCard : public CardDevice {
 public:
  explicit ScriptedCard(std::vector<uint8_t> atr = {0x3B, 0x02, 0x14, 0x50})
      : atr_(std::move(atr)) {}

  std::vector<uint8_t> Atr() const override { return atr_; }
  void PowerOn() override { ++powerOns; }
  void PowerOff() override { ++powerOffs; }
  void Reset() override { ++resets; }
  CardAnswer Transmit(std::span<const uint8_t> command) override;
  bool TakeExternalReset() override;

  void QueueAnswer(std::vector<uint8_t> bytes, bool cardRemoved = false) {
    answers_.push_back(CardAnswer{std::move(bytes), cardRemoved});
  }

  int powerOns = 0;
  int powerOffs = 0;
  int resets = 0;
  bool externalResetPending = false;
  std::vector<std::vector<uint8_t>> commands;

 private:
  std::vector<uint8_t> atr_;
  std::deque<CardAnswer> answers_;
};

}  // namespace zorad::sim::pcsc::testing
