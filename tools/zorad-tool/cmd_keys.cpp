// keygen, sign, verify, export-pubkey: GOST keys and signatures on the card.
#include "ckr_text.h"
#include "commands.h"
#include "cryptoki_session.h"
#include "document_signing.h"
#include "gost_params.h"
#include "key_operations.h"
#include "object_access.h"
#include "public_key_pem.h"
#include "terminal_text.h"
#include "tool_files.h"

namespace zorad::tool {
namespace {

// A signature file is 64 bytes; a larger one is read this far to say so.
constexpr size_t kSignatureFileLimit = 4096;

std::optional<Bytes> ParamSetOption(const ParsedArgs& args) {
  const auto text = args.Find("paramset");
  if (!text) return std::nullopt;
  const auto der = ParseParamSet(*text);
  if (!der) {
    throw UsageError("'--paramset " + *text +
                     "' is neither A, B, C, XA, XB nor an object "
                     "identifier such as 1.2.643.2.2.35.1");
  }
  return der;
}

void RefuseTakenLabel(const Session& session, const std::string& label) {
  Template search;
  search.AddUlong(CKA_CLASS, CKO_PRIVATE_KEY).AddText(CKA_LABEL, label);
  if (!FindObjects(session, search).empty()) {
    throw ToolError(ExitCode::kFailed, "A private key labelled '" + label +
                                           "' exists already: choose another label, or delete "
                                           "the old key with 'zorad-tool delete'.");
  }
}

}  // namespace

ExitCode RunKeygen(ToolContext& context) {
  const std::string label = context.args.Value("label");
  const std::optional<Bytes> id = IdOption(context.args);
  const std::optional<Bytes> paramSet = ParamSetOption(context.args);
  Cryptoki cryptoki(context.functions);
  Session session(cryptoki, cryptoki.ChooseSlot(context.args.Find("slot")), true);
  session.Login(PinKind::kUser, ReadPin(context.args, "pin-env", PinName(PinKind::kUser)));
  RefuseTakenLabel(session, label);
  const GeneratedKeyPair pair = GenerateKeyPair(session, label, id, paramSet);
  context.out << "Key pair generated on the card in slot " << session.slot() << ":\n"
              << "  label:      \"" << Printable(label) << "\"\n"
              << "  id:         " << (id ? Hex(*id) : std::string("none")) << "\n"
              << "  param set:  " << DescribeParamSet(pair.paramSet) << "\n"
              << "  public key: " << Hex(PublicKeyValue(session, pair.publicKey)) << "\n";
  return ExitCode::kOk;
}

ExitCode RunSign(ToolContext& context) {
  const std::string& input = context.args.Value("in");
  const Document document = ReadDocument(ParseHashing(context.args.Find("mechanism")), input);
  Cryptoki cryptoki(context.functions);
  Session session(cryptoki, cryptoki.ChooseSlot(context.args.Find("slot")), false);
  session.Login(PinKind::kUser, ReadPin(context.args, "pin-env", PinName(PinKind::kUser)));
  const std::string& keyName = context.args.Value("key");
  const CK_OBJECT_HANDLE key = FindKey(session, keyName, CKO_PRIVATE_KEY);
  const Bytes signature = SignDocument(session, key, document);
  WriteFileReplacing(context.args.Value("out"), signature);
  context.out << "Signed '" << input << "' (" << document.size << " bytes, "
              << HashingText(document.hashing) << ") with the key '" << keyName
              << "': " << signature.size() << "-byte signature written to '"
              << context.args.Value("out") << "'.\n";
  return ExitCode::kOk;
}

ExitCode RunVerify(ToolContext& context) {
  const std::string& input = context.args.Value("in");
  const std::string& signatureFile = context.args.Value("sig");
  const Document document = ReadDocument(ParseHashing(context.args.Find("mechanism")), input);
  const Bytes signature = ReadFileWithin(signatureFile, kSignatureFileLimit, "a signature");
  if (signature.size() != kSignatureSize) {
    throw ToolError(ExitCode::kBadSignature,
                    "'" + signatureFile + "' holds " + std::to_string(signature.size()) +
                        " bytes, but a GOST R 34.10-2001 signature has 64: it cannot match.");
  }
  Cryptoki cryptoki(context.functions);
  Session session(cryptoki, cryptoki.ChooseSlot(context.args.Find("slot")), false);
  const std::string& keyName = context.args.Value("key");
  const CK_OBJECT_HANDLE key =
      FindKeyLoggingInIfNeeded(session, keyName, CKO_PUBLIC_KEY, context.args);
  const CK_RV rv = VerifyDocument(session, key, document, signature);
  if (rv == CKR_OK) {
    context.out << "Signature OK: '" << signatureFile << "' is a valid signature of '" << input
                << "' by the key '" << keyName << "'.\n";
    return ExitCode::kOk;
  }
  // A mismatch is the token's CKR_SIGNATURE_INVALID; a card fault is an error.
  if (rv != CKR_SIGNATURE_INVALID) ThrowRv("C_Verify", rv);
  context.out << "Signature INVALID: the token refused '" << signatureFile << "' for '" << input
              << "' and the key '" << keyName << "' (" << CkrName(rv) << ").\n";
  return ExitCode::kBadSignature;
}

ExitCode RunExportPubkey(ToolContext& context) {
  Cryptoki cryptoki(context.functions);
  Session session(cryptoki, cryptoki.ChooseSlot(context.args.Find("slot")), false);
  const std::string& keyName = context.args.Value("key");
  const CK_OBJECT_HANDLE key =
      FindKeyLoggingInIfNeeded(session, keyName, CKO_PUBLIC_KEY, context.args);
  const ObjectInfo info =
      ReadObject(session, key, {CKA_VALUE, CKA_GOSTR3410_PARAMS, CKA_GOSTR3411_PARAMS});
  const Bytes& value = RequirePublicKeyValue(info);
  const Bytes* paramSet = info.Find(CKA_GOSTR3410_PARAMS);
  const std::string& output = context.args.Value("out");
  if (!context.args.Has("pem")) {
    WriteFileReplacing(output, value);
    context.out << "Public key '" << keyName << "' written to '" << output
                << "': 64 bytes, X || Y little-endian.\n";
    return ExitCode::kOk;
  }
  const Bytes* digest = info.Find(CKA_GOSTR3411_PARAMS);
  const std::optional<Bytes> der =
      paramSet == nullptr
          ? std::nullopt
          : GostPublicKeyInfo(value, *paramSet, digest ? *digest : DefaultDigestParams());
  if (!der) {
    throw ToolError(ExitCode::kFailed,
                    "The public key names no usable parameter set, so no "
                    "PEM can be made: export the raw key without --pem.");
  }
  const std::string pem = PemText(*der, "PUBLIC KEY");
  WriteFileReplacing(output, Bytes(pem.begin(), pem.end()));
  context.out << "Public key '" << keyName << "' (" << DescribeParamSet(*paramSet)
              << ") written to '" << output << "' as a PEM SubjectPublicKeyInfo.\n";
  return ExitCode::kOk;
}

}  // namespace zorad::tool
