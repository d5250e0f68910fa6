// The two area files of the card application and their descriptors in the
// token information file.
#pragma once

#include <cstdint>
#include <optional>

#include "card/token.h"
#include "store/area_layout.h"
#include "store/object_cache.h"

namespace zorad::store {

struct AreaInfo {
  uint16_t fileId;
  const char* name;  // as traced
  card::AreaDescriptor card::TokenInfoFile::*descriptor;
};

inline constexpr AreaInfo kPublicArea{0x0009, "public", &card::TokenInfoFile::publicArea};
inline constexpr AreaInfo kPrivateArea{0x0001, "private", &card::TokenInfoFile::privateArea};

inline const AreaInfo& InfoOf(Area area) {
  return area == Area::kPrivate ? kPrivateArea : kPublicArea;
}

inline Area AreaOf(bool isPrivate) { return isPrivate ? Area::kPrivate : Area::kPublic; }

inline const card::AreaDescriptor& DescriptorOf(const card::Token& token, Area area) {
  return token.info.*InfoOf(area).descriptor;
}

// The checked layout of the area's descriptor; nullopt for a descriptor the
// store must not use.
inline std::optional<AreaLayout> LayoutOf(const card::Token& token, Area area) {
  const auto& d = DescriptorOf(token, area);
  return AreaLayout::Check(d.capacity, d.blockCount, d.blockSize);
}

}  // namespace zorad::store
