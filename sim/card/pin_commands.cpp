// VERIFY and CHANGE REFERENCE DATA.
//
// A PIN is compared byte for byte with the VERIFY data (the module sends the
// 8-byte PIN block, or a longer SO PIN whole). Every wrong value costs one
// try; the wrong value that uses the last try answers 6983 at once. A correct
// value restores the full try count. A blocked PIN answers 6983 whatever the
// data; the security officer unblocks the user PIN by setting a new one.
#include <algorithm>

#include "sim/card/card_commands.h"

namespace zorad::sim {
namespace {

Reply PinStatus(const CardContext& ctx, uint8_t ref, const PinRecord& pin) {
  if (pin.triesLeft == 0) return Status(sw::kPinBlocked);
  if (ref == kUserPinRef && !UserPinUsable(ctx.state)) return Status(sw::kSecurityNotSatisfied);
  if (pin.mustChange) return Status(sw::kSecurityNotSatisfied);
  if (ctx.session.IsVerified(ref)) return Status(sw::kOk);
  return Status(static_cast<uint16_t>(sw::kPinTriesLeftBase | std::min<uint8_t>(pin.triesLeft, 15)));
}

Reply CheckPin(CardContext& ctx, uint8_t ref, PinRecord& pin, std::span<const uint8_t> data) {
  if (pin.triesLeft == 0) return Status(sw::kPinBlocked);
  if (ref == kUserPinRef && !UserPinUsable(ctx.state)) return Status(sw::kReferenceNotUsable);
  if (std::equal(data.begin(), data.end(), pin.value.begin(), pin.value.end())) {
    pin.triesLeft = pin.maxTries;
    ctx.session.verifiedPins.insert(ref);
    return Status(sw::kOk);
  }
  ctx.session.verifiedPins.erase(ref);
  --pin.triesLeft;
  if (pin.triesLeft == 0) return Status(sw::kPinBlocked);
  return Status(static_cast<uint16_t>(sw::kPinTriesLeftBase | std::min<uint8_t>(pin.triesLeft, 15)));
}

// The security officer may set any PIN; the user may change the user PIN
// after proving it. The user PIN can only be set while its file is active.
Reply SetPin(CardContext& ctx, uint8_t ref, PinRecord& pin, std::span<const uint8_t> value) {
  if (value.size() > kMaxPinBytes) return Status(sw::kWrongLength);
  const bool so = ctx.session.IsVerified(kSoPinRef);
  if (ref == kUserPinRef) {
    if (!UserPinUsable(ctx.state)) return Status(sw::kConditionsNotSatisfied);
    if (!so && !ctx.session.IsVerified(kUserPinRef)) return Status(sw::kSecurityNotSatisfied);
  } else if (!so) {
    return Status(sw::kSecurityNotSatisfied);
  }
  pin.value.assign(value.begin(), value.end());
  pin.triesLeft = pin.maxTries;
  pin.mustChange = false;
  return Status(sw::kOk);
}

}  // namespace

Reply VerifyCommand(CardContext& ctx, const Apdu& apdu) {
  if (apdu.p1 != 0) return Status(sw::kWrongP1P2);
  if (apdu.trailingLe || (!apdu.HasData() && apdu.p3 != 0)) return Status(sw::kWrongLength);
  if (!ctx.session.applicationSelected) return Status(sw::kConditionsNotSatisfied);
  auto it = ctx.state.pins.find(apdu.p2);
  if (it == ctx.state.pins.end()) return Status(sw::kReferenceNotFound);
  if (!apdu.HasData()) return PinStatus(ctx, apdu.p2, it->second);
  return CheckPin(ctx, apdu.p2, it->second, apdu.data);
}

Reply ChangeReferenceDataCommand(CardContext& ctx, const Apdu& apdu) {
  if (apdu.p1 != 0x01) return Status(sw::kWrongP1P2);
  if (!apdu.HasData() || apdu.trailingLe) return Status(sw::kWrongLength);
  if (!ctx.session.applicationSelected) return Status(sw::kConditionsNotSatisfied);
  auto it = ctx.state.pins.find(apdu.p2);
  if (it != ctx.state.pins.end()) return SetPin(ctx, apdu.p2, it->second, apdu.data);
  return StoreKeyValue(ctx, apdu.p2, apdu.data);
}

}  // namespace zorad::sim
