// The card's volatile state: what a power-down, a reset or a removal wipes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>

#include "sim/card/card_state.h"
#include "sim/card/gost_crypto.h"

namespace zorad::sim {

struct SecurityEnvironment {
  std::optional<uint8_t> hashAlgorithm;    // 0x11: GOST R 34.11-94
  std::optional<uint8_t> signingKeyRef;    // private key for COMPUTE SIGNATURE
  std::optional<uint8_t> verifyingKeyRef;  // public key for VERIFY SIGNATURE
};

struct CardSession {
  bool applicationSelected = false;
  std::optional<uint16_t> currentFile;
  std::set<uint8_t> verifiedPins;
  SecurityEnvironment environment;
  // Open PSO HASH chain (CLA 10 chunks received, final chunk not yet).
  std::unique_ptr<GostHashStream> hashChain;

  bool IsVerified(uint8_t ref) const { return verifiedPins.count(ref) != 0; }
};

// What a command handler works on.
struct CardContext {
  CardState& state;
  CardSession& session;
};

// True while the user PIN may be used: the user PIN file is active (a card
// image without that file counts as active).
inline bool UserPinUsable(const CardState& state) {
  auto it = state.files.find(kUserPinFid);
  return it == state.files.end() || it->second.active;
}

}  // namespace zorad::sim
