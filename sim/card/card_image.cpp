#include "sim/card/card_image.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "sim/card/byte_io.h"
#include "sim/card/crc32.h"

namespace zorad::sim {
namespace {

constexpr uint8_t kMagic[8] = {'Z', 'R', 'D', 'C', 'A', 'R', 'D', 0};
constexpr uint16_t kVersion = 1;
constexpr size_t kMaxImageSize = 16 * 1024 * 1024;
constexpr uint8_t kHasPrivate = 1;
constexpr uint8_t kHasPublic = 2;

void WriteSettings(ByteWriter& w, const CardSettings& s) {
  w.Bytes(s.serialNumber);
  w.U8(static_cast<uint8_t>(s.protocol));
  w.U16(s.activationAnswer);
  w.U8(s.hasApplication ? 1 : 0);
  w.U8(s.gostParamSet);
  w.U8(s.privateKeyRefFirst);
  w.U8(s.privateKeyRefLast);
  w.U8(s.publicKeyRefFirst);
  w.U8(s.publicKeyRefLast);
}

bool ReadSettings(ByteReader& r, CardSettings& s, std::string& error) {
  auto serial = r.Bytes(7);
  if (r.Ok()) std::copy(serial.begin(), serial.end(), s.serialNumber.begin());
  const uint8_t protocol = r.U8();
  s.activationAnswer = r.U16();
  const uint8_t app = r.U8();
  s.gostParamSet = r.U8();
  s.privateKeyRefFirst = r.U8();
  s.privateKeyRefLast = r.U8();
  s.publicKeyRefFirst = r.U8();
  s.publicKeyRefLast = r.U8();
  if (!r.Ok()) return error = "truncated settings", false;
  if (protocol > 1 || app > 1) return error = "bad protocol or application flag", false;
  s.protocol = static_cast<Protocol>(protocol);
  s.hasApplication = app == 1;
  return true;
}

bool ReadFiles(ByteReader& r, CardState& state, std::string& error) {
  const uint16_t count = r.U16();
  for (uint16_t i = 0; i < count && r.Ok(); ++i) {
    const uint16_t fid = r.U16();
    CardFile file;
    file.sfi = r.U8();
    const uint8_t active = r.U8();
    const uint32_t size = r.U32();
    if (!r.Ok()) break;
    if (active > 1 || file.sfi > 30 || size > kMaxFileSize) return error = "bad file entry", false;
    auto bytes = r.Bytes(size);
    if (!r.Ok()) break;
    file.data.assign(bytes.begin(), bytes.end());
    file.active = active == 1;
    if (!state.files.emplace(fid, std::move(file)).second) return error = "duplicate file", false;
  }
  if (!r.Ok()) return error = "truncated files", false;
  return true;
}

bool ReadPins(ByteReader& r, CardState& state, std::string& error) {
  const uint8_t count = r.U8();
  for (uint8_t i = 0; i < count && r.Ok(); ++i) {
    const uint8_t ref = r.U8();
    PinRecord pin;
    pin.maxTries = r.U8();
    pin.triesLeft = r.U8();
    const uint8_t mustChange = r.U8();
    const uint8_t length = r.U8();
    auto bytes = r.Bytes(length);
    if (!r.Ok()) break;
    if (pin.maxTries == 0 || pin.maxTries > kMaxPinTries || pin.triesLeft > pin.maxTries ||
        mustChange > 1 || length == 0 || length > kMaxPinBytes) {
      return error = "bad PIN entry", false;
    }
    pin.mustChange = mustChange == 1;
    pin.value.assign(bytes.begin(), bytes.end());
    if (!state.pins.emplace(ref, std::move(pin)).second) return error = "duplicate PIN", false;
  }
  if (!r.Ok()) return error = "truncated PINs", false;
  return true;
}

bool ReadKeys(ByteReader& r, CardState& state, std::string& error) {
  const uint16_t count = r.U16();
  for (uint16_t i = 0; i < count && r.Ok(); ++i) {
    const uint8_t ref = r.U8();
    const uint8_t flags = r.U8();
    if (!r.Ok()) break;
    if (ref == 0 || flags == 0 || (flags & ~(kHasPrivate | kHasPublic)) != 0) {
      return error = "bad key slot", false;
    }
    KeySlot slot;
    if (flags & kHasPrivate) {
      auto d = r.Bytes(32);
      if (r.Ok()) std::copy(d.begin(), d.end(), slot.privateKey.emplace().begin());
    }
    if (flags & kHasPublic) {
      auto q = r.Bytes(64);
      if (r.Ok()) std::copy(q.begin(), q.end(), slot.publicKey.emplace().begin());
    }
    if (!r.Ok()) break;
    if (!state.keys.emplace(ref, std::move(slot)).second) return error = "duplicate key slot", false;
  }
  if (!r.Ok()) return error = "truncated key slots", false;
  return true;
}

}  // namespace

std::vector<uint8_t> SerializeCardState(const CardState& state) {
  ByteWriter w;
  w.Bytes(kMagic);
  w.U16(kVersion);
  WriteSettings(w, state.settings);
  w.U16(static_cast<uint16_t>(state.files.size()));
  for (const auto& [fid, file] : state.files) {
    w.U16(fid);
    w.U8(file.sfi);
    w.U8(file.active ? 1 : 0);
    w.U32(static_cast<uint32_t>(file.data.size()));
    w.Bytes(file.data);
  }
  w.U8(static_cast<uint8_t>(state.pins.size()));
  for (const auto& [ref, pin] : state.pins) {
    w.U8(ref);
    w.U8(pin.maxTries);
    w.U8(pin.triesLeft);
    w.U8(pin.mustChange ? 1 : 0);
    w.U8(static_cast<uint8_t>(pin.value.size()));
    w.Bytes(pin.value);
  }
  w.U16(static_cast<uint16_t>(state.keys.size()));
  for (const auto& [ref, slot] : state.keys) {
    w.U8(ref);
    w.U8(static_cast<uint8_t>((slot.privateKey ? kHasPrivate : 0) | (slot.publicKey ? kHasPublic : 0)));
    if (slot.privateKey) w.Bytes(*slot.privateKey);
    if (slot.publicKey) w.Bytes(*slot.publicKey);
  }
  w.U32(CardCrc32(w.Data()));
  return std::move(w.Data());
}

std::optional<CardState> ParseCardState(std::span<const uint8_t> image, std::string* error) {
  std::string local;
  std::string& err = error != nullptr ? *error : local;
  if (image.size() < sizeof(kMagic) + 2 + 4 || !std::equal(kMagic, kMagic + 8, image.begin())) {
    err = "not a card image";
    return std::nullopt;
  }
  const auto body = image.first(image.size() - 4);
  ByteReader tail(image.last(4));
  if (tail.U32() != CardCrc32(body)) {
    err = "image checksum mismatch";
    return std::nullopt;
  }
  ByteReader r(body.subspan(sizeof(kMagic)));
  if (r.U16() != kVersion) {
    err = "unsupported image version";
    return std::nullopt;
  }
  CardState state;
  if (!ReadSettings(r, state.settings, err) || !ReadFiles(r, state, err) ||
      !ReadPins(r, state, err) || !ReadKeys(r, state, err)) {
    return std::nullopt;
  }
  if (r.Remaining() != 0) {
    err = "trailing bytes in image";
    return std::nullopt;
  }
  return state;
}

bool SaveCardImage(const std::string& path, const CardState& state) {
  const std::vector<uint8_t> bytes = SerializeCardState(state);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

std::optional<CardState> LoadCardImage(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error != nullptr) *error = "cannot open " + path;
    return std::nullopt;
  }
  std::vector<uint8_t> bytes;
  char buf[4096];
  while (in.read(buf, sizeof buf) || in.gcount() > 0) {
    bytes.insert(bytes.end(), buf, buf + in.gcount());
    if (bytes.size() > kMaxImageSize) {
      if (error != nullptr) *error = "image too large";
      return std::nullopt;
    }
  }
  return ParseCardState(bytes, error);
}

}  // namespace zorad::sim
