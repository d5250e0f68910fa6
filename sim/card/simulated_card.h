// The simulated card: a card of the family as the module sees it through a
// reader, with its command set, access rules, real GOST crypto, fault
// injection and a log of every exchange.
//
// Transport. Under T=1 response data always comes with the answer, also for
// commands that carry data (PSO HASH, COMPUTE SIGNATURE) and when P3 is 00
// ("up to 256 bytes"). Under T=0 the card cannot answer data to a command
// that carried data, and a fixed-length answer asked for with P3 = 00 (the
// serial number, READ PUBLIC KEY) is not sent at once either: in both cases
// the card answers 61xx (xx = the length, 00 for 256) and keeps the data for
// GET RESPONSE (00 C0 00 00 Le). GET RESPONSE with Le 00 or Le equal to what
// is left hands it all out; a smaller Le hands out that much and answers
// 61xx for the rest; a larger Le answers 6Cxx. Any other command drops
// pending data. READ BINARY and GET CHALLENGE answer directly in both
// protocols (their P3 is the exact length; READ BINARY's 00 means 256).
//
// Power. PowerOn, PowerOff, Reset, a removal and a reset by another
// application all drop the volatile state: the selected application and
// file, verified PINs, the security environment, an open hash chain and
// pending response data. A card that is out of the reader answers nothing
// (empty answer, cardRemoved set) until PowerOn() or Reinsert().
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/card/apdu.h"
#include "sim/card/card_device.h"
#include "sim/card/card_session.h"
#include "sim/card/card_state.h"
#include "sim/card/command_log.h"
#include "sim/card/fault_injection.h"
#include "sim/card/personalisation.h"

namespace zorad::sim {

class SimulatedCard : public CardDevice {
 public:
  SimulatedCard();  // default personalisation
  explicit SimulatedCard(const CardPersonalisation& personalisation);
  explicit SimulatedCard(CardState state);
  // Null (with the reason in *error) when the image is unreadable or malformed.
  static std::unique_ptr<SimulatedCard> FromImage(const std::string& path, std::string* error);
  SimulatedCard(const SimulatedCard&) = delete;
  SimulatedCard& operator=(const SimulatedCard&) = delete;

  // CardDevice.
  std::vector<uint8_t> Atr() const override;
  void PowerOn() override;
  void PowerOff() override;
  void Reset() override;
  CardAnswer Transmit(std::span<const uint8_t> command) override;
  bool TakeExternalReset() override;

  // Persistent state, for tests that inspect or prepare the card.
  CardState State() const;
  void ReplaceState(CardState state);  // also drops the volatile state
  bool SaveImage(const std::string& path) const;
  std::vector<uint8_t> FileContent(uint16_t fid) const;  // empty if no such file
  void WriteFile(uint16_t fid, size_t offset, std::span<const uint8_t> bytes);

  // Settings and PIN conditions.
  void SetProtocol(Protocol protocol);
  Protocol GetProtocol() const;
  void SetActivationAnswer(uint16_t sw);
  void SetPinTriesLeft(uint8_t ref, uint8_t tries);
  void SetPinMustChange(uint8_t ref, bool mustChange);
  std::optional<uint8_t> PinTriesLeft(uint8_t ref) const;
  bool IsPinVerified(uint8_t ref) const;

  // Presence and fault injection.
  bool IsPresent() const;
  void Reinsert();  // back in the reader, unpowered state dropped
  void SimulateResetByOtherApplication();
  void AnswerAt(uint32_t n, uint16_t sw);
  void AnswerMatching(CommandPattern pattern, uint16_t sw);
  void RemoveAt(uint32_t n);
  void TearWriteAt(uint32_t n, size_t bytesKept, TearEnd end = TearEnd::kCardRemoved);
  void ClearFaults();

  // Command log.
  std::vector<Exchange> Log() const;
  std::vector<std::vector<uint8_t>> Commands() const;
  size_t CountCommands(CommandPattern pattern) const;
  void ClearLog();

 private:
  CardAnswer Process(std::span<const uint8_t> command);
  CardAnswer Execute(std::span<const uint8_t> command, size_t maxWriteApplied);
  CardAnswer Deliver(const Apdu& apdu, Reply reply);
  CardAnswer GetResponse(const Apdu& apdu);
  CardAnswer GoneAnswer();
  void DropVolatileState();

  mutable std::mutex mutex_;
  CardState state_;
  CardSession session_;
  FaultInjector faults_;
  std::vector<Exchange> log_;
  std::vector<uint8_t> pendingResponse_;
  bool present_ = true;
  bool externalResetPending_ = false;
};

}  // namespace zorad::sim
