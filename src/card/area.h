// The two area files of the card application and their descriptors in the
// token information file.
#pragma once

#include <cstdint>
#include <optional>

#include "card/area_layout.h"
#include "card/object_cache.h"
#include "card/token.h"

namespace zorad::card {

struct AreaInfo {
  uint16_t fileId;
  const char* name;  // as traced
  AreaDescriptor TokenInfoFile::*descriptor;
};

inline constexpr AreaInfo kPublicArea{0x0009, "public", &TokenInfoFile::publicArea};
inline constexpr AreaInfo kPrivateArea{0x0001, "private", &TokenInfoFile::privateArea};

inline const AreaInfo& InfoOf(Area area) {
  return area == Area::kPrivate ? kPrivateArea : kPublicArea;
}

inline Area AreaOf(bool isPrivate) { return isPrivate ? Area::kPrivate : Area::kPublic; }

inline const AreaDescriptor& DescriptorOf(const Token& token, Area area) {
  return token.info.*InfoOf(area).descriptor;
}

// The checked layout of the area's descriptor; nullopt for a descriptor that
// must not be used.
inline std::optional<AreaLayout> LayoutOf(const Token& token, Area area) {
  const auto& d = DescriptorOf(token, area);
  return AreaLayout::Check(d.capacity, d.blockCount, d.blockSize);
}

}  // namespace zorad::card
