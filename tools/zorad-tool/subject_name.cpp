// --subject in the syntax of OpenSSL's -subj: "/CN=Alice+O=Example/C=RU/".
#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/objects.h>

#include <vector>

#include "certificate_text.h"
#include "terminal_text.h"
#include "tool_error.h"

namespace zorad::tool {
namespace {

struct SubjectField {
  std::string field;
  std::string value;
  bool joined = false;  // part of the previous field's name part ("+")
  bool hasValue = false;
};

// The fields of `text` (after its leading '/'), with '\' escapes undone.
std::vector<SubjectField> SplitSubject(const std::string& text) {
  std::vector<SubjectField> fields(1);
  for (size_t i = 1; i < text.size(); ++i) {
    SubjectField& current = fields.back();
    const char c = text[i];
    if (c == '\\') {
      if (++i == text.size()) throw UsageError("--subject ends with the escape character '\\'");
      (current.hasValue ? current.value : current.field) += text[i];
    } else if (c == '/' || (c == '+' && current.hasValue)) {
      fields.push_back(SubjectField{{}, {}, c == '+', false});
    } else if (c == '=' && !current.hasValue) {
      current.hasValue = true;
    } else {
      (current.hasValue ? current.value : current.field) += c;
    }
  }
  const SubjectField& last = fields.back();
  if (fields.size() > 1 && !last.joined && last.field.empty() && !last.hasValue) fields.pop_back();
  return fields;
}

size_t CharacterCount(const std::string& utf8) {
  size_t count = 0;
  for (char c : utf8) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return count;
}

// Why libcrypto refused `value` for the field `nid`, in its string table's
// terms: the length in characters, or the characters the field allows.
std::string ValueRule(int nid, const std::string& value) {
  const ASN1_STRING_TABLE* table = ASN1_STRING_TABLE_get(nid);
  const size_t length = CharacterCount(value);
  if (table != nullptr && ((table->minsize > 0 && length < static_cast<size_t>(table->minsize)) ||
                           (table->maxsize > 0 && length > static_cast<size_t>(table->maxsize)))) {
    const long minimum = table->minsize > 0 ? table->minsize : 1;
    const std::string range = minimum == table->maxsize ? std::to_string(minimum)
                                                        : std::to_string(minimum) + " to " +
                                                              std::to_string(table->maxsize);
    return "it has " + std::to_string(length) + " characters, and the field takes " + range +
           " characters";
  }
  if (table != nullptr && table->mask == B_ASN1_PRINTABLESTRING) {
    return "the field takes only letters A-Z and a-z, digits, space and '()+,-./:=?";
  }
  return "the field does not take these characters";
}

void AddField(X509_NAME* name, const SubjectField& field) {
  if (field.field.empty() || !field.hasValue) {
    throw UsageError("'" + Printable(field.field) + "' in --subject is not FIELD=value");
  }
  const std::string shown = "'" + Printable(field.value) + "' for " + Printable(field.field);
  if (field.value.empty()) throw UsageError(shown + " in --subject: the value is empty");
  const int nid = OBJ_txt2nid(field.field.c_str());
  if (nid == NID_undef) {
    throw UsageError("'" + Printable(field.field) +
                     "' in --subject is no name field (CN, O, OU, C, L, ST, ...)");
  }
  if (!IsValidUtf8(field.value)) throw UsageError(shown + " in --subject is not valid UTF-8");
  if (!X509_NAME_add_entry_by_NID(
          name, nid, MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(field.value.data()),
          static_cast<int>(field.value.size()), -1, field.joined ? -1 : 0)) {
    ERR_clear_error();
    throw UsageError(shown + " in --subject is refused: " + ValueRule(nid, field.value));
  }
}

}  // namespace

X509NamePtr ParseSubject(const std::string& text) {
  if (text.size() < 2 || text[0] != '/') {
    throw UsageError("'--subject " + Printable(text) +
                     "' is not of the form /CN=name/O=organisation");
  }
  X509NamePtr name(X509_NAME_new());
  if (!name) ThrowOpenSsl("Building the subject name");
  for (const SubjectField& field : SplitSubject(text)) AddField(name.get(), field);
  return name;
}

}  // namespace zorad::tool
