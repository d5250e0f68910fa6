#include "key_operations.h"

#include "ckr_text.h"
#include "gost_params.h"
#include "object_access.h"
#include "tool_error.h"

namespace zorad::tool {
namespace {

// The signature parameter sets of the card family: CryptoPro A, B, C and
// the test set of the standard, offered in this order.
constexpr const char* kSigningParamSets[] = {"1.2.643.2.2.35.1", "1.2.643.2.2.35.2",
                                             "1.2.643.2.2.35.3", "1.2.643.2.2.35.0"};

void AddCommon(Template& keyTemplate, CK_OBJECT_CLASS objectClass, const std::string& label,
               const std::optional<Bytes>& id) {
  keyTemplate.AddUlong(CKA_CLASS, objectClass)
      .AddUlong(CKA_KEY_TYPE, CKK_GOSTR3410)
      .AddBool(CKA_TOKEN, true)
      .AddText(CKA_LABEL, label);
  if (id) keyTemplate.Add(CKA_ID, *id);
}

// One attempt; the module's result, with the handles on success.
CK_RV TryGenerate(const Session& session, const std::string& label, const std::optional<Bytes>& id,
                  const Bytes& paramSet, GeneratedKeyPair& pair) {
  // The private key goes to the token's private area; the public key goes
  // with it and names the parameter set (the private key must not).
  Template publicKey;
  AddCommon(publicKey, CKO_PUBLIC_KEY, label, id);
  publicKey.AddBool(CKA_VERIFY, true).Add(CKA_GOSTR3410_PARAMS, paramSet);
  Template privateKey;
  AddCommon(privateKey, CKO_PRIVATE_KEY, label, id);
  privateKey.AddBool(CKA_PRIVATE, true).AddBool(CKA_SIGN, true);
  CK_MECHANISM mechanism{CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};
  pair.paramSet = paramSet;
  return session->C_GenerateKeyPair(session.handle(), &mechanism, publicKey.data(),
                                    publicKey.size(), privateKey.data(), privateKey.size(),
                                    &pair.publicKey, &pair.privateKey);
}

}  // namespace

GeneratedKeyPair GenerateKeyPair(const Session& session, const std::string& label,
                                 const std::optional<Bytes>& id,
                                 const std::optional<Bytes>& paramSet) {
  GeneratedKeyPair pair;
  if (paramSet) {
    CheckRv("C_GenerateKeyPair", TryGenerate(session, label, id, *paramSet, pair));
    return pair;
  }
  for (const char* oid : kSigningParamSets) {
    const CK_RV rv = TryGenerate(session, label, id, *EncodeOid(oid), pair);
    if (rv == CKR_OK) return pair;
    if (rv != CKR_DOMAIN_PARAMS_INVALID) ThrowRv("C_GenerateKeyPair", rv);
  }
  ThrowRv("C_GenerateKeyPair", CKR_DOMAIN_PARAMS_INVALID,
          "The token accepts none of the GOST signature parameter sets: name its set "
          "with --paramset OID.");
}

std::optional<Bytes> IdOption(const ParsedArgs& args) {
  const auto text = args.Find("id");
  if (!text) return std::nullopt;
  const auto id = ParseHex(*text);
  if (!id) throw UsageError("'--id " + *text + "' is not hexadecimal (for example --id 01a2)");
  return id;
}

const char* MechanismName(CK_MECHANISM_TYPE mechanism) {
  return mechanism == CKM_GOSTR3410 ? "CKM_GOSTR3410" : "CKM_GOSTR3410_WITH_GOSTR3411";
}

Bytes Sign(const Session& session, CK_OBJECT_HANDLE key, CK_MECHANISM_TYPE mechanism,
           std::span<const uint8_t> data) {
  CK_MECHANISM sign{mechanism, nullptr, 0};
  CheckRv("C_SignInit", session->C_SignInit(session.handle(), &sign, key));
  Bytes signature(kSignatureSize);
  CK_ULONG length = static_cast<CK_ULONG>(signature.size());
  CheckRv("C_Sign", session->C_Sign(session.handle(), const_cast<CK_BYTE*>(data.data()),
                                    static_cast<CK_ULONG>(data.size()), signature.data(), &length));
  signature.resize(std::min<size_t>(length, signature.size()));
  return signature;
}

CK_RV Verify(const Session& session, CK_OBJECT_HANDLE key, CK_MECHANISM_TYPE mechanism,
             std::span<const uint8_t> data, std::span<const uint8_t> signature) {
  CK_MECHANISM verify{mechanism, nullptr, 0};
  CheckRv("C_VerifyInit", session->C_VerifyInit(session.handle(), &verify, key));
  return session->C_Verify(
      session.handle(), const_cast<CK_BYTE*>(data.data()), static_cast<CK_ULONG>(data.size()),
      const_cast<CK_BYTE*>(signature.data()), static_cast<CK_ULONG>(signature.size()));
}

Bytes PublicKeyValue(const Session& session, CK_OBJECT_HANDLE key) {
  return RequirePublicKeyValue(ReadObject(session, key, {CKA_VALUE}));
}

const Bytes& RequirePublicKeyValue(const ObjectInfo& info) {
  const Bytes* value = info.Find(CKA_VALUE);
  if (value == nullptr || value->size() != 64) {
    throw ToolError(ExitCode::kFailed,
                    "The public key has no 64-byte value on the card (its "
                    "private key was deleted): generate a new key pair.");
  }
  return *value;
}

}  // namespace zorad::tool
