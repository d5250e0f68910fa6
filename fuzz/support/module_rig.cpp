#include "support/module_rig.h"

#include "session/object_table.h"
#include "sim/card/simulated_card.h"
#include "sim/pcsc/pcsc_double.h"
#include "support/card_rig.h"
#include "support/fuzz_input.h"

namespace zorad::fuzz {
namespace {

constexpr const char* kReaderName = "Zorad Fuzz Reader";

void FinalizeCompletely() {
  for (int i = 0; i < 16 && C_Finalize(nullptr) == CKR_OK; ++i) {
  }
}

CK_ATTRIBUTE Attribute(CK_ATTRIBUTE_TYPE type, void* value, size_t length) {
  return CK_ATTRIBUTE{type, value, static_cast<CK_ULONG>(length)};
}

// The objects of PreparedCardState, made through the module.
void Prepare(CK_SESSION_HANDLE session) {
  CK_OBJECT_CLASS dataClass = CKO_DATA;
  CK_BBOOL yes = CK_TRUE;
  CK_BBOOL no = CK_FALSE;
  char dataLabel[] = "fuzz data";
  char keyLabel[] = "fuzz key";
  uint8_t keyId[] = {0x4B, 0x31};
  uint8_t value[] = {1, 2, 3, 4, 5, 6, 7, 8};
  uint8_t cryptoProA[] = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01};
  CK_ATTRIBUTE data[] = {Attribute(CKA_CLASS, &dataClass, sizeof dataClass),
                         Attribute(CKA_TOKEN, &yes, 1), Attribute(CKA_PRIVATE, &no, 1),
                         Attribute(CKA_LABEL, dataLabel, sizeof dataLabel - 1),
                         Attribute(CKA_VALUE, value, sizeof value)};
  CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
  Check(C_CreateObject(session, data, 5, &handle) == CKR_OK, "prepared data object");
  CK_ATTRIBUTE publicKey[] = {Attribute(CKA_TOKEN, &yes, 1), Attribute(CKA_VERIFY, &yes, 1),
                              Attribute(CKA_LABEL, keyLabel, sizeof keyLabel - 1),
                              Attribute(CKA_ID, keyId, sizeof keyId),
                              Attribute(CKA_GOSTR3410_PARAMS, cryptoProA, sizeof cryptoProA)};
  CK_ATTRIBUTE privateKey[] = {
      Attribute(CKA_TOKEN, &yes, 1), Attribute(CKA_PRIVATE, &yes, 1), Attribute(CKA_SIGN, &yes, 1),
      Attribute(CKA_LABEL, keyLabel, sizeof keyLabel - 1), Attribute(CKA_ID, keyId, sizeof keyId)};
  CK_MECHANISM mechanism{CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};
  CK_OBJECT_HANDLE pub = CK_INVALID_HANDLE;
  CK_OBJECT_HANDLE priv = CK_INVALID_HANDLE;
  Check(C_GenerateKeyPair(session, &mechanism, publicKey, 5, privateKey, 5, &pub, &priv) == CKR_OK,
        "prepared key pair");
}

}  // namespace

const sim::CardState& PreparedCardState() {
  static const sim::CardState state = [] {
    auto card = std::make_shared<sim::SimulatedCard>(DefaultCardState());
    {
      ModuleRig rig(card);
      const CK_SESSION_HANDLE session = rig.OpenUserSession();
      Check(session != CK_INVALID_HANDLE, "prepared session");
      Prepare(session);
    }
    return card->State();
  }();
  return state;
}

ModuleRig::ModuleRig(std::shared_ptr<sim::CardDevice> card, bool t0) {
  FinalizeCompletely();
  sim::pcsc::Reset();
  sim::pcsc::ReaderOptions options;
  options.protocol = t0 ? sim::pcsc::ReaderProtocol::kT0 : sim::pcsc::ReaderProtocol::kT1;
  Check(sim::pcsc::AddReader(kReaderName, options), "reader not added");
  Check(sim::pcsc::InsertCard(kReaderName, std::move(card)), "card not inserted");
}

ModuleRig::~ModuleRig() {
  FinalizeCompletely();
  Check(session::Objects().empty(), "object handles outlive C_Finalize");
  Check(sim::pcsc::LeakedTransactions() == 0 && sim::pcsc::OpenTransactions() == 0,
        "a reader transaction was never ended");
  // The card may refer to the input, which ends with this run.
  sim::pcsc::Reset();
}

CK_SESSION_HANDLE ModuleRig::OpenUserSession() {
  CK_C_INITIALIZE_ARGS args{};
  args.flags = CKF_OS_LOCKING_OK;
  if (C_Initialize(&args) != CKR_OK) return CK_INVALID_HANDLE;
  CK_SLOT_ID slot = 0;
  CK_ULONG count = 1;
  if (C_GetSlotList(CK_TRUE, &slot, &count) != CKR_OK || count != 1) return CK_INVALID_HANDLE;
  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  if (C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session) !=
      CKR_OK) {
    return CK_INVALID_HANDLE;
  }
  if (LoginAs(session, CKU_USER, kUserPin) != CKR_OK) return CK_INVALID_HANDLE;
  return session;
}

CK_RV LoginAs(CK_SESSION_HANDLE session, CK_USER_TYPE user, const std::string& pin) {
  std::vector<CK_UTF8CHAR> bytes(pin.begin(), pin.end());
  return C_Login(session, user, bytes.data(), static_cast<CK_ULONG>(bytes.size()));
}

std::vector<CK_OBJECT_HANDLE> FindObjects(CK_SESSION_HANDLE session, CK_ATTRIBUTE* search,
                                          CK_ULONG count, size_t limit) {
  std::vector<CK_OBJECT_HANDLE> found;
  if (C_FindObjectsInit(session, search, count) != CKR_OK) return found;
  CK_OBJECT_HANDLE page[8];
  CK_ULONG got = 0;
  while (found.size() < limit && C_FindObjects(session, page, 8, &got) == CKR_OK && got != 0) {
    Check(got <= 8, "C_FindObjects handed out more handles than asked");
    found.insert(found.end(), page, page + got);
  }
  C_FindObjectsFinal(session);
  return found;
}

}  // namespace zorad::fuzz
