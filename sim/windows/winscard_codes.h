// Result codes between the PC/SC double and WinSCard callers.
//
// The double's core speaks pcsc-lite's numbers. WinSCard shares them all
// but one: "unsupported feature" is 0x8010001F in pcsc-lite and 0x80100022
// in WinSCard (where 0x8010001F is SCARD_E_UNEXPECTED). Every code that
// crosses the Windows boundary, in either direction, goes through here.
#pragma once

#include <cstdint>

#include "sim/pcsc/pcsc_types.h"

namespace zorad::sim::windows {

inline constexpr uint32_t kWinScardUnsupportedFeature = 0x80100022;

inline uint32_t ToWinScard(pcsc::Code code) {
  return code == pcsc::kUnsupportedFeature ? kWinScardUnsupportedFeature : code;
}

inline pcsc::Code FromWinScard(uint32_t code) {
  return code == kWinScardUnsupportedFeature ? pcsc::kUnsupportedFeature : code;
}

}  // namespace zorad::sim::windows
