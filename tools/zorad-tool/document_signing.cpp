#include "document_signing.h"

#include <cstdio>
#include <functional>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "ckr_text.h"
#include "host_digest.h"
#include "key_operations.h"
#include "tool_error.h"
#include "tool_files.h"

namespace zorad::tool {
namespace {

// What one C_SignUpdate or C_VerifyUpdate hands the module when the card
// hashes: about a second of card commands, so progress moves steadily.
constexpr size_t kCardPart = size_t{32} << 10;

bool StderrIsTerminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return ::isatty(STDERR_FILENO) != 0;
#endif
}

// Hands `data` to `update` in parts; on a terminal the share done is shown
// on standard error (the card takes about 8 ms for each 240 bytes).
void FeedCardInParts(std::span<const uint8_t> data,
                     const std::function<void(std::span<const uint8_t>)>& update) {
  const bool shown = StderrIsTerminal();
  for (size_t at = 0; at < data.size(); at += kCardPart) {
    if (shown)
      std::fprintf(stderr, "\rThe card hashes the document: %3zu%%", at * 100 / data.size());
    update(data.subspan(at, std::min(kCardPart, data.size() - at)));
  }
  if (shown) std::fprintf(stderr, "\rThe card hashes the document: 100%%\n");
}

CK_BYTE* Data(std::span<const uint8_t> bytes) { return const_cast<CK_BYTE*>(bytes.data()); }
CK_ULONG Size(std::span<const uint8_t> bytes) { return static_cast<CK_ULONG>(bytes.size()); }

Bytes SignHashedOnCard(const Session& session, CK_OBJECT_HANDLE key, const Bytes& content) {
  CK_MECHANISM mechanism{CKM_GOSTR3410_WITH_GOSTR3411, nullptr, 0};
  CheckRv("C_SignInit", session->C_SignInit(session.handle(), &mechanism, key));
  FeedCardInParts(content, [&](std::span<const uint8_t> part) {
    CheckRv("C_SignUpdate", session->C_SignUpdate(session.handle(), Data(part), Size(part)));
  });
  Bytes signature(kSignatureSize);
  CK_ULONG length = Size(signature);
  CheckRv("C_SignFinal", session->C_SignFinal(session.handle(), signature.data(), &length));
  signature.resize(std::min<size_t>(length, signature.size()));
  return signature;
}

CK_RV VerifyHashedOnCard(const Session& session, CK_OBJECT_HANDLE key, const Bytes& content,
                         std::span<const uint8_t> signature) {
  CK_MECHANISM mechanism{CKM_GOSTR3410_WITH_GOSTR3411, nullptr, 0};
  CheckRv("C_VerifyInit", session->C_VerifyInit(session.handle(), &mechanism, key));
  FeedCardInParts(content, [&](std::span<const uint8_t> part) {
    CheckRv("C_VerifyUpdate", session->C_VerifyUpdate(session.handle(), Data(part), Size(part)));
  });
  return session->C_VerifyFinal(session.handle(), Data(signature), Size(signature));
}

}  // namespace

DocumentHashing ParseHashing(const std::optional<std::string>& text) {
  if (!text) return DocumentHashing::kHost;
  if (*text == "gostr3410-with-gostr3411") return DocumentHashing::kCard;
  if (*text == "gostr3410") return DocumentHashing::kGiven;
  throw UsageError("unknown mechanism '" + *text + "': use gostr3410-with-gostr3411 or gostr3410");
}

const char* HashingText(DocumentHashing hashing) {
  switch (hashing) {
    case DocumentHashing::kHost:
      return "GOST R 34.11-94 hash computed here, CKM_GOSTR3410";
    case DocumentHashing::kCard:
      return "hashed on the card, CKM_GOSTR3410_WITH_GOSTR3411";
    case DocumentHashing::kGiven:
      return "the hash given, CKM_GOSTR3410";
  }
  return "";
}

Document ReadDocument(DocumentHashing hashing, const std::string& path) {
  Document document;
  document.hashing = hashing;
  if (hashing == DocumentHashing::kHost) {
    document.data = HashFileOnHost(path, document.size);
    return document;
  }
  const bool given = hashing == DocumentHashing::kGiven;
  document.data = ReadFileWithin(path, given ? kHashSize : kCardHashLimit,
                                 given ? "a 32-byte GOST R 34.11-94 hash"
                                       : "a document the card hashes (16 MiB; without "
                                         "--mechanism the tool hashes documents of any size)");
  document.size = document.data.size();
  if (given && document.size != kHashSize) {
    throw ToolError(ExitCode::kFile,
                    "With --mechanism gostr3410 the input is the 32-byte GOST R 34.11-94 hash, "
                    "but '" +
                        path + "' holds " + std::to_string(document.size) + " bytes.");
  }
  if (document.size == 0) {
    throw ToolError(ExitCode::kFile, "'" + path +
                                         "' is empty: the card hashes documents of 1 byte to "
                                         "16 MiB; without --mechanism the tool signs it.");
  }
  return document;
}

Bytes SignDocument(const Session& session, CK_OBJECT_HANDLE key, const Document& document) {
  if (document.hashing == DocumentHashing::kCard)
    return SignHashedOnCard(session, key, document.data);
  return Sign(session, key, CKM_GOSTR3410, document.data);
}

CK_RV VerifyDocument(const Session& session, CK_OBJECT_HANDLE key, const Document& document,
                     std::span<const uint8_t> signature) {
  if (document.hashing == DocumentHashing::kCard) {
    return VerifyHashedOnCard(session, key, document.data, signature);
  }
  return Verify(session, key, CKM_GOSTR3410, document.data, signature);
}

}  // namespace zorad::tool
