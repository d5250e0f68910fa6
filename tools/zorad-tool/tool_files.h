// The files the commands read and write. Inputs are read within a bound
// (or streamed in parts), so a wrong path such as /dev/zero is refused
// quickly; outputs replace their target only when they are complete.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "hex_text.h"

namespace zorad::tool {

// The whole file, when it holds at most `limit` bytes; reads at most
// limit + 1 bytes. Throws ToolError (kFile) naming the file when it cannot
// be read or is larger, with `what` ("a certificate") in the message.
Bytes ReadFileWithin(const std::string& path, size_t limit, const std::string& what);

// Hands the file to `consume` in parts of at most `part` bytes, in order;
// returns the number of bytes read. Throws ToolError (kFile) when the file
// cannot be read.
using FilePartConsumer = std::function<void(std::span<const uint8_t>)>;
uint64_t ReadFileInParts(const std::string& path, size_t part, const FilePartConsumer& consume);

// The size of a regular file, nullopt for anything else (a pipe, a device)
// or a file that cannot be examined.
std::optional<uint64_t> RegularFileSize(const std::string& path);

// Writes `bytes` to a new temporary file in the target's folder and renames
// it over `path` when it is complete: a reader of `path` sees the old file
// or the new one, never part of one. On failure the temporary file is
// removed, the old file is left as it was, and ToolError (kFile) is thrown.
void WriteFileReplacing(const std::string& path, std::span<const uint8_t> bytes);

}  // namespace zorad::tool
