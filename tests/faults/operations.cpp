#include "faults/operations.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "sim/card/gost_crypto.h"
#include "sim/card/personalisation.h"
#include "support/ckr_names.h"
#include "support/token_fixture.h"

namespace zorad::test::faults {
namespace {

const Bytes kCryptoProA = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01};

Bytes Filled(size_t n, uint8_t first) {
  Bytes bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}
Bytes TextBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

CK_RV Create(CK_SESSION_HANDLE session, Template& object) {
  CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
  return C_CreateObject(session, object.data(), object.size(), &handle);
}

CK_RV CreateData(CK_SESSION_HANDLE session, const std::string& label, bool isPrivate,
                 const Bytes& value) {
  Template object;
  object.Ulong(CKA_CLASS, CKO_DATA).Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, isPrivate);
  object.Text(CKA_LABEL, label).Bytes(CKA_VALUE, value);
  return Create(session, object);
}

CK_RV CreateCertificate(CK_SESSION_HANDLE session, const std::string& label) {
  Template object;
  object.Ulong(CKA_CLASS, CKO_CERTIFICATE).Ulong(CKA_CERTIFICATE_TYPE, CKC_X_509);
  object.Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, true).Text(CKA_LABEL, label);
  object.Text(CKA_SUBJECT, "CN=" + label).Bytes(CKA_VALUE, Filled(200, 0x30));
  return Create(session, object);
}

CK_RV GenerateKeyPair(CK_SESSION_HANDLE session, const std::string& label) {
  Template publicKey;
  publicKey.Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, true).Bool(CKA_VERIFY, true);
  publicKey.Text(CKA_LABEL, label + "-pub").Bytes(CKA_GOSTR3410_PARAMS, kCryptoProA);
  Template privateKey;
  privateKey.Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, true).Bool(CKA_SIGN, true);
  privateKey.Text(CKA_LABEL, label);
  CK_MECHANISM mechanism{CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};
  CK_OBJECT_HANDLE pub = CK_INVALID_HANDLE;
  CK_OBJECT_HANDLE priv = CK_INVALID_HANDLE;
  return C_GenerateKeyPair(session, &mechanism, publicKey.data(), publicKey.size(),
                           privateKey.data(), privateKey.size(), &pub, &priv);
}

CK_RV SetValue(OperationRun& r, const std::string& label, const Bytes& value) {
  Template change;
  change.Bytes(CKA_VALUE, value);
  return C_SetAttributeValue(r.session, r.handles.at(label), change.data(), change.size());
}

// A private scalar d (big-endian 1..32) as the PKCS#11 value: least
// significant byte first.
Bytes ImportedPrivateKey() {
  Bytes value = Filled(32, 0x01);
  std::reverse(value.begin(), value.end());
  return value;
}

// The public key of another scalar, as a PKCS#11 CKA_VALUE.
Bytes ImportedPublicKey() {
  const auto card = sim::DeriveGostPublicKey(sim::GostCurveForParamSet(2), Filled(32, 0x41));
  if (!card) return {};
  const auto value = sim::SwapPublicKeyHalves(*card);
  return Bytes(value.begin(), value.end());
}

CK_RV ImportKey(OperationRun& r, CK_OBJECT_CLASS keyClass) {
  const bool isPrivate = keyClass == CKO_PRIVATE_KEY;
  Template key;
  key.Ulong(CKA_CLASS, keyClass).Ulong(CKA_KEY_TYPE, CKK_GOSTR3410).Bool(CKA_TOKEN, true);
  key.Bool(CKA_PRIVATE, isPrivate).Bool(isPrivate ? CKA_SIGN : CKA_VERIFY, true);
  key.Text(CKA_LABEL, isPrivate ? "new-priv" : "new-pub");
  key.Bytes(CKA_VALUE, isPrivate ? ImportedPrivateKey() : ImportedPublicKey());
  return Create(r.session, key);
}

CK_RV Sign(OperationRun& r) {
  CK_MECHANISM mechanism{CKM_GOSTR3410_WITH_GOSTR3411, nullptr, 0};
  CK_RV rv = C_SignInit(r.session, &mechanism, r.handles.at("key"));
  if (rv != CKR_OK) return rv;
  Bytes message = SignedMessage();
  r.signature.assign(64, 0);
  CK_ULONG length = r.signature.size();
  rv = C_Sign(r.session, message.data(), message.size(), r.signature.data(), &length);
  r.signature.resize(rv == CKR_OK ? length : 0);
  return rv;
}

CK_RV InitToken(OperationRun& r) {
  std::string label = "Reinitialised";
  label.resize(32, ' ');
  Bytes pin = TextBytes(kSoPin);
  return C_InitToken(r.world.slot(), pin.data(), pin.size(),
                     reinterpret_cast<CK_UTF8CHAR*>(label.data()));
}

// Nothing private is visible in the session: neither its state nor a
// search shows the user's objects. A card pulled during the call ended the
// session.
void ExpectLoggedOut(OperationRun& r) {
  CK_SESSION_INFO info{};
  if (!r.world.card().IsPresent() &&
      C_GetSessionInfo(r.session, &info) == CKR_SESSION_HANDLE_INVALID) {
    return;
  }
  EXPECT_EQ(CKS_RW_PUBLIC_SESSION, SessionState(r.session));
  std::map<std::string, ObjectView> objects;
  if (ReadObjects(r.session, objects) != CKR_OK) return;  // the card may be gone
  for (const auto& [label, view] : objects) {
    const auto it = view.find(CKA_PRIVATE);
    EXPECT_TRUE(it == view.end() || it->second.empty() || it->second[0] == 0) << label;
  }
}

void AfterLogin(OperationRun& r, CK_RV rv) {
  if (rv == CKR_OK) {
    EXPECT_EQ(CKS_RW_USER_FUNCTIONS, SessionState(r.session));
  } else {
    ExpectLoggedOut(r);
  }
}

void AfterLogout(OperationRun& r, CK_RV) { ExpectLoggedOut(r); }

void AfterSign(OperationRun& r, CK_RV rv) {
  if (rv != CKR_OK) return;
  Bytes value(64);
  CK_ATTRIBUTE query{CKA_VALUE, value.data(), static_cast<CK_ULONG>(value.size())};
  ASSERT_CKR(CKR_OK, C_GetAttributeValue(r.session, r.handles.at("key-pub"), &query, 1));
  const auto hash = sim::GostR341194Hash(SignedMessage());
  EXPECT_TRUE(sim::VerifyPkcs11GostSignature(2, value, hash, r.signature));
}

// Token initialisation first asks the card for its serial number and,
// failing that, takes any card with the application for a token; after the
// label is written the slot reads the token afresh, and a failure there no
// longer undoes the initialisation.
bool InitTokenTolerates(const CommandPlan& plan, size_t command) {
  return command == 1 || command > plan.lastChange;
}

sim::CardState BuildStartingCard() {
  CardWorld world;
  world.Start(sim::Personalise(StartingPersonalisation()));
  const CK_SESSION_HANDLE s = world.OpenSession();
  EXPECT_CKR(CKR_OK, LoginUser(s));
  EXPECT_CKR(CKR_OK, CreateData(s, "pub-data", false, TextBytes("public value")));
  EXPECT_CKR(CKR_OK, CreateData(s, "probe", false, TextBytes("probe-0")));
  EXPECT_CKR(CKR_OK, CreateData(s, "priv-data", true, Filled(40, 0x50)));
  EXPECT_CKR(CKR_OK, CreateCertificate(s, "cert"));
  EXPECT_CKR(CKR_OK, GenerateKeyPair(s, "key"));
  EXPECT_CKR(CKR_OK, CreateData(s, "t-same", true, TextBytes("same-value-0000")));
  EXPECT_CKR(CKR_OK, CreateData(s, "t-shrink", true, Filled(300, 0x60)));
  EXPECT_CKR(CKR_OK, CreateData(s, "del-data", true, Filled(100, 0x90)));
  EXPECT_CKR(CKR_OK, CreateData(s, "t-grow", true, Filled(16, 0xA0)));
  EXPECT_CKR(CKR_OK, CreateData(s, "gap", true, Filled(300, 0x10)));
  EXPECT_CKR(CKR_OK, CreateData(s, "t-move", true, Filled(16, 0x70)));
  EXPECT_CKR(CKR_OK, CreateData(s, "blocker", true, Filled(300, 0x80)));
  std::map<std::string, ObjectView> objects;
  Handles handles;
  EXPECT_CKR(CKR_OK, ReadObjects(s, objects, &handles));
  EXPECT_CKR(CKR_OK, C_DestroyObject(s, handles["gap"]));
  sim::CardState state = world.card().State();
  world.Stop();
  return state;
}

std::vector<Operation> BuildOperations() {
  const std::set<std::string> none;
  return {
      {"CreateData",
       Start::kUser,
       [](OperationRun& r) { return CreateData(r.session, "new-data", true, Filled(150, 0x20)); },
       {"new-data"}},
      {"CreateCertificate",
       Start::kUser,
       [](OperationRun& r) { return CreateCertificate(r.session, "new-cert"); },
       {"new-cert"}},
      {"ImportPrivateKey",
       Start::kUser,
       [](OperationRun& r) { return ImportKey(r, CKO_PRIVATE_KEY); },
       {"new-priv"}},
      {"ImportPublicKey",
       Start::kUser,
       [](OperationRun& r) { return ImportKey(r, CKO_PUBLIC_KEY); },
       {"new-pub"}},
      {"GenerateKeyPair",
       Start::kUser,
       [](OperationRun& r) { return GenerateKeyPair(r.session, "gen"); },
       {"gen", "gen-pub"},
       false,
       {"gen-pub"}},
      {"SetSameSize",
       Start::kUser,
       [](OperationRun& r) { return SetValue(r, "t-same", TextBytes("same-value-1111")); },
       {"t-same"},
       true},
      {"SetGrow",
       Start::kUser,
       [](OperationRun& r) { return SetValue(r, "t-grow", Filled(300, 0xB0)); },
       {"t-grow"},
       true},
      {"SetShrink",
       Start::kUser,
       [](OperationRun& r) { return SetValue(r, "t-shrink", Filled(4, 0xC0)); },
       {"t-shrink"},
       true},
      {"SetMove",
       Start::kUser,
       [](OperationRun& r) { return SetValue(r, "t-move", Filled(300, 0xD0)); },
       {"t-move"}},
      {"DestroyData",
       Start::kUser,
       [](OperationRun& r) { return C_DestroyObject(r.session, r.handles.at("del-data")); },
       {"del-data"}},
      {"DestroyPrivateKey",
       Start::kUser,
       [](OperationRun& r) { return C_DestroyObject(r.session, r.handles.at("key")); },
       {"key", "key-pub"}},
      {"InitToken",
       Start::kNoSession,
       InitToken,
       {"pub-data", "probe", "priv-data", "cert", "key", "key-pub", "t-same", "t-shrink", "t-move",
        "blocker", "del-data", "t-grow"},
       false,
       {},
       nullptr,
       InitTokenTolerates},
      {"Login",
       Start::kSession,
       [](OperationRun& r) { return LoginUser(r.session); },
       none,
       false,
       {},
       AfterLogin},
      {"Logout",
       Start::kUser,
       [](OperationRun& r) { return C_Logout(r.session); },
       none,
       false,
       {},
       AfterLogout},
      {"Sign", Start::kUser, Sign, none, false, {}, AfterSign},
  };
}

}  // namespace

CK_RV Probe(OperationRun& r) {
  CK_SESSION_HANDLE session = r.session;
  if (session == CK_INVALID_HANDLE) {
    const CK_RV rv = C_OpenSession(r.world.slot(), CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr,
                                   nullptr, &session);
    if (rv != CKR_OK) return rv;
  }
  CK_RV rv = CKR_OK;
  if (const auto it = r.handles.find("probe"); it != r.handles.end()) {
    Template change;
    change.Text(CKA_VALUE, "probe-1");
    rv = C_SetAttributeValue(session, it->second, change.data(), change.size());
  }
  const CK_RV created = CreateData(session, "probe-new", false, TextBytes("fresh"));
  return rv == CKR_OK ? created : rv;
}

sim::CardPersonalisation StartingPersonalisation() {
  sim::CardPersonalisation p;
  p.publicArea = {20 * 128, 0, 20, 128};
  p.privateArea = {20 * 128, 0, 20, 128};
  return p;
}

const std::vector<Operation>& Operations() {
  static const std::vector<Operation> operations = BuildOperations();
  return operations;
}

const sim::CardState& StartingCard() {
  static const sim::CardState state = BuildStartingCard();
  return state;
}

Bytes SignedMessage() { return Filled(300, 0x00); }

}  // namespace zorad::test::faults
