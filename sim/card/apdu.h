// Command APDU parsing and the status words the simulated card answers with.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace zorad::sim {

namespace sw {
inline constexpr uint16_t kOk = 0x9000;
inline constexpr uint16_t kEndOfFile = 0x6282;          // fewer bytes than asked
inline constexpr uint16_t kVerificationFailed = 0x6300; // wrong signature
inline constexpr uint16_t kMemoryFailure = 0x6581;      // torn write
inline constexpr uint16_t kWrongLength = 0x6700;
inline constexpr uint16_t kChainingUnsupported = 0x6884;
inline constexpr uint16_t kSecurityNotSatisfied = 0x6982;  // also "PIN must change"
inline constexpr uint16_t kPinBlocked = 0x6983;
inline constexpr uint16_t kReferenceNotUsable = 0x6984;
inline constexpr uint16_t kConditionsNotSatisfied = 0x6985;
inline constexpr uint16_t kNoCurrentFile = 0x6986;
inline constexpr uint16_t kWrongData = 0x6A80;
inline constexpr uint16_t kNotFound = 0x6A82;
inline constexpr uint16_t kWrongP1P2 = 0x6A86;
inline constexpr uint16_t kReferenceNotFound = 0x6A88;
inline constexpr uint16_t kOutOfFile = 0x6B00;
inline constexpr uint16_t kUnknownInstruction = 0x6D00;
inline constexpr uint16_t kUnknownClass = 0x6E00;
inline constexpr uint16_t kPinTriesLeftBase = 0x63C0;  // 63Cx
}  // namespace sw

// A short command APDU. p3 is Lc when data follows, Le otherwise; a command
// with data may carry a trailing Le byte.
struct Apdu {
  uint8_t cla = 0;
  uint8_t ins = 0;
  uint8_t p1 = 0;
  uint8_t p2 = 0;
  uint8_t p3 = 0;
  std::span<const uint8_t> data;
  std::optional<uint8_t> trailingLe;

  bool HasData() const { return !data.empty(); }
  // Le of a command without data: P3, where 00 asks for "up to 256".
  size_t Le() const { return p3 == 0 ? 256 : p3; }
};

// nullopt when the bytes are not a well-formed short APDU (wrong length).
// Four bytes read as a command with P3 = 00.
std::optional<Apdu> ParseApdu(std::span<const uint8_t> bytes);

struct Reply {
  std::vector<uint8_t> data;
  uint16_t sw = sw::kOk;
};

inline Reply Status(uint16_t status) { return Reply{{}, status}; }

}  // namespace zorad::sim
