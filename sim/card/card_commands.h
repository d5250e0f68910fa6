// The card's command handlers. Each takes the card context and a parsed
// APDU whose class has already been checked, and returns the response data
// with its status word. Delivery under T=0 (61xx, GET RESPONSE) is the
// transport's business (SimulatedCard), not the handlers'.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "sim/card/apdu.h"
#include "sim/card/card_session.h"

namespace zorad::sim {

// File system (file_commands.cpp).
Reply SelectCommand(CardContext& ctx, const Apdu& apdu);
Reply ReadBinaryCommand(CardContext& ctx, const Apdu& apdu);
// maxApplied < data length tears the write: only that many bytes reach the file.
Reply UpdateBinaryCommand(CardContext& ctx, const Apdu& apdu, size_t maxApplied);
Reply ActivationCommand(CardContext& ctx, const Apdu& apdu, bool activate);

// PINs and key values (pin_commands.cpp).
Reply VerifyCommand(CardContext& ctx, const Apdu& apdu);
Reply ChangeReferenceDataCommand(CardContext& ctx, const Apdu& apdu);

// Chip services and key slots (key_commands.cpp).
Reply GetChallengeCommand(CardContext& ctx, const Apdu& apdu);
Reply SerialNumberCommand(CardContext& ctx, const Apdu& apdu);
Reply KeyPairCommand(CardContext& ctx, const Apdu& apdu);
Reply StoreKeyValue(CardContext& ctx, uint8_t keyRef, std::span<const uint8_t> value);

// Security environment and operations (security_commands.cpp).
Reply ManageSecurityEnvironmentCommand(CardContext& ctx, const Apdu& apdu);
Reply PerformSecurityOperationCommand(CardContext& ctx, const Apdu& apdu);

// A command without data whose answer is exactly n bytes: P3 must be 00 or n,
// anything else gets 6Cxx with the right length.
std::optional<Reply> CheckFixedLe(const Apdu& apdu, size_t n);

}  // namespace zorad::sim
