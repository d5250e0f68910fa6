// Objects on the token through the function list: search templates,
// searches, attribute reads, and the lookup of an object that the command
// line names by label or id.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cryptoki_session.h"
#include "hex_text.h"
#include "platform/cryptoki.h"

namespace zorad::tool {

// Attribute values kept alive for as long as the CK_ATTRIBUTE array that
// points into them.
class Template {
 public:
  Template& Add(CK_ATTRIBUTE_TYPE type, Bytes value);
  Template& AddUlong(CK_ATTRIBUTE_TYPE type, CK_ULONG value);
  Template& AddBool(CK_ATTRIBUTE_TYPE type, bool value);
  Template& AddText(CK_ATTRIBUTE_TYPE type, const std::string& text);

  CK_ATTRIBUTE* data();
  CK_ULONG size() const { return static_cast<CK_ULONG>(values_.size()); }

 private:
  std::vector<std::pair<CK_ATTRIBUTE_TYPE, Bytes>> values_;
  std::vector<CK_ATTRIBUTE> attributes_;
};

// The attributes read from one object; an attribute the object lacks is
// absent from the map.
struct ObjectInfo {
  CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
  std::map<CK_ATTRIBUTE_TYPE, Bytes> values;

  const Bytes* Find(CK_ATTRIBUTE_TYPE type) const;
  std::optional<CK_ULONG> Ulong(CK_ATTRIBUTE_TYPE type) const;
  std::optional<bool> Bool(CK_ATTRIBUTE_TYPE type) const;
};

std::vector<CK_OBJECT_HANDLE> FindObjects(const Session& session, Template& search);

// Reads the attributes of `types` that the object has, in one call when the
// values fit the first guess of their sizes.
ObjectInfo ReadObject(const Session& session, CK_OBJECT_HANDLE object,
                      const std::vector<CK_ATTRIBUTE_TYPE>& types);

// Objects whose label is `name`, or, when no label matches and the name is
// hexadecimal, whose id is those bytes; limited to `objectClass` if given.
std::vector<CK_OBJECT_HANDLE> MatchObjects(const Session& session, const std::string& name,
                                           std::optional<CK_OBJECT_CLASS> objectClass);

// Exactly one key of the class named by label or id. Throws ToolError
// (kNoToken) when none matches and (kFailed) when several do.
CK_OBJECT_HANDLE FindKey(const Session& session, const std::string& name,
                         CK_OBJECT_CLASS objectClass);

// The key searched without a login first; when it is not found and the
// user is not logged in yet, after logging in (keys generated on the token
// are private objects). With --pin-env the login comes first.
CK_OBJECT_HANDLE FindKeyLoggingInIfNeeded(Session& session, const std::string& name,
                                          CK_OBJECT_CLASS objectClass, const ParsedArgs& args);

}  // namespace zorad::tool
