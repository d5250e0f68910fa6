// csr, import-cert, sign-cms: a certificate for a key that never leaves the
// card, and documents signed with it. Every signature comes from the card
// through C_Sign; what it signs is hashed here (GOST R 34.11-94), the
// document of a CMS signature included, so its size costs no card command.
#include <ctime>

#include "certificate_commands.h"
#include "certificate_text.h"
#include "ckr_text.h"
#include "commands.h"
#include "cryptoki_session.h"
#include "gost_params.h"
#include "host_digest.h"
#include "key_operations.h"
#include "object_access.h"
#include "public_key_pem.h"
#include "signed_structures.h"
#include "terminal_text.h"
#include "tool_files.h"

namespace zorad::tool {
namespace {

// The largest certificate a card holds: its whole object memory is less.
constexpr size_t kCertificateLimit = size_t{64} << 10;
// An attached signature carries the document, so the document is held in
// memory: up to this size (a detached signature takes any size).
constexpr size_t kAttachedLimit = size_t{64} << 20;

struct KeyPair {
  CK_OBJECT_HANDLE privateKey = CK_INVALID_HANDLE;
  GostPublicKey publicKey;
};

// The key pair named by --key; the user is logged in already.
KeyPair FindKeyPair(const Session& session, const std::string& name) {
  KeyPair pair;
  pair.privateKey = FindKey(session, name, CKO_PRIVATE_KEY);
  const ObjectInfo info = ReadObject(session, FindKey(session, name, CKO_PUBLIC_KEY),
                                     {CKA_VALUE, CKA_GOSTR3410_PARAMS, CKA_GOSTR3411_PARAMS});
  pair.publicKey.value = RequirePublicKeyValue(info);
  const Bytes* paramSet = info.Find(CKA_GOSTR3410_PARAMS);
  const Bytes* digest = info.Find(CKA_GOSTR3411_PARAMS);
  if (paramSet == nullptr) {
    throw ToolError(ExitCode::kFailed, "The public key '" + name + "' names no parameter set.");
  }
  pair.publicKey.paramSet = *paramSet;
  pair.publicKey.digestParams = digest != nullptr ? *digest : DefaultDigestParams();
  return pair;
}

CardSigner SignerFor(const Session& session, CK_OBJECT_HANDLE key) {
  return [&session, key](std::span<const uint8_t> toBeSigned) {
    return Sign(session, key, CKM_GOSTR3410, HashOnHost(toBeSigned));
  };
}

std::vector<CK_OBJECT_HANDLE> Certificates(const Session& session) {
  Template search;
  search.AddUlong(CKA_CLASS, CKO_CERTIFICATE);
  return FindObjects(session, search);
}

// The token's certificate for the public key `value`.
X509Ptr CertificateFor(const Session& session, const Bytes& value, const std::string& keyName) {
  for (CK_OBJECT_HANDLE handle : Certificates(session)) {
    const ObjectInfo info = ReadObject(session, handle, {CKA_VALUE});
    const Bytes* der = info.Find(CKA_VALUE);
    X509Ptr certificate = der != nullptr ? ParseCertificate(*der) : nullptr;
    if (certificate && GostPublicKeyValue(X509_get_X509_PUBKEY(certificate.get())) == value) {
      return certificate;
    }
  }
  throw ToolError(ExitCode::kNoToken, "No certificate for the key '" + keyName +
                                          "' on the token: store the one your certification "
                                          "authority issued with 'zorad-tool import-cert'.");
}

// The label of the token's certificate whose value is `der`, if one is.
std::optional<std::string> StoredLabel(const Session& session, const Bytes& der) {
  for (CK_OBJECT_HANDLE handle : Certificates(session)) {
    const ObjectInfo info = ReadObject(session, handle, {CKA_VALUE, CKA_LABEL});
    const Bytes* value = info.Find(CKA_VALUE);
    if (value != nullptr && *value == der) {
      const Bytes* label = info.Find(CKA_LABEL);
      return label != nullptr ? std::string(label->begin(), label->end()) : std::string();
    }
  }
  return std::nullopt;
}

// The CKA_ID of the token's public key whose value is `value`.
std::optional<Bytes> IdOfKeyPair(const Session& session, const Bytes& value) {
  Template search;
  search.AddUlong(CKA_CLASS, CKO_PUBLIC_KEY);
  for (CK_OBJECT_HANDLE handle : FindObjects(session, search)) {
    const ObjectInfo info = ReadObject(session, handle, {CKA_VALUE, CKA_ID});
    const Bytes* key = info.Find(CKA_VALUE);
    if (key != nullptr && *key == value) {
      const Bytes* id = info.Find(CKA_ID);
      return id != nullptr ? *id : Bytes{};
    }
  }
  return std::nullopt;
}

void WriteDerOrPem(const std::string& path, const Bytes& der, bool pem, const char* label) {
  if (!pem) return WriteFileReplacing(path, der);
  const std::string text = PemText(der, label);
  WriteFileReplacing(path, Bytes(text.begin(), text.end()));
}

ExitCode RunCsr(ToolContext& context) {
  const X509NamePtr subject = ParseSubject(context.args.Value("subject"));
  Cryptoki cryptoki(context.functions);
  Session session(cryptoki, cryptoki.ChooseSlot(context.args.Find("slot")), false);
  session.Login(PinKind::kUser, ReadPin(context.args, "pin-env", PinName(PinKind::kUser)));
  const std::string& keyName = context.args.Value("key");
  const KeyPair pair = FindKeyPair(session, keyName);
  const Bytes request =
      CertificateRequest(pair.publicKey, subject.get(), SignerFor(session, pair.privateKey));
  const std::string& output = context.args.Value("out");
  WriteDerOrPem(output, request, !context.args.Has("der"), "CERTIFICATE REQUEST");
  context.out << "Certificate request for the key '" << keyName << "' ("
              << DescribeParamSet(pair.publicKey.paramSet) << ") in the name "
              << NameText(subject.get()) << ", signed on the card, written to '" << output
              << "'.\n";
  return ExitCode::kOk;
}

Template CertificateTemplate(X509* certificate, const Bytes& der, const std::optional<Bytes>& id,
                             const std::string& label) {
  const auto encodeName = [](const X509_NAME* name) {
    return Encoded([&](unsigned char** out) { return i2d_X509_NAME(name, out); }, "name");
  };
  const Bytes serial = Encoded(
      [&](unsigned char** out) {
        return i2d_ASN1_INTEGER(X509_get0_serialNumber(certificate), out);
      },
      "serial number");
  Template object;
  object.AddUlong(CKA_CLASS, CKO_CERTIFICATE)
      .AddUlong(CKA_CERTIFICATE_TYPE, CKC_X_509)
      .AddBool(CKA_TOKEN, true)
      .AddBool(CKA_PRIVATE, false)
      .AddText(CKA_LABEL, label)
      .Add(CKA_SUBJECT, encodeName(X509_get_subject_name(certificate)))
      .Add(CKA_ISSUER, encodeName(X509_get_issuer_name(certificate)))
      .Add(CKA_SERIAL_NUMBER, serial)
      .Add(CKA_VALUE, der);
  if (id && !id->empty()) object.Add(CKA_ID, *id);
  return object;
}

ExitCode RunImportCert(ToolContext& context) {
  const std::string& input = context.args.Value("in");
  const X509Ptr certificate =
      ParseCertificate(ReadFileWithin(input, kCertificateLimit, "a certificate a card holds"));
  if (!certificate) {
    throw ToolError(ExitCode::kFile, "'" + input + "' holds no X.509 certificate (PEM or DER).");
  }
  std::optional<Bytes> id = IdOption(context.args);
  Cryptoki cryptoki(context.functions);
  Session session(cryptoki, cryptoki.ChooseSlot(context.args.Find("slot")), true);
  session.Login(PinKind::kUser, ReadPin(context.args, "pin-env", PinName(PinKind::kUser)));
  if (!id) {
    const auto value = GostPublicKeyValue(X509_get_X509_PUBKEY(certificate.get()));
    if (value) id = IdOfKeyPair(session, *value);
    if (!id) {
      throw ToolError(ExitCode::kNoToken,
                      "The certificate in '" + input +
                          "' is for no key pair on the token: give --id to store it all the same.");
    }
  }
  const Bytes der =
      Encoded([&](unsigned char** out) { return i2d_X509(certificate.get(), out); }, "certificate");
  const X509_NAME* subject = X509_get_subject_name(certificate.get());
  if (const auto stored = StoredLabel(session, der)) {
    context.out << "The certificate of " << NameText(subject) << " is already on the token as '"
                << Printable(*stored) << "': nothing stored.\n";
    return ExitCode::kOk;
  }
  std::string label = context.args.Find("label").value_or(CommonName(subject));
  if (label.empty()) label = "certificate";
  Template object = CertificateTemplate(certificate.get(), der, id, label);
  CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
  CheckRv("C_CreateObject",
          session->C_CreateObject(session.handle(), object.data(), object.size(), &handle));
  context.out << "Certificate of " << NameText(subject) << " stored on the token as '"
              << Printable(label) << "' (id " << (id->empty() ? std::string("none") : Hex(*id))
              << ").\n";
  return ExitCode::kOk;
}

ExitCode RunSignCms(ToolContext& context) {
  const std::string& input = context.args.Value("in");
  const bool attached = context.args.Has("attached");
  // Attached, the document is kept to be carried; detached, it is only
  // hashed, in parts, whatever its size.
  Bytes content;
  Bytes digest;
  if (attached) {
    content = ReadFileWithin(input, kAttachedLimit,
                             "a document of an attached signature (64 MiB; a detached one takes "
                             "any size)");
    digest = HashOnHost(content);
  } else {
    uint64_t size = 0;
    digest = HashFileOnHost(input, size);
  }
  Cryptoki cryptoki(context.functions);
  Session session(cryptoki, cryptoki.ChooseSlot(context.args.Find("slot")), false);
  session.Login(PinKind::kUser, ReadPin(context.args, "pin-env", PinName(PinKind::kUser)));
  const std::string& keyName = context.args.Value("key");
  const KeyPair pair = FindKeyPair(session, keyName);
  const X509Ptr certificate = CertificateFor(session, pair.publicKey.value, keyName);
  const Bytes signedData =
      CmsSignedData(certificate.get(), digest,
                    attached ? std::optional<std::span<const uint8_t>>(content) : std::nullopt,
                    std::time(nullptr), SignerFor(session, pair.privateKey));
  const std::string& output = context.args.Value("out");
  WriteDerOrPem(output, signedData, context.args.Has("pem"), "CMS");
  context.out << (attached ? "Attached" : "Detached") << " CMS signature of '" << input << "' by "
              << NameText(X509_get_subject_name(certificate.get())) << " written to '" << output
              << "'.\n";
  return ExitCode::kOk;
}

}  // namespace

std::vector<CommandSpec> CertificateCommands() {
  return {
      {"csr",
       "--key LABEL|ID --subject /CN=.../O=... --out FILE [--der]",
       "write a PKCS#10 certificate request for the key pair, signed on the card (PEM, or DER "
       "with --der)",
       {"key", "subject", "out", "der"},
       {"key", "subject", "out"},
       RunCsr},
      {"import-cert",
       "--in FILE [--id HEX] [--label L]",
       "store an X.509 certificate (PEM or DER) on the token beside its key pair; the label "
       "defaults to the subject's common name",
       {"in", "id", "label"},
       {"in"},
       RunImportCert},
      {"sign-cms",
       "--key LABEL|ID --in FILE --out FILE [--pem] [--attached]",
       "write a CMS signature of the file (detached unless --attached) with the key's "
       "certificate from the token",
       {"key", "in", "out", "pem", "attached"},
       {"key", "in", "out"},
       RunSignCms},
  };
}

std::vector<std::pair<std::string, std::string>> CertificateLines(std::span<const uint8_t> der) {
  return DescribeCertificate(der);
}

}  // namespace zorad::tool
