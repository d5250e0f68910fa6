// SimulatedCard: transport (T=0 / T=1 delivery, GET RESPONSE), power and
// presence, fault injection and the exchange log. The commands themselves
// are in command_dispatch.cpp and the *_commands.cpp files.
#include "sim/card/simulated_card.h"

#include <cstdint>
#include <utility>

#include "sim/card/card_image.h"
#include "sim/card/command_dispatch.h"

namespace zorad::sim {
namespace {

constexpr uint8_t kGetResponse = 0xC0;

void AppendStatus(std::vector<uint8_t>& bytes, uint16_t status) {
  bytes.push_back(static_cast<uint8_t>(status >> 8));
  bytes.push_back(static_cast<uint8_t>(status));
}

CardAnswer StatusAnswer(uint16_t status) {
  CardAnswer answer;
  AppendStatus(answer.bytes, status);
  return answer;
}

uint16_t MoreData(size_t n) { return static_cast<uint16_t>(0x6100 | (n & 0xFF)); }

}  // namespace

SimulatedCard::SimulatedCard() : SimulatedCard(CardPersonalisation{}) {}

SimulatedCard::SimulatedCard(const CardPersonalisation& personalisation)
    : state_(Personalise(personalisation)) {}

SimulatedCard::SimulatedCard(CardState state) : state_(std::move(state)) {}

std::unique_ptr<SimulatedCard> SimulatedCard::FromImage(const std::string& path,
                                                        std::string* error) {
  auto state = LoadCardImage(path, error);
  if (!state) return nullptr;
  return std::make_unique<SimulatedCard>(std::move(*state));
}

std::vector<uint8_t> SimulatedCard::Atr() const {
  static constexpr uint8_t kHistory[] = {'Z', 'O', 'R', 'A', 'D'};
  std::lock_guard lock(mutex_);
  if (state_.settings.protocol == Protocol::kT0) {
    std::vector<uint8_t> atr{0x3B, 0x05};
    atr.insert(atr.end(), std::begin(kHistory), std::end(kHistory));
    return atr;
  }
  // TD1 and TD2 offer T=1; TA3 = IFSC 254, TB3 = waiting times; then TCK.
  std::vector<uint8_t> atr{0x3B, 0x85, 0x81, 0x31, 0xFE, 0x45};
  atr.insert(atr.end(), std::begin(kHistory), std::end(kHistory));
  uint8_t tck = 0;
  for (size_t i = 1; i < atr.size(); ++i) tck ^= atr[i];
  atr.push_back(tck);
  return atr;
}

void SimulatedCard::PowerOn() {
  std::lock_guard lock(mutex_);
  present_ = true;  // only a card in the reader can be powered
  DropVolatileState();
}

void SimulatedCard::PowerOff() {
  std::lock_guard lock(mutex_);
  DropVolatileState();
}

void SimulatedCard::Reset() {
  std::lock_guard lock(mutex_);
  DropVolatileState();
}

CardAnswer SimulatedCard::Transmit(std::span<const uint8_t> command) {
  std::lock_guard lock(mutex_);
  CardAnswer answer = Process(command);
  log_.push_back({std::vector<uint8_t>(command.begin(), command.end()), answer.bytes,
                  answer.cardRemoved});
  return answer;
}

bool SimulatedCard::TakeExternalReset() {
  std::lock_guard lock(mutex_);
  return std::exchange(externalResetPending_, false);
}

CardAnswer SimulatedCard::Process(std::span<const uint8_t> command) {
  if (!present_) return GoneAnswer();
  const FaultDecision fault = faults_.OnCommand(command);
  switch (fault.kind) {
    case FaultDecision::Kind::kRemove:
      present_ = false;
      DropVolatileState();
      return GoneAnswer();
    case FaultDecision::Kind::kAnswer:
      pendingResponse_.clear();
      session_.hashChain.reset();
      return StatusAnswer(fault.sw);
    case FaultDecision::Kind::kTear:
      Execute(command, fault.bytesKept);
      if (fault.tearEnd == TearEnd::kMemoryFailure) return StatusAnswer(sw::kMemoryFailure);
      present_ = false;
      DropVolatileState();
      return GoneAnswer();
    case FaultDecision::Kind::kNone:
      break;
  }
  return Execute(command, SIZE_MAX);
}

CardAnswer SimulatedCard::Execute(std::span<const uint8_t> command, size_t maxWriteApplied) {
  const auto apdu = ParseApdu(command);
  if (!apdu) {
    pendingResponse_.clear();
    session_.hashChain.reset();
    return StatusAnswer(sw::kWrongLength);
  }
  if (apdu->cla == 0x00 && apdu->ins == kGetResponse) return GetResponse(*apdu);
  pendingResponse_.clear();
  CardContext ctx{state_, session_};
  return Deliver(*apdu, DispatchCommand(ctx, *apdu, maxWriteApplied));
}

CardAnswer SimulatedCard::Deliver(const Apdu& apdu, Reply reply) {
  const bool t0 = state_.settings.protocol == Protocol::kT0;
  const bool hold = t0 && reply.sw == sw::kOk && !reply.data.empty() &&
                    (apdu.HasData() || (apdu.p3 == 0 && reply.data.size() < 256));
  if (hold) {
    pendingResponse_ = std::move(reply.data);
    return StatusAnswer(MoreData(pendingResponse_.size()));
  }
  CardAnswer answer;
  answer.bytes = std::move(reply.data);
  AppendStatus(answer.bytes, reply.sw);
  return answer;
}

CardAnswer SimulatedCard::GetResponse(const Apdu& apdu) {
  if (apdu.p1 != 0 || apdu.p2 != 0) return StatusAnswer(sw::kWrongP1P2);
  if (apdu.HasData()) return StatusAnswer(sw::kWrongLength);
  if (pendingResponse_.empty()) return StatusAnswer(sw::kConditionsNotSatisfied);
  const size_t left = pendingResponse_.size();
  if (apdu.p3 != 0 && apdu.p3 > left) return StatusAnswer(static_cast<uint16_t>(0x6C00 | (left & 0xFF)));
  const size_t n = apdu.p3 == 0 ? left : apdu.p3;
  CardAnswer answer;
  answer.bytes.assign(pendingResponse_.begin(), pendingResponse_.begin() + n);
  pendingResponse_.erase(pendingResponse_.begin(), pendingResponse_.begin() + n);
  AppendStatus(answer.bytes, pendingResponse_.empty() ? sw::kOk : MoreData(pendingResponse_.size()));
  return answer;
}

CardAnswer SimulatedCard::GoneAnswer() { return CardAnswer{{}, true}; }

void SimulatedCard::DropVolatileState() {
  session_ = CardSession{};
  pendingResponse_.clear();
}

bool SimulatedCard::IsPresent() const {
  std::lock_guard lock(mutex_);
  return present_;
}

void SimulatedCard::Reinsert() {
  std::lock_guard lock(mutex_);
  present_ = true;
  DropVolatileState();
}

void SimulatedCard::SimulateResetByOtherApplication() {
  std::lock_guard lock(mutex_);
  DropVolatileState();
  externalResetPending_ = true;
}

void SimulatedCard::AnswerAt(uint32_t n, uint16_t status) {
  std::lock_guard lock(mutex_);
  faults_.AnswerAt(n, status);
}

void SimulatedCard::AnswerMatching(CommandPattern pattern, uint16_t status) {
  std::lock_guard lock(mutex_);
  faults_.AnswerMatching(pattern, status);
}

void SimulatedCard::RemoveAt(uint32_t n) {
  std::lock_guard lock(mutex_);
  faults_.RemoveAt(n);
}

void SimulatedCard::TearWriteAt(uint32_t n, size_t bytesKept, TearEnd end) {
  std::lock_guard lock(mutex_);
  faults_.TearWriteAt(n, bytesKept, end);
}

void SimulatedCard::ClearFaults() {
  std::lock_guard lock(mutex_);
  faults_.Clear();
}

std::vector<Exchange> SimulatedCard::Log() const {
  std::lock_guard lock(mutex_);
  return log_;
}

std::vector<std::vector<uint8_t>> SimulatedCard::Commands() const {
  std::lock_guard lock(mutex_);
  std::vector<std::vector<uint8_t>> out;
  for (const Exchange& e : log_) out.push_back(e.command);
  return out;
}

size_t SimulatedCard::CountCommands(CommandPattern pattern) const {
  std::lock_guard lock(mutex_);
  size_t n = 0;
  for (const Exchange& e : log_) n += pattern.Matches(e.command) ? 1 : 0;
  return n;
}

void SimulatedCard::ClearLog() {
  std::lock_guard lock(mutex_);
  log_.clear();
}

}  // namespace zorad::sim
