#include "sim/card/command_dispatch.h"

#include "sim/card/card_commands.h"

namespace zorad::sim {
namespace {

constexpr uint8_t kChainBit = 0x10;

bool IsPsoHash(const Apdu& apdu) { return apdu.ins == 0x2A && apdu.p1 == 0x90 && apdu.p2 == 0x80; }

Reply DispatchIso(CardContext& ctx, const Apdu& apdu, size_t maxWriteApplied) {
  switch (apdu.ins) {
    case 0xA4: return SelectCommand(ctx, apdu);
    case 0xB0: return ReadBinaryCommand(ctx, apdu);
    case 0xD6: return UpdateBinaryCommand(ctx, apdu, maxWriteApplied);
    case 0x44: return ActivationCommand(ctx, apdu, true);
    case 0x04: return ActivationCommand(ctx, apdu, false);
    case 0x20: return VerifyCommand(ctx, apdu);
    case 0x24: return ChangeReferenceDataCommand(ctx, apdu);
    case 0x84: return GetChallengeCommand(ctx, apdu);
    case 0x46: return KeyPairCommand(ctx, apdu);
    case 0x22: return ManageSecurityEnvironmentCommand(ctx, apdu);
    case 0x2A: return PerformSecurityOperationCommand(ctx, apdu);
    default: return Status(sw::kUnknownInstruction);
  }
}

}  // namespace

Reply DispatchCommand(CardContext& ctx, const Apdu& apdu, size_t maxWriteApplied) {
  if (!IsPsoHash(apdu)) ctx.session.hashChain.reset();
  const bool chained = (apdu.cla & kChainBit) != 0;
  const uint8_t base = apdu.cla & static_cast<uint8_t>(~kChainBit);
  if (base == 0x80) {
    if (apdu.ins != 0xFE) return Status(sw::kUnknownInstruction);
    if (chained) return Status(sw::kChainingUnsupported);
    return SerialNumberCommand(ctx, apdu);
  }
  if (base != 0x00) return Status(sw::kUnknownClass);
  if (chained && !IsPsoHash(apdu)) return Status(sw::kChainingUnsupported);
  return DispatchIso(ctx, apdu, maxWriteApplied);
}

}  // namespace zorad::sim
