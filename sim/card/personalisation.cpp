#include "sim/card/personalisation.h"

#include <algorithm>
#include <stdexcept>

#include "sim/card/crc32.h"

namespace zorad::sim {
namespace {

// The module's addressing limits: 15-bit offsets, and no write that ends
// beyond 0x80FE.
constexpr uint32_t kMaxOffset = 0x7FFF;
constexpr uint32_t kMaxEnd = 0x80FE;
constexpr uint32_t kTableGap = 128;  // the table starts at capacity + 128
constexpr uint32_t kFirstBlock = 64;
constexpr uint16_t kMinBlockSize = 17;  // one object header

std::optional<std::string> CheckArea(const AreaDescriptor& a, const char* name) {
  const std::string n(name);
  const uint64_t tableStart = uint64_t{a.capacity} + kTableGap;
  if (tableStart > kMaxOffset) return n + " area: table offset beyond 0x7FFF";
  if (tableStart + 4 + a.blockCount > kMaxEnd) return n + " area: table ends beyond 0x80FE";
  if (a.blockCount == 0) return std::nullopt;
  if (a.blockSize < kMinBlockSize) return n + " area: block size below 17";
  if (kFirstBlock + uint64_t{a.blockCount} * a.blockSize > tableStart) {
    return n + " area: blocks overlap the allocation table";
  }
  return std::nullopt;
}

bool RangesOverlap(uint8_t f1, uint8_t l1, uint8_t f2, uint8_t l2) { return f1 <= l2 && f2 <= l1; }

std::optional<std::string> CheckKeyRange(uint8_t first, uint8_t last, const char* name) {
  const std::string n(name);
  if (first == 0 || last > 127 || first > last) return n + " key references must lie in 1..127";
  if (InRange(kSoPinRef, first, last) || InRange(kUserPinRef, first, last)) {
    return n + " key references must not include the PIN references 0x67 and 0x69";
  }
  return std::nullopt;
}

void PutBlankPadded(std::vector<uint8_t>& out, size_t at, const std::string& text, size_t width) {
  std::fill(out.begin() + at, out.begin() + at + width, ' ');
  std::copy_n(text.begin(), std::min(text.size(), width), out.begin() + at);
}

void Put16(std::vector<uint8_t>& out, size_t at, uint16_t v) {
  out[at] = static_cast<uint8_t>(v >> 8);
  out[at + 1] = static_cast<uint8_t>(v);
}

void Put32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
  Put16(out, at, static_cast<uint16_t>(v >> 16));
  Put16(out, at + 2, static_cast<uint16_t>(v));
}

void PutArea(std::vector<uint8_t>& out, size_t at, const AreaDescriptor& a) {
  Put32(out, at, a.capacity);
  Put16(out, at + 4, a.reserved);
  Put16(out, at + 6, a.blockCount);
  Put16(out, at + 8, a.blockSize);
}

CardFile AreaFile(const AreaDescriptor& a, bool format) {
  CardFile file;
  const size_t tableStart = size_t{a.capacity} + kTableGap;
  file.data.assign(tableStart + 4 + a.blockCount, 0);
  if (format) {
    // An empty table: all entries free, checksum of the zero entries.
    std::span<const uint8_t> entries(file.data.data() + tableStart + 4, a.blockCount);
    const uint32_t crc = CardCrc32(entries);
    for (int i = 0; i < 4; ++i) file.data[tableStart + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
  }
  return file;
}

PinRecord MakePin(const std::string& pin, uint8_t maxTries) {
  PinRecord rec;
  rec.value = PinBlock(pin);
  rec.maxTries = maxTries;
  rec.triesLeft = maxTries;
  return rec;
}

}  // namespace

CardPersonalisation BlankCardPersonalisation() {
  CardPersonalisation p;
  p.hasApplication = false;
  return p;
}

CardPersonalisation CorruptCardPersonalisation() {
  CardPersonalisation p;
  p.corruptTokenInfoCrc = true;
  return p;
}

std::optional<std::string> CheckPersonalisation(const CardPersonalisation& p) {
  if (auto e = CheckArea(p.publicArea, "public")) return e;
  if (auto e = CheckArea(p.privateArea, "private")) return e;
  if (auto e = CheckKeyRange(p.privateKeyRefFirst, p.privateKeyRefLast, "private")) return e;
  if (auto e = CheckKeyRange(p.publicKeyRefFirst, p.publicKeyRefLast, "public")) return e;
  if (RangesOverlap(p.privateKeyRefFirst, p.privateKeyRefLast, p.publicKeyRefFirst,
                    p.publicKeyRefLast)) {
    return "private and public key references overlap";
  }
  if (p.minPinLen > p.maxPinLen) return "minimum PIN length above the maximum";
  for (const std::string* pin : {&p.soPin, &p.userPin}) {
    if (pin->size() > kMaxPinBytes) return "PIN longer than 32 bytes";
  }
  for (uint8_t tries : {p.soPinMaxTries, p.userPinMaxTries}) {
    if (tries == 0 || tries > kMaxPinTries) return "PIN try count must lie in 1..15";
  }
  if (p.protocol != Protocol::kT0 && p.protocol != Protocol::kT1) return "unknown protocol";
  return std::nullopt;
}

std::vector<uint8_t> BuildTokenInfo(const CardPersonalisation& p) {
  std::vector<uint8_t> info(kTokenInfoSize, 0);
  info[4] = p.formatMajor;
  info[5] = p.formatMinor;
  PutBlankPadded(info, 6, p.manufacturer, 32);
  Put16(info, 38, p.writeChunk);
  info[40] = p.pinTryThreshold;
  info[42] = p.minPinLen;
  info[43] = p.maxPinLen;
  PutArea(info, 44, p.publicArea);
  PutArea(info, 54, p.privateArea);
  info[64] = p.gostParamSet;
  info[67] = p.privateKeyRefFirst;
  info[68] = p.privateKeyRefLast;
  info[69] = p.publicKeyRefFirst;
  info[70] = p.publicKeyRefLast;
  uint32_t crc = CardCrc32(std::span<const uint8_t>(info).subspan(4));
  if (p.corruptTokenInfoCrc) crc ^= 0x00010000;
  Put32(info, 0, crc);
  return info;
}

std::vector<uint8_t> PinBlock(const std::string& pin) {
  std::vector<uint8_t> block(pin.begin(), pin.end());
  if (block.size() < 8) block.resize(8, 0x31);
  return block;
}

CardState Personalise(const CardPersonalisation& p) {
  if (auto problem = CheckPersonalisation(p)) throw std::invalid_argument(*problem);
  CardState state;
  CardSettings& s = state.settings;
  s.serialNumber = p.serialNumber;
  s.protocol = p.protocol;
  s.activationAnswer = p.activationAnswer;
  s.hasApplication = p.hasApplication;
  s.gostParamSet = p.gostParamSet;
  s.privateKeyRefFirst = p.privateKeyRefFirst;
  s.privateKeyRefLast = p.privateKeyRefLast;
  s.publicKeyRefFirst = p.publicKeyRefFirst;
  s.publicKeyRefLast = p.publicKeyRefLast;
  if (!p.hasApplication) return state;  // nothing on the card but its chip

  state.files[kPrivateAreaFid] = AreaFile(p.privateArea, p.formatAreas);
  state.files[kPublicAreaFid] = AreaFile(p.publicArea, p.formatAreas);
  CardFile label{std::vector<uint8_t>(kLabelSize, 0), kLabelSfi, true};
  PutBlankPadded(label.data, 0, p.label, kLabelSize);
  state.files[kLabelFid] = label;
  state.files[kTokenInfoFid] = CardFile{BuildTokenInfo(p), kTokenInfoSfi, true};
  state.files[kUserPinFid] = CardFile{{}, 0, p.userPinSet};
  state.pins[kSoPinRef] = MakePin(p.soPin, p.soPinMaxTries);
  state.pins[kUserPinRef] = MakePin(p.userPin, p.userPinMaxTries);
  return state;
}

}  // namespace zorad::sim
