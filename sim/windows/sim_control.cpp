// The control table of the simulated winscard.dll (sim_control.h): the PC/SC
// double's test interface and the simulated cards, behind plain C functions.
// Each card is kept by the name of the reader it was last inserted into, so
// that tests can inject faults into it, read its log, and put it back after
// a removal. No exception leaves this file.
#include "sim/windows/sim_control.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "sim/card/gost_crypto.h"
#include "sim/card/personalisation.h"
#include "sim/card/simulated_card.h"
#include "sim/pcsc/pcsc_double.h"
#include "sim/windows/winscard_codes.h"

namespace zorad::sim::windows {
namespace {

using CardPtr = std::shared_ptr<SimulatedCard>;

struct CardShelf {
  std::mutex mutex;
  std::map<std::string, CardPtr> cards;
};

CardShelf& Shelf() {
  static CardShelf shelf;
  return shelf;
}

CardPtr CardIn(const char* reader) {
  if (reader == nullptr) return nullptr;
  CardShelf& shelf = Shelf();
  std::lock_guard lock(shelf.mutex);
  auto it = shelf.cards.find(reader);
  return it == shelf.cards.end() ? nullptr : it->second;
}

// Runs `body` with the card of `reader`; 0 when there is none or it throws.
template <typename Body>
int WithCard(const char* reader, Body body) {
  try {
    CardPtr card = CardIn(reader);
    if (!card) return 0;
    body(*card);
    return 1;
  } catch (...) {
    return 0;
  }
}

std::optional<uint8_t> Byte(int32_t value) {
  if (value < 0 || value > 0xFF) return std::nullopt;
  return static_cast<uint8_t>(value);
}

pcsc::AttributeAnswer Answer(uint32_t answer) {
  switch (answer) {
    case ZORAD_SIM_ATTR_UNSUPPORTED_FEATURE:
      return pcsc::AttributeAnswer::kUnsupportedFeature;
    case ZORAD_SIM_ATTR_NOT_SUPPORTED:
      return pcsc::AttributeAnswer::kNotSupported;
    default:
      return pcsc::AttributeAnswer::kServed;
  }
}

uint32_t AnswerCode(pcsc::AttributeAnswer answer) {
  switch (answer) {
    case pcsc::AttributeAnswer::kUnsupportedFeature:
      return ZORAD_SIM_ATTR_UNSUPPORTED_FEATURE;
    case pcsc::AttributeAnswer::kNotSupported:
      return ZORAD_SIM_ATTR_NOT_SUPPORTED;
    default:
      return ZORAD_SIM_ATTR_SERVED;
  }
}

template <size_t N>
void CopyText(char (&field)[N], const std::string& text) {
  std::memset(field, 0, N);
  std::memcpy(field, text.data(), std::min(text.size(), N - 1));
}

template <size_t N>
std::string TextOf(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

pcsc::ReaderOptions ToOptions(const ZoradSimReaderOptions& o) {
  pcsc::ReaderOptions options;
  options.protocol =
      o.protocol == ZORAD_SIM_T0 ? pcsc::ReaderProtocol::kT0 : pcsc::ReaderProtocol::kT1;
  options.vendorName = TextOf(o.vendorName);
  options.vendorNameWithNul = o.vendorNameWithNul != 0;
  options.vendorNameAnswer = Answer(o.vendorNameAnswer);
  options.vendorSizeQueryResult = FromWinScard(o.vendorSizeQueryResult);
  options.ifdVersion = o.ifdVersion;
  options.ifdVersionAnswer = Answer(o.ifdVersionAnswer);
  options.atrAnswer = Answer(o.atrAnswer);
  return options;
}

CardPersonalisation ToPersonalisation(const ZoradSimCardSetup& setup) {
  CardPersonalisation p;
  if (setup.variant == ZORAD_SIM_CARD_BLANK) p = BlankCardPersonalisation();
  if (setup.variant == ZORAD_SIM_CARD_CORRUPT) p = CorruptCardPersonalisation();
  p.protocol = setup.protocol == ZORAD_SIM_T0 ? Protocol::kT0 : Protocol::kT1;
  std::copy(std::begin(setup.serialNumber), std::end(setup.serialNumber), p.serialNumber.begin());
  p.minPinLen = setup.minPinLen;
  p.maxPinLen = setup.maxPinLen;
  p.pinTryThreshold = setup.pinTryThreshold;
  p.userPinSet = p.userPinSet && setup.userPinSet != 0;
  p.gostParamSet = setup.gostParamSet;
  p.activationAnswer = setup.activationAnswer;
  p.writeChunk = setup.writeChunk;
  p.soPin = TextOf(setup.soPin);
  p.userPin = TextOf(setup.userPin);
  p.label = TextOf(setup.label);
  return p;
}

// --- the world ---------------------------------------------------------

void Reset() {
  pcsc::Reset();
  CardShelf& shelf = Shelf();
  std::lock_guard lock(shelf.mutex);
  shelf.cards.clear();
}

void DefaultReaderOptions(ZoradSimReaderOptions* out) {
  if (out == nullptr) return;
  const pcsc::ReaderOptions d;
  *out = ZoradSimReaderOptions{};
  out->protocol = d.protocol == pcsc::ReaderProtocol::kT0 ? ZORAD_SIM_T0 : ZORAD_SIM_T1;
  CopyText(out->vendorName, d.vendorName);
  out->vendorNameWithNul = d.vendorNameWithNul ? 1 : 0;
  out->vendorNameAnswer = AnswerCode(d.vendorNameAnswer);
  out->vendorSizeQueryResult = ToWinScard(d.vendorSizeQueryResult);
  out->ifdVersion = d.ifdVersion;
  out->ifdVersionAnswer = AnswerCode(d.ifdVersionAnswer);
  out->atrAnswer = AnswerCode(d.atrAnswer);
}

int AddReader(const char* name, const ZoradSimReaderOptions* options) {
  if (name == nullptr) return 0;
  try {
    return pcsc::AddReader(name, options ? ToOptions(*options) : pcsc::ReaderOptions{}) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

int RemoveReader(const char* name) { return name && pcsc::RemoveReader(name) ? 1 : 0; }

int SetReaderOptions(const char* name, const ZoradSimReaderOptions* options) {
  if (name == nullptr || options == nullptr) return 0;
  try {
    return pcsc::SetReaderOptions(name, ToOptions(*options)) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

uint32_t ReaderEventCount(const char* name) { return name ? pcsc::ReaderEventCount(name) : 0; }

// --- cards -------------------------------------------------------------

void DefaultCardSetup(ZoradSimCardSetup* out) {
  if (out == nullptr) return;
  const CardPersonalisation p;
  *out = ZoradSimCardSetup{};
  out->variant = ZORAD_SIM_CARD_PERSONALISED;
  out->protocol = p.protocol == Protocol::kT0 ? ZORAD_SIM_T0 : ZORAD_SIM_T1;
  std::copy(p.serialNumber.begin(), p.serialNumber.end(), out->serialNumber);
  out->minPinLen = p.minPinLen;
  out->maxPinLen = p.maxPinLen;
  out->pinTryThreshold = p.pinTryThreshold;
  out->userPinSet = p.userPinSet ? 1 : 0;
  out->gostParamSet = p.gostParamSet;
  out->activationAnswer = p.activationAnswer;
  out->writeChunk = p.writeChunk;
  CopyText(out->soPin, p.soPin);
  CopyText(out->userPin, p.userPin);
  CopyText(out->label, p.label);
}

int InsertCard(const char* reader, const ZoradSimCardSetup* setup) {
  if (reader == nullptr) return 0;
  try {
    ZoradSimCardSetup defaults;
    if (setup == nullptr) {
      DefaultCardSetup(&defaults);
      setup = &defaults;
    }
    auto card = std::make_shared<SimulatedCard>(ToPersonalisation(*setup));
    if (!pcsc::InsertCard(reader, card)) return 0;
    CardShelf& shelf = Shelf();
    std::lock_guard lock(shelf.mutex);
    shelf.cards[reader] = std::move(card);
    return 1;
  } catch (...) {
    return 0;
  }
}

int RemoveCard(const char* reader) { return reader && pcsc::RemoveCard(reader) ? 1 : 0; }

int ReinsertCard(const char* reader) {
  try {
    CardPtr card = CardIn(reader);
    if (!card) return 0;
    card->Reinsert();
    return pcsc::InsertCard(reader, card) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

int ResetByOtherApplication(const char* reader) {
  return reader && pcsc::ResetByOtherApplication(reader) ? 1 : 0;
}

// --- service and PC/SC faults ------------------------------------------

void FailNext(uint32_t call, uint32_t code, uint32_t count, uint32_t skip) {
  if (call >= static_cast<uint32_t>(pcsc::Call::kCount)) return;
  pcsc::FailNext(static_cast<pcsc::Call>(call), FromWinScard(code), count, skip);
}

uint32_t CallCount(uint32_t call) {
  if (call >= static_cast<uint32_t>(pcsc::Call::kCount)) return 0;
  return static_cast<uint32_t>(pcsc::CallCount(static_cast<pcsc::Call>(call)));
}

uint32_t OpenTransactions() { return static_cast<uint32_t>(pcsc::OpenTransactions()); }
uint32_t LeakedTransactions() { return static_cast<uint32_t>(pcsc::LeakedTransactions()); }
uint32_t OpenConnections() { return static_cast<uint32_t>(pcsc::OpenConnections()); }
uint32_t Waiters() { return static_cast<uint32_t>(pcsc::Waiters()); }

int WaitForWaiters(uint32_t count, uint32_t timeoutMs) {
  return pcsc::WaitForWaiters(count, std::chrono::milliseconds(timeoutMs)) ? 1 : 0;
}

// --- the card in a reader ----------------------------------------------

CommandPattern Pattern(int32_t cla, int32_t ins) { return CommandPattern{Byte(cla), Byte(ins)}; }

int CardAnswerAt(const char* reader, uint32_t n, uint16_t sw) {
  return WithCard(reader, [&](SimulatedCard& card) { card.AnswerAt(n, sw); });
}

int CardAnswerMatching(const char* reader, int32_t cla, int32_t ins, uint16_t sw) {
  return WithCard(reader, [&](SimulatedCard& card) { card.AnswerMatching(Pattern(cla, ins), sw); });
}

int CardRemoveAt(const char* reader, uint32_t n) {
  return WithCard(reader, [&](SimulatedCard& card) { card.RemoveAt(n); });
}

int CardTearWriteAt(const char* reader, uint32_t n, uint32_t bytesKept, int cardRemoved) {
  return WithCard(reader, [&](SimulatedCard& card) {
    card.TearWriteAt(n, bytesKept, cardRemoved ? TearEnd::kCardRemoved : TearEnd::kMemoryFailure);
  });
}

int CardClearFaults(const char* reader) {
  return WithCard(reader, [](SimulatedCard& card) { card.ClearFaults(); });
}

int CardSetPinTriesLeft(const char* reader, uint8_t ref, uint8_t tries) {
  return WithCard(reader, [&](SimulatedCard& card) { card.SetPinTriesLeft(ref, tries); });
}

int CardSetPinMustChange(const char* reader, uint8_t ref, int mustChange) {
  return WithCard(reader, [&](SimulatedCard& card) { card.SetPinMustChange(ref, mustChange); });
}

int32_t CardPinTriesLeft(const char* reader, uint8_t ref) {
  int32_t tries = -1;
  WithCard(reader, [&](SimulatedCard& card) {
    if (auto left = card.PinTriesLeft(ref)) tries = *left;
  });
  return tries;
}

int CardIsPinVerified(const char* reader, uint8_t ref) {
  int verified = 0;
  WithCard(reader, [&](SimulatedCard& card) { verified = card.IsPinVerified(ref) ? 1 : 0; });
  return verified;
}

uint32_t CardCountCommands(const char* reader, int32_t cla, int32_t ins) {
  uint32_t count = 0;
  WithCard(reader, [&](SimulatedCard& card) {
    count = static_cast<uint32_t>(card.CountCommands(Pattern(cla, ins)));
  });
  return count;
}

uint32_t CardLogSize(const char* reader) {
  uint32_t size = 0;
  WithCard(reader, [&](SimulatedCard& card) { size = static_cast<uint32_t>(card.Log().size()); });
  return size;
}

uint32_t CardCommand(const char* reader, uint32_t index, uint8_t* buffer, uint32_t capacity) {
  uint32_t length = 0;
  WithCard(reader, [&](SimulatedCard& card) {
    const auto commands = card.Commands();
    if (index >= commands.size()) return;
    const auto& command = commands[index];
    length = static_cast<uint32_t>(command.size());
    if (buffer != nullptr) std::memcpy(buffer, command.data(), std::min(length, capacity));
  });
  return length;
}

int CardClearLog(const char* reader) {
  return WithCard(reader, [](SimulatedCard& card) { card.ClearLog(); });
}

// --- GOST --------------------------------------------------------------

int Hash(const uint8_t* data, uint32_t length, uint8_t hash[32]) {
  if ((data == nullptr && length != 0) || hash == nullptr) return 0;
  try {
    const GostHash digest = GostR341194Hash({data, length});
    std::memcpy(hash, digest.data(), digest.size());
    return 1;
  } catch (...) {
    return 0;
  }
}

int Verify(uint8_t paramSet, const uint8_t publicKey[64], const uint8_t hash[32],
           const uint8_t signature[64]) {
  if (publicKey == nullptr || hash == nullptr || signature == nullptr) return 0;
  try {
    return VerifyPkcs11GostSignature(paramSet, {publicKey, 64}, {hash, 32}, {signature, 64}) ? 1
                                                                                             : 0;
  } catch (...) {
    return 0;
  }
}

const ZoradSimControl kControl = {
    ZORAD_SIM_CONTROL_VERSION,
    sizeof(ZoradSimControl),
    Reset,
    DefaultReaderOptions,
    AddReader,
    RemoveReader,
    SetReaderOptions,
    ReaderEventCount,
    DefaultCardSetup,
    InsertCard,
    RemoveCard,
    ReinsertCard,
    ResetByOtherApplication,
    pcsc::StopService,
    pcsc::StartService,
    FailNext,
    pcsc::ClearFaults,
    CallCount,
    OpenTransactions,
    LeakedTransactions,
    OpenConnections,
    Waiters,
    WaitForWaiters,
    CardAnswerAt,
    CardAnswerMatching,
    CardRemoveAt,
    CardTearWriteAt,
    CardClearFaults,
    CardSetPinTriesLeft,
    CardSetPinMustChange,
    CardPinTriesLeft,
    CardIsPinVerified,
    CardCountCommands,
    CardLogSize,
    CardCommand,
    CardClearLog,
    Hash,
    Verify,
};

}  // namespace
}  // namespace zorad::sim::windows

extern "C" const ZoradSimControl* ZoradSimGetControl(void) {
  return &zorad::sim::windows::kControl;
}
