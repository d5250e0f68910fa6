// GET CHALLENGE, the serial number, GENERATE KEY PAIR, READ PUBLIC KEY and
// the storing of imported key values.
//
// Key slots: a reference from the private range holds a private key and its
// public half (generated on the card, or imported as d); a reference from the
// public range holds an imported public key only. Generating and importing
// private keys needs the user PIN; storing a public key needs nothing, as
// public objects may be created without a login. Reading a public key is open.
#include <algorithm>

#include "sim/card/card_commands.h"

namespace zorad::sim {
namespace {

constexpr size_t kMaxChallenge = 32;
constexpr size_t kSerialSize = 7;
constexpr size_t kPublicKeySize = 64;

bool InPrivateRange(const CardSettings& s, uint8_t ref) {
  return InRange(ref, s.privateKeyRefFirst, s.privateKeyRefLast);
}
bool InPublicRange(const CardSettings& s, uint8_t ref) {
  return InRange(ref, s.publicKeyRefFirst, s.publicKeyRefLast);
}

Reply GenerateKeyPair(CardContext& ctx, const Apdu& apdu) {
  if (apdu.p3 != 0) return Status(sw::kWrongLength);
  const uint8_t ref = apdu.p2;
  if (!InPrivateRange(ctx.state.settings, ref)) return Status(sw::kReferenceNotFound);
  if (!ctx.session.IsVerified(kUserPinRef)) return Status(sw::kSecurityNotSatisfied);
  const char* curve = GostCurveForParamSet(ctx.state.settings.gostParamSet);
  if (curve == nullptr) return Status(sw::kConditionsNotSatisfied);
  auto pair = GenerateGostKeyPair(curve);
  if (!pair) return Status(sw::kMemoryFailure);
  ctx.state.keys[ref] = KeySlot{pair->privateKey, pair->publicKey};
  return Status(sw::kOk);
}

Reply ReadPublicKey(CardContext& ctx, const Apdu& apdu) {
  if (auto bad = CheckFixedLe(apdu, kPublicKeySize)) return *bad;
  auto it = ctx.state.keys.find(apdu.p2);
  if (it == ctx.state.keys.end() || !it->second.publicKey) return Status(sw::kReferenceNotFound);
  return Reply{std::vector<uint8_t>(it->second.publicKey->begin(), it->second.publicKey->end()),
               sw::kOk};
}

Reply StorePrivateKey(CardContext& ctx, uint8_t ref, std::span<const uint8_t> value,
                      const char* curve) {
  if (!ctx.session.IsVerified(kUserPinRef)) return Status(sw::kSecurityNotSatisfied);
  GostPrivateKey d{};
  std::copy(value.begin(), value.end(), d.end() - value.size());
  auto q = DeriveGostPublicKey(curve, d);
  if (!q) return Status(sw::kWrongData);  // zero, or not below the group order
  ctx.state.keys[ref] = KeySlot{d, *q};
  return Status(sw::kOk);
}

Reply StorePublicKey(CardContext& ctx, uint8_t ref, std::span<const uint8_t> value,
                     const char* curve) {
  if (!IsGostPublicKeyValid(curve, value)) return Status(sw::kWrongData);
  GostPublicKey q{};
  std::copy(value.begin(), value.end(), q.begin());
  ctx.state.keys[ref] = KeySlot{std::nullopt, q};
  return Status(sw::kOk);
}

}  // namespace

std::optional<Reply> CheckFixedLe(const Apdu& apdu, size_t n) {
  if (apdu.HasData()) return Status(sw::kWrongLength);
  if (apdu.p3 != 0 && apdu.p3 != n) return Status(static_cast<uint16_t>(0x6C00 | (n & 0xFF)));
  return std::nullopt;
}

Reply GetChallengeCommand(CardContext&, const Apdu& apdu) {
  if (apdu.p1 != 0 || apdu.p2 != 0) return Status(sw::kWrongP1P2);
  if (apdu.HasData() || apdu.Le() > kMaxChallenge) return Status(sw::kWrongLength);
  Reply reply{std::vector<uint8_t>(apdu.Le()), sw::kOk};
  FillRandom(reply.data);
  return reply;
}

Reply SerialNumberCommand(CardContext& ctx, const Apdu& apdu) {
  if (apdu.p1 != 0x06 || apdu.p2 != 0) return Status(sw::kWrongP1P2);
  if (auto bad = CheckFixedLe(apdu, kSerialSize)) return *bad;
  const auto& serial = ctx.state.settings.serialNumber;
  return Reply{std::vector<uint8_t>(serial.begin(), serial.end()), sw::kOk};
}

Reply KeyPairCommand(CardContext& ctx, const Apdu& apdu) {
  if (apdu.p1 != 0x01 && apdu.p1 != 0x02) return Status(sw::kWrongP1P2);
  if (apdu.HasData()) return Status(sw::kWrongLength);
  if (!ctx.session.applicationSelected) return Status(sw::kConditionsNotSatisfied);
  return apdu.p1 == 0x02 ? GenerateKeyPair(ctx, apdu) : ReadPublicKey(ctx, apdu);
}

// Values arrive in the card's order: d big-endian (up to 32 bytes), or the
// public key as X || Y big-endian (64 bytes). The module reverses the
// PKCS#11 values into these forms before it sends them.
Reply StoreKeyValue(CardContext& ctx, uint8_t keyRef, std::span<const uint8_t> value) {
  const CardSettings& s = ctx.state.settings;
  const bool privateRef = InPrivateRange(s, keyRef);
  const bool publicRef = InPublicRange(s, keyRef);
  if (keyRef == 0 || (!privateRef && !publicRef)) return Status(sw::kReferenceNotFound);
  const char* curve = GostCurveForParamSet(s.gostParamSet);
  if (curve == nullptr) return Status(sw::kConditionsNotSatisfied);
  if (privateRef && !value.empty() && value.size() <= sizeof(GostPrivateKey)) {
    return StorePrivateKey(ctx, keyRef, value, curve);
  }
  if (publicRef && value.size() == kPublicKeySize) return StorePublicKey(ctx, keyRef, value, curve);
  return Status(sw::kWrongLength);
}

}  // namespace zorad::sim
