// The card side of one reader slot, as the PC/SC double sees it.
//
// The PC/SC double (sim/pcsc) knows nothing about what a card does; it asks
// a CardDevice for its ATR and hands it every command APDU. The card
// simulator (sim/card) implements this interface; tests may implement it
// with scripted answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zorad::sim {

struct CardAnswer {
  // Response data followed by SW1 SW2. May be shorter than two bytes when a
  // test wants a malformed answer.
  std::vector<uint8_t> bytes;
  // The card left the reader while processing this command: the PC/SC
  // double reports the removal to the transmitting application and treats
  // the reader as empty from now on.
  bool cardRemoved = false;
};

class CardDevice {
 public:
  virtual ~CardDevice() = default;

  // Answer to reset, at most 32 bytes.
  virtual std::vector<uint8_t> Atr() const = 0;

  // Power and reset events. Every one of them drops the card's volatile
  // state (selected application, verified PINs, security environment).
  virtual void PowerOn() = 0;
  virtual void PowerOff() = 0;
  virtual void Reset() = 0;

  // Processes one command APDU.
  virtual CardAnswer Transmit(std::span<const uint8_t> command) = 0;

  // Returns true once after the card was reset by "another application"
  // (fault injection); the PC/SC double then answers the next
  // SCardBeginTransaction of a connected handle with SCARD_W_RESET_CARD.
  virtual bool TakeExternalReset() { return false; }
};

}  // namespace zorad::sim
