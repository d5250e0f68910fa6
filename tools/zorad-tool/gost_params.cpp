#include "gost_params.h"

#include <cctype>
#include <cstdint>

namespace zorad::tool {
namespace {

constexpr uint8_t kOidTag = 0x06;

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// Base-128 digits, high first, continuation bit on all but the last.
void AppendArc(Bytes& out, uint64_t arc) {
  uint8_t digits[10];
  size_t count = 0;
  do {
    digits[count++] = static_cast<uint8_t>(arc & 0x7F);
    arc >>= 7;
  } while (arc != 0);
  while (count > 1) out.push_back(static_cast<uint8_t>(digits[--count] | 0x80));
  out.push_back(digits[0]);
}

std::optional<std::vector<uint64_t>> SplitArcs(std::string_view dotted) {
  std::vector<uint64_t> arcs;
  uint64_t value = 0;
  size_t digits = 0;
  for (size_t i = 0; i <= dotted.size(); ++i) {
    if (i == dotted.size() || dotted[i] == '.') {
      if (digits == 0) return std::nullopt;
      arcs.push_back(value);
      value = 0;
      digits = 0;
    } else if (std::isdigit(static_cast<unsigned char>(dotted[i])) && digits < 15) {
      value = value * 10 + static_cast<uint64_t>(dotted[i] - '0');
      ++digits;
    } else {
      return std::nullopt;
    }
  }
  return arcs;
}

}  // namespace

const std::vector<ParamSet>& KnownParamSets() {
  static const std::vector<ParamSet> kSets = {
      {"A", "CryptoPro-A", "1.2.643.2.2.35.1"},     {"B", "CryptoPro-B", "1.2.643.2.2.35.2"},
      {"C", "CryptoPro-C", "1.2.643.2.2.35.3"},     {"XA", "CryptoPro-XchA", "1.2.643.2.2.36.0"},
      {"XB", "CryptoPro-XchB", "1.2.643.2.2.36.1"},
  };
  return kSets;
}

std::optional<Bytes> EncodeOid(std::string_view dotted) {
  const auto arcs = SplitArcs(dotted);
  if (!arcs || arcs->size() < 2 || (*arcs)[0] > 2 || ((*arcs)[0] < 2 && (*arcs)[1] > 39)) {
    return std::nullopt;
  }
  Bytes body;
  AppendArc(body, (*arcs)[0] * 40 + (*arcs)[1]);
  for (size_t i = 2; i < arcs->size(); ++i) AppendArc(body, (*arcs)[i]);
  if (body.size() > 127) return std::nullopt;
  Bytes der = {kOidTag, static_cast<uint8_t>(body.size())};
  der.insert(der.end(), body.begin(), body.end());
  return der;
}

std::optional<std::string> DecodeOid(std::span<const uint8_t> der) {
  if (der.size() < 3 || der[0] != kOidTag || der[1] != der.size() - 2 || der[1] > 127) {
    return std::nullopt;
  }
  std::string text;
  uint64_t arc = 0;
  bool first = true;
  for (size_t i = 2; i < der.size(); ++i) {
    if (arc > (UINT64_MAX >> 7)) return std::nullopt;
    arc = arc << 7 | (der[i] & 0x7F);
    if (der[i] & 0x80) continue;
    if (first) {
      const uint64_t top = arc < 80 ? arc / 40 : 2;
      text.append(std::to_string(top)).append(".").append(std::to_string(arc - top * 40));
      first = false;
    } else {
      text.append(".").append(std::to_string(arc));
    }
    arc = 0;
  }
  if (der.back() & 0x80) return std::nullopt;
  return text;
}

std::optional<Bytes> ParseParamSet(std::string_view text) {
  for (const ParamSet& set : KnownParamSets()) {
    if (SameIgnoringCase(text, set.shortName)) return EncodeOid(set.oid);
  }
  return EncodeOid(text);
}

std::string DescribeParamSet(std::span<const uint8_t> der) {
  const auto dotted = DecodeOid(der);
  if (!dotted) return Hex(der);
  for (const ParamSet& set : KnownParamSets()) {
    if (*dotted == set.oid) return std::string(set.name) + " (" + *dotted + ")";
  }
  if (*dotted == "1.2.643.2.2.35.0") return "test set (" + *dotted + ")";
  return *dotted;
}

Bytes DefaultDigestParams() { return *EncodeOid("1.2.643.2.2.30.1"); }

}  // namespace zorad::tool
