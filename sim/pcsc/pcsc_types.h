// Platform-neutral vocabulary of the PC/SC double.
//
// The simulation core speaks in these fixed-width types and numeric codes so
// that the same core can sit behind the pcsc-lite export layer (LONG/DWORD
// 64-bit) and behind a WinSCard export layer (LONG/DWORD 32-bit). The codes
// are the 32-bit patterns both services use, with one exception noted at
// kUnsupportedFeature.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zorad::sim::pcsc {

using Code = uint32_t;
using Handle = uint64_t;

// Result codes.
inline constexpr Code kSuccess = 0x00000000;
inline constexpr Code kCancelled = 0x80100002;
inline constexpr Code kInvalidHandle = 0x80100003;
inline constexpr Code kInvalidParameter = 0x80100004;
inline constexpr Code kInsufficientBuffer = 0x80100008;
inline constexpr Code kUnknownReader = 0x80100009;
inline constexpr Code kTimeout = 0x8010000A;
inline constexpr Code kSharingViolation = 0x8010000B;
inline constexpr Code kNoSmartcard = 0x8010000C;
inline constexpr Code kProtoMismatch = 0x8010000F;
inline constexpr Code kInvalidValue = 0x80100011;
inline constexpr Code kNotTransacted = 0x80100016;
inline constexpr Code kReaderUnavailable = 0x80100017;
inline constexpr Code kNoService = 0x8010001D;
// pcsc-lite's value. WinSCard uses 0x80100022 for the same meaning; a
// WinSCard export layer translates this one code at its boundary.
inline constexpr Code kUnsupportedFeature = 0x8010001F;
inline constexpr Code kNoReadersAvailable = 0x8010002E;
inline constexpr Code kResetCard = 0x80100068;
inline constexpr Code kRemovedCard = 0x80100069;
// The Windows "ERROR_NOT_SUPPORTED" that some reader drivers answer for
// attributes they do not know.
inline constexpr Code kErrorNotSupported = 50;

// Share modes, protocols, dispositions.
inline constexpr uint32_t kShareExclusive = 1;
inline constexpr uint32_t kShareShared = 2;
inline constexpr uint32_t kShareDirect = 3;
inline constexpr uint32_t kProtocolUndefined = 0;
inline constexpr uint32_t kProtocolT0 = 1;
inline constexpr uint32_t kProtocolT1 = 2;
inline constexpr uint32_t kProtocolRaw = 4;
inline constexpr uint32_t kLeaveCard = 0;
inline constexpr uint32_t kResetCardDisposition = 1;
inline constexpr uint32_t kUnpowerCard = 2;
inline constexpr uint32_t kEjectCard = 3;

// Reader state bits of the status-change query.
inline constexpr uint32_t kStateUnaware = 0x0000;
inline constexpr uint32_t kStateIgnore = 0x0001;
inline constexpr uint32_t kStateChanged = 0x0002;
inline constexpr uint32_t kStateUnknown = 0x0004;
inline constexpr uint32_t kStateUnavailable = 0x0008;
inline constexpr uint32_t kStateEmpty = 0x0010;
inline constexpr uint32_t kStatePresent = 0x0020;
inline constexpr uint32_t kStateExclusive = 0x0080;
inline constexpr uint32_t kStateInUse = 0x0100;

// Card states reported by SCardStatus.
inline constexpr uint32_t kCardAbsent = 0x0002;
inline constexpr uint32_t kCardPresent = 0x0004;
inline constexpr uint32_t kCardSwallowed = 0x0008;
inline constexpr uint32_t kCardPowered = 0x0010;
inline constexpr uint32_t kCardSpecific = 0x0040;

// Attributes served by SCardGetAttrib.
inline constexpr uint32_t kAttrVendorName = 0x00010100;
inline constexpr uint32_t kAttrVendorIfdVersion = 0x00010102;
inline constexpr uint32_t kAttrAtrString = 0x00090303;

inline constexpr uint32_t kInfiniteTimeout = 0xFFFFFFFF;
inline constexpr const char* kPnpNotificationReader = "\\\\?PnP?\\Notification";

// How a reader's driver answers one attribute.
enum class AttributeAnswer {
  kServed,
  kUnsupportedFeature,  // kUnsupportedFeature, as vpcd does for the ATR
  kNotSupported,        // kErrorNotSupported, as WinSCard drivers do
};

enum class ReaderProtocol { kT0, kT1 };

struct ReaderOptions {
  ReaderProtocol protocol = ReaderProtocol::kT1;
  // Vendor name; served followed by a NUL byte when vendorNameWithNul.
  std::string vendorName = "Zorad Simulated Readers";
  bool vendorNameWithNul = true;
  AttributeAnswer vendorNameAnswer = AttributeAnswer::kServed;
  // Code answered to a vendor-name size query (null buffer); kSuccess serves
  // the query, anything else makes it fail with that code.
  Code vendorSizeQueryResult = kSuccess;
  // 0xMMmmbbbb: major, minor, build. Served as 4 bytes, little-endian.
  uint32_t ifdVersion = 0x01020003;
  AttributeAnswer ifdVersionAnswer = AttributeAnswer::kServed;
  AttributeAnswer atrAnswer = AttributeAnswer::kServed;
};

// One entry of a status-change query.
struct ReaderStateEntry {
  std::string reader;
  uint32_t currentState = kStateUnaware;
  uint32_t eventState = 0;
  std::vector<uint8_t> atr;
};

// Where an output value goes: only its size is wanted (null buffer), or it
// must fit into `capacity` bytes.
struct OutputSpace {
  bool sizeOnly = false;
  size_t capacity = 0;
};

struct CardStatusInfo {
  std::string readerName;  // without the terminating NUL
  uint32_t state = 0;
  uint32_t protocol = 0;
  std::vector<uint8_t> atr;
};

}  // namespace zorad::sim::pcsc
