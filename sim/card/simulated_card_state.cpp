// SimulatedCard: access to the persistent state for tests that prepare or
// inspect a card.
#include <algorithm>

#include "sim/card/card_image.h"
#include "sim/card/simulated_card.h"

namespace zorad::sim {

CardState SimulatedCard::State() const {
  std::lock_guard lock(mutex_);
  return state_;
}

void SimulatedCard::ReplaceState(CardState state) {
  std::lock_guard lock(mutex_);
  state_ = std::move(state);
  DropVolatileState();
}

bool SimulatedCard::SaveImage(const std::string& path) const {
  std::lock_guard lock(mutex_);
  return SaveCardImage(path, state_);
}

std::vector<uint8_t> SimulatedCard::FileContent(uint16_t fid) const {
  std::lock_guard lock(mutex_);
  auto it = state_.files.find(fid);
  return it == state_.files.end() ? std::vector<uint8_t>{} : it->second.data;
}

// Creates the file when it is missing and grows it as needed, up to the
// card's largest file size; bytes beyond that are dropped.
void SimulatedCard::WriteFile(uint16_t fid, size_t offset, std::span<const uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  if (offset >= kMaxFileSize) return;
  const size_t n = std::min(bytes.size(), kMaxFileSize - offset);
  std::vector<uint8_t>& data = state_.files[fid].data;
  if (data.size() < offset + n) data.resize(offset + n, 0);
  std::copy_n(bytes.begin(), n, data.begin() + offset);
}

void SimulatedCard::SetProtocol(Protocol protocol) {
  std::lock_guard lock(mutex_);
  state_.settings.protocol = protocol;
}

Protocol SimulatedCard::GetProtocol() const {
  std::lock_guard lock(mutex_);
  return state_.settings.protocol;
}

void SimulatedCard::SetActivationAnswer(uint16_t status) {
  std::lock_guard lock(mutex_);
  state_.settings.activationAnswer = status;
}

void SimulatedCard::SetPinTriesLeft(uint8_t ref, uint8_t tries) {
  std::lock_guard lock(mutex_);
  auto it = state_.pins.find(ref);
  if (it != state_.pins.end()) it->second.triesLeft = std::min(tries, it->second.maxTries);
}

void SimulatedCard::SetPinMustChange(uint8_t ref, bool mustChange) {
  std::lock_guard lock(mutex_);
  auto it = state_.pins.find(ref);
  if (it != state_.pins.end()) it->second.mustChange = mustChange;
}

std::optional<uint8_t> SimulatedCard::PinTriesLeft(uint8_t ref) const {
  std::lock_guard lock(mutex_);
  auto it = state_.pins.find(ref);
  if (it == state_.pins.end()) return std::nullopt;
  return it->second.triesLeft;
}

bool SimulatedCard::IsPinVerified(uint8_t ref) const {
  std::lock_guard lock(mutex_);
  return session_.IsVerified(ref);
}

}  // namespace zorad::sim
