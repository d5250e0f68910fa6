// Fuzz target: PKCS#11 templates from the input given to C_CreateObject,
// C_SetAttributeValue, C_FindObjectsInit and C_GenerateKeyPair on a
// simulated card, in a session with the user logged in.
//
// Input:
//   byte   trace mask (low 6 bits: categories and APDU level; 0 off)
//   byte   calls: 0x01 create, 0x02 change an object, 0x04 search, 0x08
//          generate a key pair, 0x10 destroy the created object at the end,
//          0x20 destroy the prepared private key first; 0xC0 the object
//          changed: 0 the created one (else the prepared data object), 1 the
//          prepared public key, 2 the prepared private key, 3 the prepared
//          data object
//   then the templates of the calls chosen, in that order (two for the
//   key pair): a count byte (mod 13) and per attribute
//     byte   type: below 0xF0 an entry of kTypes, else a u32 type follows
//     byte   value kind (mod 8):
//              0 null pointer, length 0
//              1 null pointer, length u32 (0xFFFFFFFF: CK_UNAVAILABLE_INFORMATION)
//              2 bytes (chunk)
//              3 CK_UNAVAILABLE_INFORMATION as the length of a real buffer
//              4 a CK_ULONG (u32, and a byte shifted into the high half)
//              5 a CK_BBOOL (byte)
//              6 65,536 + byte bytes
//              7 u16 bytes of a pattern
#include <array>
#include <cstring>
#include <deque>

#include "sim/card/simulated_card.h"
#include "support/fuzz_input.h"
#include "support/module_rig.h"
#include "support/trace_capture.h"

namespace zorad::fuzz {
namespace {

constexpr size_t kMaxAttributes = 12;

// clang-format off
constexpr std::array<CK_ATTRIBUTE_TYPE, 40> kTypes = {
    CKA_CLASS, CKA_TOKEN, CKA_PRIVATE, CKA_LABEL, CKA_APPLICATION, CKA_VALUE, CKA_OBJECT_ID,
    CKA_CERTIFICATE_TYPE, CKA_KEY_TYPE, CKA_ID, CKA_SENSITIVE, CKA_SIGN, CKA_VERIFY,
    CKA_MODIFIABLE, CKA_GOSTR3410_PARAMS, CKA_GOSTR3411_PARAMS, CKA_VALUE_LEN, CKA_EXTRACTABLE,
    CKA_LOCAL, CKA_NEVER_EXTRACTABLE, CKA_ALWAYS_SENSITIVE, CKA_KEY_GEN_MECHANISM,
    CKA_VENDOR_DEFINED, CKA_SUBJECT, CKA_ISSUER, CKA_SERIAL_NUMBER, CKA_START_DATE, CKA_END_DATE,
    CKA_DERIVE, CKA_DECRYPT, CKA_ENCRYPT, CKA_WRAP, CKA_UNWRAP, CKA_TRUSTED,
    CKA_CERTIFICATE_CATEGORY, CKA_HW_FEATURE_TYPE,
    0x8000, 0xFFFF, 0x10000, CKA_VENDOR_DEFINED + 1,  // types the card cannot store
};
// clang-format on

// A template whose values live as long as it does.
class FuzzTemplate {
 public:
  explicit FuzzTemplate(FuzzInput& in) {
    const size_t count = in.Byte() % (kMaxAttributes + 1);
    for (size_t i = 0; i < count; ++i) Add(in);
  }

  CK_ATTRIBUTE* data() { return attributes_.data(); }
  CK_ULONG size() const { return static_cast<CK_ULONG>(attributes_.size()); }
  const std::vector<CK_ATTRIBUTE>& attributes() const { return attributes_; }

 private:
  void Add(FuzzInput& in) {
    const uint8_t typeByte = in.Byte();
    const CK_ATTRIBUTE_TYPE type = typeByte < 0xF0 ? kTypes[typeByte % kTypes.size()] : in.U32();
    const uint8_t kind = in.Byte() % 8;
    if (kind == 0) return Push(type, nullptr, 0);
    if (kind == 1) {
      const uint32_t length = in.U32();
      return Push(type, nullptr, length == 0xFFFFFFFF ? CK_UNAVAILABLE_INFORMATION : length);
    }
    std::vector<uint8_t>& value = values_.emplace_back();
    CK_ULONG length = 0;
    if (kind == 2) {
      const auto bytes = in.Chunk();
      value.assign(bytes.begin(), bytes.end());
    } else if (kind == 3) {
      value.assign(8, 0);
      length = CK_UNAVAILABLE_INFORMATION;
    } else if (kind == 4) {
      CK_ULONG number = in.U32();
      number |= static_cast<CK_ULONG>(in.Byte()) << (8 * sizeof(CK_ULONG) - 8);
      value.resize(sizeof number);
      std::memcpy(value.data(), &number, sizeof number);
    } else if (kind == 5) {
      value.assign(1, in.Byte());
    } else if (kind == 6) {
      value.assign(0x10000 + in.Byte(), 0x42);
    } else {
      value.resize(in.U16());
      for (size_t i = 0; i < value.size(); ++i) value[i] = static_cast<uint8_t>(i);
    }
    if (kind != 3) length = value.size();
    Push(type, value.empty() ? nullptr : value.data(), length);
  }

  void Push(CK_ATTRIBUTE_TYPE type, void* value, CK_ULONG length) {
    attributes_.push_back({type, value, length});
  }

  std::deque<std::vector<uint8_t>> values_;
  std::vector<CK_ATTRIBUTE> attributes_;
};

// Reads back every attribute the template names, lengths first, into
// buffers of exactly the reported size.
void ReadBack(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, const FuzzTemplate& named) {
  for (const CK_ATTRIBUTE& attribute : named.attributes()) {
    CK_ATTRIBUTE query{attribute.type, nullptr, 0};
    if (C_GetAttributeValue(session, object, &query, 1) != CKR_OK) continue;
    Check(query.ulValueLen != CK_UNAVAILABLE_INFORMATION,
          "a length query succeeded without length");
    if (query.ulValueLen > 0x20000) Fail("an attribute longer than the card can hold");
    std::vector<uint8_t> value(query.ulValueLen);
    query.pValue = value.empty() ? nullptr : value.data();
    const CK_RV rv = C_GetAttributeValue(session, object, &query, 1);
    Check(rv != CKR_OK || query.ulValueLen == value.size(),
          "an attribute changed length between two reads");
  }
}

// The first prepared object of the class (see PreparedCardState).
CK_OBJECT_HANDLE Prepared(CK_SESSION_HANDLE session, CK_OBJECT_CLASS objectClass) {
  CK_ATTRIBUTE search{CKA_CLASS, &objectClass, sizeof objectClass};
  const auto found = FindObjects(session, &search, 1, 1);
  return found.empty() ? CK_INVALID_HANDLE : found.front();
}

// The object whose attributes change: bits 0xC0 of `calls`.
CK_OBJECT_HANDLE ChangeTarget(CK_SESSION_HANDLE session, uint8_t calls, CK_OBJECT_HANDLE created) {
  switch (calls >> 6) {
    case 1:
      return Prepared(session, CKO_PUBLIC_KEY);
    case 2:
      return Prepared(session, CKO_PRIVATE_KEY);
    case 3:
      return Prepared(session, CKO_DATA);
    default:
      return created != CK_INVALID_HANDLE ? created : Prepared(session, CKO_DATA);
  }
}

void Run(FuzzInput& in, CK_SESSION_HANDLE session) {
  const uint8_t calls = in.Byte();
  // A hole at the start of the private area, before the prepared public
  // key, so that a grown record may have to move.
  if (calls & 0x20) C_DestroyObject(session, Prepared(session, CKO_PRIVATE_KEY));
  CK_OBJECT_HANDLE created = CK_INVALID_HANDLE;
  if (calls & 0x01) {
    FuzzTemplate object(in);
    if (C_CreateObject(session, object.data(), object.size(), &created) == CKR_OK) {
      ReadBack(session, created, object);
    } else {
      created = CK_INVALID_HANDLE;
    }
  }
  if (calls & 0x02) {
    FuzzTemplate change(in);
    const CK_OBJECT_HANDLE target = ChangeTarget(session, calls, created);
    if (C_SetAttributeValue(session, target, change.data(), change.size()) == CKR_OK) {
      ReadBack(session, target, change);
    }
  }
  if (calls & 0x04) {
    FuzzTemplate search(in);
    FindObjects(session, search.data(), search.size());
  }
  if (calls & 0x08) {
    FuzzTemplate publicKey(in);
    FuzzTemplate privateKey(in);
    CK_MECHANISM mechanism{CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};
    CK_OBJECT_HANDLE pub = CK_INVALID_HANDLE;
    CK_OBJECT_HANDLE priv = CK_INVALID_HANDLE;
    if (C_GenerateKeyPair(session, &mechanism, publicKey.data(), publicKey.size(),
                          privateKey.data(), privateKey.size(), &pub, &priv) == CKR_OK) {
      ReadBack(session, pub, publicKey);
      ReadBack(session, priv, privateKey);
    }
  }
  if ((calls & 0x10) && created != CK_INVALID_HANDLE) C_DestroyObject(session, created);
}

}  // namespace
}  // namespace zorad::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zorad::fuzz::PreparedCardState();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zorad;
  using namespace zorad::fuzz;
  FuzzInput in(data, size);
  const TraceCapture trace(in.Byte() & kTraceMaskBits);
  ModuleRig rig(std::make_shared<sim::SimulatedCard>(PreparedCardState()));
  const CK_SESSION_HANDLE session = rig.OpenUserSession();
  Check(session != CK_INVALID_HANDLE, "no user session on the simulated card");
  Run(in, session);
  return 0;
}
