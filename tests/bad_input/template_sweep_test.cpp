// Bad templates and bad mechanisms through the function list: null values
// with lengths, CK_UNAVAILABLE_INFORMATION as an input length, types and
// values out of range, buffers too small, and mechanisms that are missing,
// unknown or meant for something else.
#include <gtest/gtest.h>

#include <cstring>

#include "bad_input/sweep_world.h"

namespace zorad::test {
namespace {

class TemplateSweep : public SweepWorldTest {
 protected:
  CK_RV Create(CK_SESSION_HANDLE session, CK_ATTRIBUTE* attributes, CK_ULONG count) {
    return F().C_CreateObject(session, attributes, count, &created_);
  }
  CK_RV KeyPair(CK_MECHANISM* mechanism, CK_ATTRIBUTE* privateKey, CK_ULONG count) {
    CK_ATTRIBUTE publicKey{CKA_TOKEN, &yes_, 1};
    return F().C_GenerateKeyPair(rw_, mechanism, &publicKey, 1, privateKey, count, &handles_[0],
                                 &handles_[1]);
  }

  CK_OBJECT_HANDLE created_ = 0;
  CK_OBJECT_HANDLE handles_[2] = {};
  CK_BBOOL yes_ = CK_TRUE;
  CK_BBOOL no_ = CK_FALSE;
  CK_BYTE text_[64] = {'t', 'e', 'x', 't'};
  CK_ULONG wide_ = CK_ULONG{1} << (sizeof(CK_ULONG) * 8 - 1);  // above 0xFFFFFFFF on Linux
};

// The same bad attribute in every function that takes an input template.
TEST_F(TemplateSweep, InputTemplates) {
  const std::pair<const char*, CK_RV> kinds[] = {
      {"value NULL with length 4", CKR_ARGUMENTS_BAD},
      {"CK_UNAVAILABLE_INFORMATION length", CKR_ATTRIBUTE_VALUE_INVALID},
      {"type beyond 32 bits", CKR_ATTRIBUTE_TYPE_INVALID},
      {"CKA_CLASS beyond 32 bits", CKR_ATTRIBUTE_VALUE_INVALID},
  };
  CK_ATTRIBUTE bad[] = {{CKA_LABEL, nullptr, 4},
                        {CKA_LABEL, text_, CK_UNAVAILABLE_INFORMATION},
                        {Alias(CKA_LABEL), text_, 4},
                        {CKA_CLASS, &wide_, sizeof wide_}};
  auto& f = F();
  CK_MECHANISM keyPair{CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};
  std::vector<BadInput> rows;
  for (size_t i = 0; i < std::size(bad); ++i) {
    if (sizeof(CK_ULONG) == 4 && i >= 2) break;  // no values beyond 32 bits to pass
    CK_ATTRIBUTE* a = &bad[i];
    const std::string what = std::string(": ") + kinds[i].first;
    const CK_RV rv = kinds[i].second;
    rows.push_back({"C_CreateObject" + what, [=, this] { return Create(rw_, a, 1); }, rv});
    rows.push_back({"C_SetAttributeValue session object" + what,
                    [=, this, &f] { return f.C_SetAttributeValue(rw_, sessionData_, a, 1); }, rv});
    rows.push_back({"C_SetAttributeValue token object" + what,
                    [=, this, &f] { return f.C_SetAttributeValue(rw_, tokenData_, a, 1); }, rv});
    rows.push_back(
        {"C_FindObjectsInit" + what, [=, this, &f] { return f.C_FindObjectsInit(rw_, a, 1); }, rv});
    rows.push_back(
        {"C_GenerateKeyPair" + what, [=, this, &keyPair] { return KeyPair(&keyPair, a, 1); }, rv});
  }
  std::vector<uint8_t> big(70000, 0x42);
  CK_ATTRIBUTE tooBig[] = {{CKA_TOKEN, &yes_, 1},
                           {CKA_VALUE, big.data(), static_cast<CK_ULONG>(big.size())}};
  CK_ATTRIBUTE wideType[] = {{CKA_TOKEN, &yes_, 1}, {0x12345, text_, 4}};
  CK_ATTRIBUTE label{CKA_LABEL, text_, 4};
  CK_ATTRIBUTE keyValue{CKA_VALUE, text_, 4};
  CK_ATTRIBUTE notToken{CKA_TOKEN, &no_, 1};
  CK_ATTRIBUTE emptyToken{CKA_TOKEN, nullptr, 0};
  rows.insert(
      rows.end(),
      {
          {"C_CreateObject template NULL", [&] { return Create(rw_, nullptr, 3); },
           CKR_ARGUMENTS_BAD},
          {"C_CreateObject handle NULL", [&] { return f.C_CreateObject(rw_, &label, 1, nullptr); },
           CKR_ARGUMENTS_BAD},
          {"C_SetAttributeValue template NULL",
           [&] { return f.C_SetAttributeValue(rw_, tokenData_, nullptr, 1); }, CKR_ARGUMENTS_BAD},
          {"C_SetAttributeValue count 0",
           [&] { return f.C_SetAttributeValue(rw_, tokenData_, &label, 0); }, CKR_ARGUMENTS_BAD},
          {"C_FindObjectsInit template NULL, count 2",
           [&] { return f.C_FindObjectsInit(rw_, nullptr, 2); }, CKR_ARGUMENTS_BAD},
          // What the card's object format cannot hold is refused before the
          // card is touched.
          {"token object value of 70000 bytes", [&] { return Create(rw_, tooBig, 2); },
           CKR_ATTRIBUTE_VALUE_INVALID},
          // At creation a type that no class may carry is a value the
          // template cannot have.
          {"token object attribute type 0x12345", [&] { return Create(rw_, wideType, 2); },
           CKR_ATTRIBUTE_VALUE_INVALID},
          {"token object set: value of 70000 bytes",
           [&] { return f.C_SetAttributeValue(rw_, tokenData_, &tooBig[1], 1); },
           CKR_ATTRIBUTE_VALUE_INVALID},
          {"token object set: type 0x12345",
           [&] { return f.C_SetAttributeValue(rw_, tokenData_, &wideType[1], 1); },
           CKR_ATTRIBUTE_TYPE_INVALID},
          {"CKA_VALUE of a key",
           [&] { return f.C_SetAttributeValue(rw_, publicKey_, &keyValue, 1); },
           CKR_ATTRIBUTE_READ_ONLY},
          {"key pair CKA_TOKEN false", [&] { return KeyPair(&keyPair, &notToken, 1); },
           CKR_ATTRIBUTE_VALUE_INVALID},
          {"key pair CKA_TOKEN empty", [&] { return KeyPair(&keyPair, &emptyToken, 1); },
           CKR_ATTRIBUTE_VALUE_INVALID},
      });
  RunSweep("input templates", rows);
}

// Output templates: what cannot be served is marked in ulValueLen.
TEST_F(TemplateSweep, OutputTemplates) {
  auto& f = F();
  CK_BYTE small[2] = {};
  CK_ULONG narrow = 0;
  CK_ATTRIBUTE out[2] = {};
  // Reads `count` entries of {first, second} from the object.
  auto read = [&](CK_OBJECT_HANDLE object, CK_ULONG count, CK_ATTRIBUTE first = {},
                  CK_ATTRIBUTE second = {}) {
    return [&, object, count, first, second] {
      out[0] = first;
      out[1] = second;
      return f.C_GetAttributeValue(rw_, object, out, count);
    };
  };
  auto lengthIs = [&](CK_ULONG first, CK_ULONG second) {
    return [&, first, second] {
      EXPECT_EQ(first, out[0].ulValueLen);
      EXPECT_EQ(second, out[1].ulValueLen);
    };
  };
  const CK_ATTRIBUTE unknown{CKA_MODULUS, text_, sizeof text_};
  const CK_ATTRIBUTE tooSmall{CKA_LABEL, small, sizeof small};
  const CK_ATTRIBUTE lengthQuery{CKA_LABEL, nullptr, 5};
  const CK_ATTRIBUTE classIn4{CKA_CLASS, &narrow, 4};
  const CK_ULONG gone = CK_UNAVAILABLE_INFORMATION;
  std::vector<BadInput> rows = {
      {"template NULL", [&] { return f.C_GetAttributeValue(rw_, tokenData_, nullptr, 1); },
       CKR_ARGUMENTS_BAD},
      {"count 0", read(tokenData_, 0), CKR_ARGUMENTS_BAD},
      {"unknown type, token object", read(tokenData_, 1, unknown), CKR_ATTRIBUTE_TYPE_INVALID,
       lengthIs(gone, 0)},
      {"unknown type, session object", read(sessionData_, 1, unknown), CKR_ATTRIBUTE_TYPE_INVALID,
       lengthIs(gone, 0)},
      {"buffer too small", read(tokenData_, 1, tooSmall), CKR_BUFFER_TOO_SMALL, lengthIs(gone, 0)},
      {"value NULL with a length: the length is served", read(tokenData_, 1, lengthQuery), CKR_OK,
       lengthIs(16, 0)},
      {"unknown then too small: the later one counts", read(tokenData_, 2, unknown, tooSmall),
       CKR_BUFFER_TOO_SMALL, lengthIs(gone, gone)},
      {"too small then unknown", read(sessionData_, 2, tooSmall, unknown),
       CKR_ATTRIBUTE_TYPE_INVALID, lengthIs(gone, gone)},
  };
  // The session and the object are checked before a template entry is
  // touched, so a count far beyond the template is never followed.
  const CK_ULONG huge = ~CK_ULONG{0} - 1;
  rows.insert(
      rows.end(),
      {
          {"huge count, closed session",
           [&] { return f.C_GetAttributeValue(closed_, tokenData_, out, huge); },
           CKR_SESSION_HANDLE_INVALID},
          {"huge count, unknown object",
           [&] { return f.C_GetAttributeValue(rw_, 0xDEADBEEF, out, huge); },
           CKR_OBJECT_HANDLE_INVALID},
          {"C_FindObjectsInit huge count, closed session",
           [&] { return f.C_FindObjectsInit(closed_, out, huge); }, CKR_SESSION_HANDLE_INVALID},
      });
  if (sizeof(CK_ULONG) > 4) {
    rows.push_back({"CKA_CLASS into 4 bytes", read(tokenData_, 1, classIn4), CKR_BUFFER_TOO_SMALL,
                    lengthIs(gone, 0)});
  }
  RunSweep("output templates", rows);
}

}  // namespace
}  // namespace zorad::test
