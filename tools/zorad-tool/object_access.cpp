#include "object_access.h"

#include <algorithm>
#include <cstring>

#include "ckr_text.h"
#include "tool_error.h"

namespace zorad::tool {
namespace {

constexpr CK_ULONG kSearchBatch = 32;
// First guess for attribute values of unknown size; a larger value costs a
// second read.
constexpr CK_ULONG kFirstGuess = 256;

bool IsFixedSize(CK_ATTRIBUTE_TYPE type) {
  switch (type) {
    case CKA_CLASS:
    case CKA_KEY_TYPE:
    case CKA_CERTIFICATE_TYPE:
      return true;
    default:
      return false;
  }
}

std::vector<CK_ATTRIBUTE> Request(const std::vector<CK_ATTRIBUTE_TYPE>& types,
                                  std::vector<Bytes>& buffers, bool sizesOnly) {
  std::vector<CK_ATTRIBUTE> request(types.size());
  for (size_t i = 0; i < types.size(); ++i) {
    request[i].type = types[i];
    request[i].pValue = sizesOnly ? nullptr : buffers[i].data();
    request[i].ulValueLen = sizesOnly ? 0 : static_cast<CK_ULONG>(buffers[i].size());
  }
  return request;
}

std::string NotFoundText(const std::string& name, bool loggedIn) {
  return "No key '" + name + "' on the token" +
         (loggedIn ? "" : " among the objects readable without login") +
         ": list the objects with 'zorad-tool list --login'.";
}

CK_OBJECT_HANDLE OnlyKey(const std::vector<CK_OBJECT_HANDLE>& found, const std::string& name,
                         bool loggedIn) {
  if (found.empty()) throw ToolError(ExitCode::kNoToken, NotFoundText(name, loggedIn));
  if (found.size() > 1) {
    throw ToolError(ExitCode::kFailed, std::to_string(found.size()) + " keys match '" + name +
                                           "': name the key by its id ('zorad-tool list' "
                                           "shows the ids).");
  }
  return found.front();
}

}  // namespace

Template& Template::Add(CK_ATTRIBUTE_TYPE type, Bytes value) {
  values_.emplace_back(type, std::move(value));
  return *this;
}

Template& Template::AddUlong(CK_ATTRIBUTE_TYPE type, CK_ULONG value) {
  Bytes bytes(sizeof value);
  std::memcpy(bytes.data(), &value, sizeof value);
  return Add(type, std::move(bytes));
}

Template& Template::AddBool(CK_ATTRIBUTE_TYPE type, bool value) {
  return Add(type, Bytes{static_cast<uint8_t>(value ? CK_TRUE : CK_FALSE)});
}

Template& Template::AddText(CK_ATTRIBUTE_TYPE type, const std::string& text) {
  return Add(type, Bytes(text.begin(), text.end()));
}

CK_ATTRIBUTE* Template::data() {
  attributes_.clear();
  for (auto& [type, value] : values_) {
    attributes_.push_back(
        {type, value.empty() ? nullptr : value.data(), static_cast<CK_ULONG>(value.size())});
  }
  return attributes_.empty() ? nullptr : attributes_.data();
}

const Bytes* ObjectInfo::Find(CK_ATTRIBUTE_TYPE type) const {
  const auto it = values.find(type);
  return it == values.end() ? nullptr : &it->second;
}

std::optional<CK_ULONG> ObjectInfo::Ulong(CK_ATTRIBUTE_TYPE type) const {
  const Bytes* value = Find(type);
  if (value == nullptr || value->size() != sizeof(CK_ULONG)) return std::nullopt;
  CK_ULONG number = 0;
  std::memcpy(&number, value->data(), sizeof number);
  return number;
}

std::optional<bool> ObjectInfo::Bool(CK_ATTRIBUTE_TYPE type) const {
  const Bytes* value = Find(type);
  if (value == nullptr) return std::nullopt;
  return !value->empty() && (*value)[0] != 0;
}

std::vector<CK_OBJECT_HANDLE> FindObjects(const Session& session, Template& search) {
  CheckRv("C_FindObjectsInit",
          session->C_FindObjectsInit(session.handle(), search.data(), search.size()));
  std::vector<CK_OBJECT_HANDLE> found;
  CK_RV rv = CKR_OK;
  for (;;) {
    CK_OBJECT_HANDLE batch[kSearchBatch];
    CK_ULONG count = 0;
    rv = session->C_FindObjects(session.handle(), batch, kSearchBatch, &count);
    if (rv != CKR_OK || count == 0) break;
    found.insert(found.end(), batch, batch + std::min(count, kSearchBatch));
  }
  session->C_FindObjectsFinal(session.handle());
  CheckRv("C_FindObjects", rv);
  return found;
}

ObjectInfo ReadObject(const Session& session, CK_OBJECT_HANDLE object,
                      const std::vector<CK_ATTRIBUTE_TYPE>& types) {
  std::vector<Bytes> buffers;
  for (CK_ATTRIBUTE_TYPE type : types) {
    buffers.emplace_back(IsFixedSize(type) ? sizeof(CK_ULONG) : kFirstGuess);
  }
  std::vector<CK_ATTRIBUTE> request = Request(types, buffers, false);
  CK_RV rv = session->C_GetAttributeValue(session.handle(), object, request.data(),
                                          static_cast<CK_ULONG>(request.size()));
  // A value too large for its first guess may be reported as unavailable
  // under CKR_ATTRIBUTE_TYPE_INVALID as well, when another type is missing.
  const bool unresolved = std::any_of(request.begin(), request.end(), [](const CK_ATTRIBUTE& a) {
    return a.ulValueLen == CK_UNAVAILABLE_INFORMATION;
  });
  if (rv == CKR_BUFFER_TOO_SMALL || (rv != CKR_OK && unresolved)) {
    request = Request(types, buffers, true);
    rv = session->C_GetAttributeValue(session.handle(), object, request.data(),
                                      static_cast<CK_ULONG>(request.size()));
    if (rv == CKR_OK || rv == CKR_ATTRIBUTE_TYPE_INVALID || rv == CKR_ATTRIBUTE_SENSITIVE) {
      for (size_t i = 0; i < types.size(); ++i) {
        if (request[i].ulValueLen != CK_UNAVAILABLE_INFORMATION) {
          buffers[i].resize(request[i].ulValueLen);
        }
      }
      request = Request(types, buffers, false);
      rv = session->C_GetAttributeValue(session.handle(), object, request.data(),
                                        static_cast<CK_ULONG>(request.size()));
    }
  }
  if (rv != CKR_OK && rv != CKR_ATTRIBUTE_TYPE_INVALID && rv != CKR_ATTRIBUTE_SENSITIVE) {
    ThrowRv("C_GetAttributeValue", rv);
  }
  ObjectInfo info;
  info.handle = object;
  for (size_t i = 0; i < types.size(); ++i) {
    const CK_ULONG length = request[i].ulValueLen;
    if (length == CK_UNAVAILABLE_INFORMATION || length > buffers[i].size()) continue;
    info.values[types[i]] = Bytes(buffers[i].begin(), buffers[i].begin() + length);
  }
  return info;
}

std::vector<CK_OBJECT_HANDLE> MatchObjects(const Session& session, const std::string& name,
                                           std::optional<CK_OBJECT_CLASS> objectClass) {
  Template byLabel;
  if (objectClass) byLabel.AddUlong(CKA_CLASS, *objectClass);
  byLabel.AddText(CKA_LABEL, name);
  std::vector<CK_OBJECT_HANDLE> found = FindObjects(session, byLabel);
  if (!found.empty()) return found;
  const auto id = ParseHex(name);
  if (!id) return found;
  Template byId;
  if (objectClass) byId.AddUlong(CKA_CLASS, *objectClass);
  byId.Add(CKA_ID, *id);
  return FindObjects(session, byId);
}

CK_OBJECT_HANDLE FindKey(const Session& session, const std::string& name,
                         CK_OBJECT_CLASS objectClass) {
  return OnlyKey(MatchObjects(session, name, objectClass), name, session.loggedIn());
}

CK_OBJECT_HANDLE FindKeyLoggingInIfNeeded(Session& session, const std::string& name,
                                          CK_OBJECT_CLASS objectClass, const ParsedArgs& args) {
  // With the PIN at hand, logging in first saves a search: keys made on
  // the token are private objects.
  if (!session.loggedIn() && args.Has("pin-env")) {
    session.Login(PinKind::kUser, ReadPin(args, "pin-env", PinName(PinKind::kUser)));
  }
  std::vector<CK_OBJECT_HANDLE> found = MatchObjects(session, name, objectClass);
  if (found.empty() && !session.loggedIn()) {
    session.Login(PinKind::kUser, ReadPin(args, "pin-env", PinName(PinKind::kUser)));
    found = MatchObjects(session, name, objectClass);
  }
  return OnlyKey(found, name, session.loggedIn());
}

}  // namespace zorad::tool
