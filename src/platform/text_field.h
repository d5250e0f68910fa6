// Text fields of the PKCS#11 information structures: blank-padded, with no
// terminator inside the field. Shared by every layer that fills one (the
// library, slot and token information).
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstring>

namespace zorad::platform {

// Sets the field to blanks, then copies the text without its terminator,
// cut at the field width.
inline void CopyBlankPadded(unsigned char* field, size_t width, const char* text) {
  std::memset(field, ' ', width);
  if (text == nullptr) return;
  const size_t length = std::min(std::strlen(text), width);
  std::memcpy(field, text, length);
}

template <size_t N>
void CopyBlankPadded(unsigned char (&field)[N], const char* text) {
  CopyBlankPadded(field, N, text);
}

// The same for text of a known length that may carry a terminator (reader
// drivers count it in their answers): the copy ends at the first zero byte.
template <size_t N>
void CopyBlankPadded(unsigned char (&field)[N], const unsigned char* text, size_t length) {
  std::memset(field, ' ', N);
  const unsigned char* end = text + std::min(length, N);
  std::copy(text, std::find(text, end, 0), field);
}

}  // namespace zorad::platform
