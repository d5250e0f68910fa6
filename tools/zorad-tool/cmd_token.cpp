// slots, info, wait-event: what the module sees of readers and tokens.
#include <sstream>

#include "ckr_text.h"
#include "commands.h"
#include "cryptoki_session.h"

namespace zorad::tool {
namespace {

struct FlagName {
  CK_FLAGS flag;
  const char* name;
};

constexpr FlagName kTokenStates[] = {
    {CKF_TOKEN_INITIALIZED, "initialised"},
    {CKF_LOGIN_REQUIRED, "login required"},
    {CKF_RNG, "random number generator"},
    {CKF_WRITE_PROTECTED, "write protected"},
};

constexpr FlagName kUserPinStates[] = {
    {CKF_USER_PIN_LOCKED, "locked"},
    {CKF_USER_PIN_FINAL_TRY, "final try"},
    {CKF_USER_PIN_COUNT_LOW, "few tries left"},
    {CKF_USER_PIN_TO_BE_CHANGED, "must be changed"},
};

constexpr FlagName kSoPinStates[] = {
    {CKF_SO_PIN_LOCKED, "locked"},
    {CKF_SO_PIN_FINAL_TRY, "final try"},
    {CKF_SO_PIN_COUNT_LOW, "few tries left"},
    {CKF_SO_PIN_TO_BE_CHANGED, "must be changed"},
};

struct MechanismName {
  CK_MECHANISM_TYPE type;
  const char* name;
};

constexpr MechanismName kMechanisms[] = {
    {CKM_GOSTR3410_KEY_PAIR_GEN, "CKM_GOSTR3410_KEY_PAIR_GEN"},
    {CKM_GOSTR3410, "CKM_GOSTR3410"},
    {CKM_GOSTR3410_WITH_GOSTR3411, "CKM_GOSTR3410_WITH_GOSTR3411"},
    {CKM_GOSTR3411, "CKM_GOSTR3411"},
};

template <size_t N>
std::string Flags(CK_FLAGS flags, const FlagName (&names)[N], const char* none) {
  std::string text;
  for (const FlagName& entry : names) {
    if ((flags & entry.flag) == 0) continue;
    if (!text.empty()) text += ", ";
    text += entry.name;
  }
  return text.empty() ? none : text;
}

std::string MechanismText(CK_MECHANISM_TYPE type) {
  for (const MechanismName& entry : kMechanisms) {
    if (entry.type == type) return entry.name;
  }
  std::ostringstream text;
  text << "0x" << std::hex << type;
  return text.str();
}

std::string Memory(CK_ULONG total, CK_ULONG free) {
  if (total == CK_UNAVAILABLE_INFORMATION) return "not reported";
  std::string text = std::to_string(total) + " bytes";
  if (free != CK_UNAVAILABLE_INFORMATION) text += ", " + std::to_string(free) + " free";
  return text;
}

std::string Version(const CK_VERSION& version) {
  return std::to_string(version.major) + "." + std::to_string(version.minor);
}

void PrintTokenSummary(std::ostream& out, const CK_TOKEN_INFO& token) {
  out << "  token: \"" << FieldText(token.label, sizeof token.label) << "\", serial "
      << FieldText(token.serialNumber, sizeof token.serialNumber) << ", model "
      << FieldText(token.model, sizeof token.model) << "\n";
}

void PrintMechanisms(std::ostream& out, const Cryptoki& cryptoki, CK_SLOT_ID slot) {
  CK_ULONG count = 0;
  if (cryptoki->C_GetMechanismList(slot, nullptr, &count) != CKR_OK) return;
  std::vector<CK_MECHANISM_TYPE> types(count);
  if (count != 0 && cryptoki->C_GetMechanismList(slot, types.data(), &count) != CKR_OK) return;
  std::string text;
  for (CK_ULONG i = 0; i < count && i < types.size(); ++i) {
    text += (i == 0 ? "" : ", ") + MechanismText(types[i]);
  }
  out << "  mechanisms:     " << (text.empty() ? "none listed" : text) << "\n";
}

void PrintToken(std::ostream& out, const CK_TOKEN_INFO& token) {
  out << "Token:\n"
      << "  label:          " << FieldText(token.label, sizeof token.label) << "\n"
      << "  manufacturer:   " << FieldText(token.manufacturerID, sizeof token.manufacturerID)
      << "\n  model:          " << FieldText(token.model, sizeof token.model) << "\n"
      << "  serial number:  " << FieldText(token.serialNumber, sizeof token.serialNumber) << "\n"
      << "  format version: " << Version(token.firmwareVersion) << "\n"
      << "  state:          " << Flags(token.flags, kTokenStates, "not initialised") << "\n"
      << "  user PIN:       " << Flags(token.flags, kUserPinStates, "ok") << "\n"
      << "  SO PIN:         " << Flags(token.flags, kSoPinStates, "ok") << "\n"
      << "  PIN length:     " << token.ulMinPinLen << " to " << token.ulMaxPinLen << " bytes\n"
      << "  public memory:  " << Memory(token.ulTotalPublicMemory, token.ulFreePublicMemory) << "\n"
      << "  private memory: " << Memory(token.ulTotalPrivateMemory, token.ulFreePrivateMemory)
      << "\n";
}

// Describes the slot an event was reported for.
void PrintEvent(std::ostream& out, const Cryptoki& cryptoki, CK_SLOT_ID slot) {
  CK_SLOT_INFO info{};
  if (cryptoki->C_GetSlotInfo(slot, &info) != CKR_OK) {
    out << "Slot " << slot << ": reader removed\n";
    return;
  }
  out << "Slot " << slot << " (" << FieldText(info.slotDescription, sizeof info.slotDescription)
      << "): " << ((info.flags & CKF_TOKEN_PRESENT) ? "card present" : "no card") << "\n";
}

}  // namespace

ExitCode RunSlots(ToolContext& context) {
  Cryptoki cryptoki(context.functions);
  const std::vector<CK_SLOT_ID> slots = cryptoki.Slots(false);
  if (slots.empty()) {
    throw ToolError(ExitCode::kNoToken,
                    "No smart-card reader found: start the virtual reader "
                    "with scripts/virtual-reader start.");
  }
  for (CK_SLOT_ID slot : slots) {
    const CK_SLOT_INFO info = cryptoki.SlotInfo(slot);
    context.out << "Slot " << slot << ": "
                << FieldText(info.slotDescription, sizeof info.slotDescription) << "\n";
    if ((info.flags & CKF_TOKEN_PRESENT) == 0) {
      context.out << "  no card\n";
      continue;
    }
    CK_TOKEN_INFO token{};
    const CK_RV rv = cryptoki->C_GetTokenInfo(slot, &token);
    if (rv == CKR_OK) {
      PrintTokenSummary(context.out, token);
    } else {
      context.out << "  card not usable: " << CkrName(rv) << ". " << CkrAdvice(rv) << "\n";
    }
  }
  return ExitCode::kOk;
}

ExitCode RunInfo(ToolContext& context) {
  Cryptoki cryptoki(context.functions);
  CK_INFO library{};
  CheckRv("C_GetInfo", cryptoki->C_GetInfo(&library));
  context.out << "Module: "
              << FieldText(library.libraryDescription, sizeof library.libraryDescription) << " "
              << Version(library.libraryVersion) << " by "
              << FieldText(library.manufacturerID, sizeof library.manufacturerID) << ", Cryptoki "
              << Version(library.cryptokiVersion) << "\n";
  const CK_SLOT_ID slot = cryptoki.ChooseSlot(context.args.Find("slot"));
  const CK_SLOT_INFO slotInfo = cryptoki.SlotInfo(slot);
  context.out << "Slot " << slot << ": "
              << FieldText(slotInfo.slotDescription, sizeof slotInfo.slotDescription) << "\n";
  PrintToken(context.out, cryptoki.TokenInfo(slot));
  PrintMechanisms(context.out, cryptoki, slot);
  return ExitCode::kOk;
}

ExitCode RunWaitEvent(ToolContext& context) {
  Cryptoki cryptoki(context.functions);
  CK_SLOT_ID slot = 0;
  if (context.args.Has("no-block")) {
    // In a new process every reader counts as newly seen: the pending
    // events describe the present state.
    size_t events = 0;
    CK_RV rv = CKR_OK;
    while ((rv = cryptoki->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr)) == CKR_OK) {
      PrintEvent(context.out, cryptoki, slot);
      ++events;
    }
    if (rv != CKR_NO_EVENT) ThrowRv("C_WaitForSlotEvent", rv);
    if (events == 0) context.out << "No slot event.\n";
    return events == 0 ? ExitCode::kNoEvent : ExitCode::kOk;
  }
  cryptoki.Slots(false);  // what is there now is not an event
  context.out << "Waiting for a card to be inserted or removed (Ctrl-C to stop)...\n";
  context.out.flush();
  CheckRv("C_WaitForSlotEvent", cryptoki->C_WaitForSlotEvent(0, &slot, nullptr));
  PrintEvent(context.out, cryptoki, slot);
  return ExitCode::kOk;
}

}  // namespace zorad::tool
