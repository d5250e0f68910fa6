#include "terminal_text.h"

#include <cstdint>

namespace zorad::tool {
namespace {

constexpr char kDigits[] = "0123456789abcdef";

void AppendEscape(std::string& out, const char* prefix, uint32_t value) {
  out.append(prefix);
  out += kDigits[value >> 4 & 0x0F];
  out += kDigits[value & 0x0F];
}

// The length of the valid UTF-8 sequence at `text[at]` (2 to 4 bytes) and
// its code point; 0 when the bytes there are no valid sequence (overlong
// forms, surrogates and values above U+10FFFF included).
size_t Utf8Sequence(std::string_view text, size_t at, uint32_t& codePoint) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[at + i]); };
  const uint8_t lead = byte(0);
  size_t length = 0;
  uint32_t minimum = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, minimum = 0x80, codePoint = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, minimum = 0x800, codePoint = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, minimum = 0x10000, codePoint = lead & 0x07;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    codePoint = codePoint << 6 | (byte(i) & 0x3F);
  }
  const bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
  return codePoint < minimum || surrogate || codePoint > 0x10FFFF ? 0 : length;
}

}  // namespace

bool IsValidUtf8(std::string_view text) {
  for (size_t at = 0; at < text.size();) {
    uint32_t codePoint = 0;
    const size_t length =
        static_cast<uint8_t>(text[at]) < 0x80 ? 1 : Utf8Sequence(text, at, codePoint);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

std::string Printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    const auto c = static_cast<uint8_t>(text[at]);
    if (c < 0x20 || c == 0x7F) {
      AppendEscape(out, "\\x", c);
      ++at;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
      ++at;
    } else if (uint32_t codePoint = 0; size_t length = Utf8Sequence(text, at, codePoint)) {
      if (codePoint <= 0x9F) {
        AppendEscape(out, "\\u00", codePoint);
      } else {
        out.append(text.substr(at, length));
      }
      at += length;
    } else {
      AppendEscape(out, "\\x", c);
      ++at;
    }
  }
  return out;
}

}  // namespace zorad::tool
