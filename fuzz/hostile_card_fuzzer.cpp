// Fuzz target: a hostile card. A whole session life through the module's
// entry points over a card whose token information, label and area files
// come from the input: open a session, log in, find every object, read
// every attribute of every object, relabel one, delete one, sign with the
// first private key, log out. PINs and key slots are the prepared card's
// (support/module_rig.h). A crash, a sanitizer report, an input that runs
// beyond its time limit or beyond a bound on card commands (a conversation
// that does not end), a handle handed out twice by one search, or a reader
// transaction left open fails the run.
//
// Input:
//   byte   flags: 0x01 T=0; seal, as a card written by the module would
//          be: 0x02 the token information's checksum, 0x04 both allocation
//          tables, 0x08 the header of every record a table lists, 0x10 the
//          body of every such record
//   lchunk token information file
//   chunk  label file
//   lchunk public area file
//   lchunk private area file
#include <algorithm>
#include <array>
#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "card/area_layout.h"
#include "card/byte_order.h"
#include "card/crc32.h"
#include "sim/card/card_state.h"
#include "sim/card/simulated_card.h"
#include "store/token_object.h"
#include "support/card_rig.h"
#include "support/fuzz_input.h"
#include "support/module_rig.h"

namespace zorad::fuzz {
namespace {

using Bytes = std::vector<uint8_t>;

// A whole life over the largest card the module can address (two areas of
// at most 255 objects each, every object read a few times) stays well below
// this; a search that never ends reaches it within seconds.
constexpr size_t kCommandBound = 100000;
constexpr auto kTimeLimit = std::chrono::seconds(5);

constexpr uint8_t kT0 = 0x01;
constexpr uint8_t kSealInfo = 0x02;
constexpr uint8_t kSealTables = 0x04;
constexpr uint8_t kSealHeaders = 0x08;
constexpr uint8_t kSealBodies = 0x10;

constexpr size_t kInfoSize = sim::kTokenInfoSize;
constexpr size_t kPublicDescriptor = 44;
constexpr size_t kPrivateDescriptor = 54;

// Every attribute type a token object may carry, and one none may.
// clang-format off
constexpr CK_ATTRIBUTE_TYPE kEveryAttribute[] = {
    CKA_CLASS, CKA_TOKEN, CKA_PRIVATE, CKA_LABEL, CKA_APPLICATION, CKA_VALUE, CKA_OBJECT_ID,
    CKA_CERTIFICATE_TYPE, CKA_ISSUER, CKA_SERIAL_NUMBER, CKA_TRUSTED, CKA_CERTIFICATE_CATEGORY,
    CKA_CHECK_VALUE, CKA_KEY_TYPE, CKA_SUBJECT, CKA_ID, CKA_SENSITIVE, CKA_SIGN, CKA_VERIFY,
    CKA_START_DATE, CKA_END_DATE, CKA_EXTRACTABLE, CKA_LOCAL, CKA_NEVER_EXTRACTABLE,
    CKA_ALWAYS_SENSITIVE, CKA_MODIFIABLE, CKA_GOSTR3410_PARAMS, CKA_GOSTR3411_PARAMS,
    CKA_GOST28147_PARAMS, CKA_VENDOR_DEFINED, CKA_WRAP};
// clang-format on

// The simulated card, counted and timed: every command past the bound or
// the time limit stops the run with the input.
class BoundedCard : public sim::CardDevice {
 public:
  explicit BoundedCard(sim::CardState state)
      : real_(std::make_shared<sim::SimulatedCard>(std::move(state))),
        deadline_(std::chrono::steady_clock::now() + kTimeLimit) {}
  std::vector<uint8_t> Atr() const override { return real_->Atr(); }
  void PowerOn() override { real_->PowerOn(); }
  void PowerOff() override { real_->PowerOff(); }
  void Reset() override { real_->Reset(); }
  sim::CardAnswer Transmit(std::span<const uint8_t> command) override {
    Check(++commands_ <= kCommandBound, "the card conversation does not end");
    Check(std::chrono::steady_clock::now() < deadline_, "the input ran beyond its time limit");
    if (commands_ % 1024 == 0) real_->ClearLog();  // the log is not needed
    return real_->Transmit(command);
  }

 private:
  std::shared_ptr<sim::SimulatedCard> real_;
  std::chrono::steady_clock::time_point deadline_;
  size_t commands_ = 0;
};

void Seal(Bytes& file, size_t at, size_t from, size_t to) {
  if (to > file.size() || from > to || at + 4 > file.size()) return;
  card::StoreBE32(&file[at], card::CRC32(std::span(file).subspan(from, to - from)));
}

// Record headers and bodies of every object the area's table lists.
void SealRecords(Bytes& file, const card::AreaLayout& layout, uint8_t flags) {
  const size_t entriesAt = layout.TableOffset() + card::kTableChecksumSize;
  std::map<uint8_t, std::vector<size_t>> owners;
  for (size_t i = 0; i < layout.BlockCount() && entriesAt + i < file.size(); ++i) {
    if (file[entriesAt + i] != 0) owners[file[entriesAt + i]].push_back(i);
  }
  for (const auto& [ni, blocks] : owners) {
    const size_t header = layout.BlockOffset(uint32_t(blocks.front()));
    if (header + store::kHeaderSize > file.size()) continue;
    if (flags & kSealBodies) {
      const size_t size = card::LoadBE16(&file[header + 15]);
      Bytes body;
      for (size_t k = 0; k < blocks.size() && body.size() < size; ++k) {
        const size_t skip = k == 0 ? store::kHeaderSize : 0;
        const size_t from = layout.BlockOffset(uint32_t(blocks[k])) + skip;
        const size_t n = std::min(size - body.size(), layout.BlockSize() - skip);
        if (from + n > file.size()) break;
        body.insert(body.end(), file.begin() + from, file.begin() + from + n);
      }
      card::StoreBE32(&file[header + 4], card::CRC32(body));
    }
    Seal(file, header, header + 4, header + store::kHeaderSize);
  }
}

void SealArea(Bytes& file, const Bytes& info, size_t descriptor, uint8_t flags) {
  const auto layout = card::AreaLayout::Check(card::LoadBE32(&info[descriptor]),
                                              card::LoadBE16(&info[descriptor + 6]),
                                              card::LoadBE16(&info[descriptor + 8]));
  if (!layout || layout->BlockCount() == 0) return;
  if (flags & (kSealHeaders | kSealBodies)) SealRecords(file, *layout, flags);
  if (flags & kSealTables) {
    const size_t at = layout->TableOffset();
    Seal(file, at, at + card::kTableChecksumSize, at + layout->TableLength());
  }
}

void PutFile(sim::CardState& state, uint16_t fid, const Bytes& bytes) {
  state.files[fid].data.clear();
  PutFileBytes(state, fid, 0, bytes);
}

sim::CardState CardFor(FuzzInput& in, uint8_t flags) {
  sim::CardState state = PreparedCardState();
  state.settings.protocol = flags & kT0 ? sim::Protocol::kT0 : sim::Protocol::kT1;
  const auto infoChunk = in.LongChunk();
  Bytes info(infoChunk.begin(), infoChunk.end());
  const auto label = in.Chunk();
  const auto publicChunk = in.LongChunk();
  const auto privateChunk = in.LongChunk();
  Bytes publicArea(publicChunk.begin(), publicChunk.end());
  Bytes privateArea(privateChunk.begin(), privateChunk.end());
  if (info.size() >= kInfoSize) {
    SealArea(publicArea, info, kPublicDescriptor, flags);
    SealArea(privateArea, info, kPrivateDescriptor, flags);
    if (flags & kSealInfo) Seal(info, 0, 4, kInfoSize);
  }
  PutFile(state, sim::kTokenInfoFid, info);
  PutFile(state, sim::kLabelFid, Bytes(label.begin(), label.end()));
  PutFile(state, sim::kPublicAreaFid, publicArea);
  PutFile(state, sim::kPrivateAreaFid, privateArea);
  return state;
}

// Every attribute type, lengths first, then the values into buffers of
// those lengths. The class, when it reads as one.
CK_OBJECT_CLASS ReadEveryAttribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object) {
  constexpr size_t n = std::size(kEveryAttribute);
  std::array<CK_ATTRIBUTE, n> query{};
  for (size_t i = 0; i < n; ++i) query[i] = {kEveryAttribute[i], nullptr, 0};
  C_GetAttributeValue(session, object, query.data(), n);
  std::array<Bytes, n> values;
  for (size_t i = 0; i < n; ++i) {
    const CK_ULONG length = query[i].ulValueLen;
    values[i].assign(length == CK_UNAVAILABLE_INFORMATION || length > 0x10000 ? 0 : length, 0);
    query[i].pValue = values[i].empty() ? nullptr : values[i].data();
    query[i].ulValueLen = values[i].size();
  }
  C_GetAttributeValue(session, object, query.data(), n);
  for (size_t i = 0; i < n; ++i) {
    Check(query[i].ulValueLen == CK_UNAVAILABLE_INFORMATION ||
              query[i].ulValueLen <= values[i].size() || query[i].pValue == nullptr,
          "C_GetAttributeValue reports more bytes than the buffer holds");
  }
  CK_OBJECT_CLASS objectClass = CKO_VENDOR_DEFINED;
  if (query[0].ulValueLen == sizeof objectClass) {
    std::copy_n(values[0].data(), sizeof objectClass, reinterpret_cast<uint8_t*>(&objectClass));
  }
  return objectClass;
}

void Sign(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key) {
  CK_MECHANISM mechanism{CKM_GOSTR3410_WITH_GOSTR3411, nullptr, 0};
  if (C_SignInit(session, &mechanism, key) != CKR_OK) return;
  Bytes data(100, 0x5A);
  std::array<uint8_t, 64> signature{};
  CK_ULONG length = signature.size();
  C_Sign(session, data.data(), static_cast<CK_ULONG>(data.size()), signature.data(), &length);
  Check(length <= signature.size(), "C_Sign reports a longer signature than the buffer");
}

void SessionLife() {
  CK_C_INITIALIZE_ARGS args{};
  args.flags = CKF_OS_LOCKING_OK;
  if (C_Initialize(&args) != CKR_OK) return;
  CK_SLOT_ID slot = 0;
  CK_ULONG count = 1;
  if (C_GetSlotList(CK_TRUE, &slot, &count) != CKR_OK || count != 1) return;
  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  if (C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session) !=
      CKR_OK) {
    return;
  }
  LoginAs(session, CKU_USER, kUserPin);
  const std::vector<CK_OBJECT_HANDLE> objects = FindObjects(session, nullptr, 0, 1024);
  Check(std::set(objects.begin(), objects.end()).size() == objects.size(),
        "a search handed out one handle twice");
  CK_OBJECT_HANDLE privateKey = CK_INVALID_HANDLE;
  for (const CK_OBJECT_HANDLE object : objects) {
    const CK_OBJECT_CLASS objectClass = ReadEveryAttribute(session, object);
    if (objectClass == CKO_PRIVATE_KEY && privateKey == CK_INVALID_HANDLE) privateKey = object;
  }
  if (!objects.empty()) {
    char label[] = "relabelled by the fuzzer";
    CK_ATTRIBUTE relabel{CKA_LABEL, label, sizeof label - 1};
    C_SetAttributeValue(session, objects.front(), &relabel, 1);
    if (objects.back() != privateKey) C_DestroyObject(session, objects.back());
  }
  if (privateKey != CK_INVALID_HANDLE) Sign(session, privateKey);
  C_Logout(session);
  C_CloseSession(session);
}

}  // namespace
}  // namespace zorad::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zorad::fuzz;
  FuzzInput in(data, size);
  const uint8_t flags = in.Byte();
  ModuleRig rig(std::make_shared<BoundedCard>(CardFor(in, flags)), flags & kT0);
  SessionLife();
  return 0;
}
