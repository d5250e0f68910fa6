// Hexadecimal text for the commands.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zorad::tool {

using Bytes = std::vector<uint8_t>;

// Lower-case hexadecimal without separators.
std::string Hex(std::span<const uint8_t> bytes);

// Hexadecimal digits, optionally with a leading "0x" and ':' or ' ' between
// bytes; nullopt for anything else, an odd digit count or no digits.
std::optional<Bytes> ParseHex(std::string_view text);

}  // namespace zorad::tool
