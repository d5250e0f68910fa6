// MANAGE SECURITY ENVIRONMENT and PERFORM SECURITY OPERATION (HASH, COMPUTE
// and VERIFY DIGITAL SIGNATURE).
//
// The environment names the hash algorithm (0x11, GOST R 34.11-94), the
// private key for signing and the public key for verifying. PSO HASH takes
// the message in chained chunks (CLA 10 on all but the last) and answers the
// 32-byte digest to the last. COMPUTE SIGNATURE takes a 32-byte digest and
// answers s || r; it needs the user PIN. VERIFY SIGNATURE takes
// 9A 20 digest 9E 40 signature and answers 9000, or 6300 for a signature
// that does not verify.
#include "sim/card/card_commands.h"

namespace zorad::sim {
namespace {

constexpr uint8_t kGostHashAlgorithm = 0x11;
constexpr size_t kHashSize = 32;
constexpr size_t kSignatureSize = 64;

struct EnvironmentTlv {
  uint8_t tag;
  uint8_t value;
};

// Every element of the data must be tag, length 01, value.
std::optional<std::vector<EnvironmentTlv>> ParseEnvironment(std::span<const uint8_t> data) {
  std::vector<EnvironmentTlv> out;
  for (size_t i = 0; i < data.size(); i += 3) {
    if (data.size() - i < 3 || data[i + 1] != 1) return std::nullopt;
    out.push_back({data[i], data[i + 2]});
  }
  return out;
}

Reply SetEnvironment(CardContext& ctx, const Apdu& apdu) {
  if (!apdu.HasData() || apdu.trailingLe) return Status(sw::kWrongLength);
  auto tlvs = ParseEnvironment(apdu.data);
  if (!tlvs) return Status(sw::kWrongData);
  SecurityEnvironment env = ctx.session.environment;
  for (const EnvironmentTlv& t : *tlvs) {
    if (apdu.p2 == 0xAA && t.tag == 0x80 && t.value == kGostHashAlgorithm) {
      env.hashAlgorithm = t.value;
    } else if (apdu.p2 == 0xB6 && t.tag == 0x84 && (apdu.p1 & 0x40) != 0) {
      env.signingKeyRef = t.value;
    } else if (apdu.p2 == 0xB6 && t.tag == 0x83 && (apdu.p1 & 0x80) != 0) {
      env.verifyingKeyRef = t.value;
    } else {
      return Status(sw::kWrongData);
    }
  }
  ctx.session.environment = env;
  return Status(sw::kOk);
}

Reply Hash(CardContext& ctx, const Apdu& apdu) {
  if (!apdu.HasData() && apdu.p3 != 0) {
    ctx.session.hashChain.reset();
    return Status(sw::kWrongLength);
  }
  if (ctx.session.environment.hashAlgorithm != kGostHashAlgorithm) {
    ctx.session.hashChain.reset();
    return Status(sw::kConditionsNotSatisfied);
  }
  if (!ctx.session.hashChain) ctx.session.hashChain = std::make_unique<GostHashStream>();
  ctx.session.hashChain->Update(apdu.data);
  if ((apdu.cla & 0x10) != 0) return Status(sw::kOk);  // more chunks follow
  GostHash digest = ctx.session.hashChain->Finish();
  ctx.session.hashChain.reset();
  return Reply{std::vector<uint8_t>(digest.begin(), digest.end()), sw::kOk};
}

Reply ComputeSignature(CardContext& ctx, const Apdu& apdu) {
  if (apdu.data.size() != kHashSize) return Status(sw::kWrongLength);
  if (!ctx.session.IsVerified(kUserPinRef)) return Status(sw::kSecurityNotSatisfied);
  auto ref = ctx.session.environment.signingKeyRef;
  if (!ref) return Status(sw::kConditionsNotSatisfied);
  auto it = ctx.state.keys.find(*ref);
  if (it == ctx.state.keys.end() || !it->second.privateKey) return Status(sw::kReferenceNotFound);
  const char* curve = GostCurveForParamSet(ctx.state.settings.gostParamSet);
  auto sig = GostSign(curve, *it->second.privateKey, apdu.data);
  if (!sig) return Status(sw::kConditionsNotSatisfied);
  return Reply{std::vector<uint8_t>(sig->begin(), sig->end()), sw::kOk};
}

Reply VerifySignature(CardContext& ctx, const Apdu& apdu) {
  if (apdu.trailingLe) return Status(sw::kWrongLength);
  const auto d = apdu.data;
  const bool wellFormed = d.size() == 4 + kHashSize + kSignatureSize && d[0] == 0x9A &&
                          d[1] == kHashSize && d[2 + kHashSize] == 0x9E &&
                          d[3 + kHashSize] == kSignatureSize;
  if (!wellFormed) return Status(sw::kWrongData);
  auto ref = ctx.session.environment.verifyingKeyRef;
  if (!ref) return Status(sw::kConditionsNotSatisfied);
  auto it = ctx.state.keys.find(*ref);
  if (it == ctx.state.keys.end() || !it->second.publicKey) return Status(sw::kReferenceNotFound);
  const char* curve = GostCurveForParamSet(ctx.state.settings.gostParamSet);
  const bool ok = GostVerify(curve, *it->second.publicKey, d.subspan(2, kHashSize),
                             d.subspan(4 + kHashSize, kSignatureSize));
  return Status(ok ? sw::kOk : sw::kVerificationFailed);
}

}  // namespace

Reply ManageSecurityEnvironmentCommand(CardContext& ctx, const Apdu& apdu) {
  if (!ctx.session.applicationSelected) return Status(sw::kConditionsNotSatisfied);
  if (apdu.p1 == 0xF3) {
    if (apdu.HasData()) return Status(sw::kWrongLength);
    ctx.session.environment = SecurityEnvironment{};
    return Status(sw::kOk);
  }
  const bool knownP1 = apdu.p1 == 0xC1 || apdu.p1 == 0x41 || apdu.p1 == 0x81;
  if (!knownP1 || (apdu.p2 != 0xAA && apdu.p2 != 0xB6)) return Status(sw::kWrongP1P2);
  return SetEnvironment(ctx, apdu);
}

Reply PerformSecurityOperationCommand(CardContext& ctx, const Apdu& apdu) {
  if (!ctx.session.applicationSelected) {
    ctx.session.hashChain.reset();
    return Status(sw::kConditionsNotSatisfied);
  }
  const uint16_t p1p2 = static_cast<uint16_t>((apdu.p1 << 8) | apdu.p2);
  switch (p1p2) {
    case 0x9080: return Hash(ctx, apdu);
    case 0x9E9A: return ComputeSignature(ctx, apdu);
    case 0x00A8: return VerifySignature(ctx, apdu);
    default: return Status(sw::kWrongP1P2);
  }
}

}  // namespace zorad::sim
