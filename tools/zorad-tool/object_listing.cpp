#include "object_listing.h"

#include "certificate_commands.h"
#include "gost_params.h"
#include "terminal_text.h"

namespace zorad::tool {
namespace {

// Values up to this size are shown in hex; larger ones by size only.
constexpr size_t kShownValueSize = 64;

struct ClassEntry {
  CK_OBJECT_CLASS objectClass;
  const char* name;
  const char* option;
};

constexpr ClassEntry kClasses[] = {
    {CKO_DATA, "data", "data"},
    {CKO_CERTIFICATE, "certificate", "cert"},
    {CKO_PUBLIC_KEY, "public key", "public"},
    {CKO_PRIVATE_KEY, "private key", "private"},
};

std::string QuotedText(const Bytes& value) {
  return "\"" + Printable(std::string(value.begin(), value.end())) + "\"";
}

std::string KeyTypeName(CK_KEY_TYPE type) {
  if (type == CKK_GOSTR3410) return "GOST R 34.10-2001";
  return "0x" + Hex(Bytes{static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type)});
}

void PrintFlag(std::ostream& out, const ObjectInfo& object, CK_ATTRIBUTE_TYPE type,
               const char* name) {
  if (const auto value = object.Bool(type)) {
    out << "    " << name << (*value ? "yes" : "no") << "\n";
  }
}

}  // namespace

std::string ClassName(CK_OBJECT_CLASS objectClass) {
  for (const ClassEntry& entry : kClasses) {
    if (entry.objectClass == objectClass) return entry.name;
  }
  return "class " + std::to_string(objectClass);
}

std::optional<CK_OBJECT_CLASS> ParseClass(const std::string& text) {
  for (const ClassEntry& entry : kClasses) {
    if (text == entry.option) return entry.objectClass;
  }
  return std::nullopt;
}

const std::vector<CK_ATTRIBUTE_TYPE>& ListedAttributes() {
  static const std::vector<CK_ATTRIBUTE_TYPE> kTypes = {
      CKA_CLASS, CKA_LABEL,  CKA_ID,    CKA_PRIVATE,          CKA_KEY_TYPE,
      CKA_SIGN,  CKA_VERIFY, CKA_VALUE, CKA_GOSTR3410_PARAMS, CKA_APPLICATION};
  return kTypes;
}

void PrintObject(std::ostream& out, const ObjectInfo& object, size_t number) {
  const auto objectClass = object.Ulong(CKA_CLASS);
  out << "  Object " << number << ": "
      << (objectClass ? ClassName(*objectClass) : std::string("unknown class")) << "\n";
  if (const Bytes* label = object.Find(CKA_LABEL))
    out << "    label:      " << QuotedText(*label) << "\n";
  if (const Bytes* id = object.Find(CKA_ID)) out << "    id:         " << Hex(*id) << "\n";
  PrintFlag(out, object, CKA_PRIVATE, "private:    ");
  if (const auto type = object.Ulong(CKA_KEY_TYPE)) {
    out << "    key type:   " << KeyTypeName(*type) << "\n";
  }
  if (const Bytes* params = object.Find(CKA_GOSTR3410_PARAMS)) {
    out << "    param set:  " << DescribeParamSet(*params) << "\n";
  }
  PrintFlag(out, object, CKA_SIGN, "sign:       ");
  PrintFlag(out, object, CKA_VERIFY, "verify:     ");
  if (const Bytes* application = object.Find(CKA_APPLICATION)) {
    out << "    application: " << QuotedText(*application) << "\n";
  }
  if (const Bytes* value = object.Find(CKA_VALUE); value && objectClass == CKO_CERTIFICATE) {
    for (const auto& [name, text] : CertificateLines(*value)) {
      out << "    " << name << ":" << std::string(name.size() < 11 ? 11 - name.size() : 1, ' ')
          << text << "\n";
    }
  }
  if (const Bytes* value = object.Find(CKA_VALUE)) {
    out << "    value:      " << value->size() << " bytes";
    if (!value->empty() && value->size() <= kShownValueSize) out << " " << Hex(*value);
    out << "\n";
  } else if (objectClass == CKO_PRIVATE_KEY) {
    out << "    value:      stays on the card\n";
  }
}

size_t PrintObjects(std::ostream& out, const Session& session) {
  Template everything;
  const std::vector<CK_OBJECT_HANDLE> objects = FindObjects(session, everything);
  size_t number = 0;
  for (CK_OBJECT_HANDLE handle : objects) {
    PrintObject(out, ReadObject(session, handle, ListedAttributes()), ++number);
  }
  if (objects.empty()) out << "  (no objects)\n";
  return objects.size();
}

}  // namespace zorad::tool
