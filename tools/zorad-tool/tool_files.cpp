#include "tool_files.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>

#ifdef _WIN32
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "tool_error.h"

namespace zorad::tool {
namespace {

namespace fs = std::filesystem;

constexpr size_t kReadPart = size_t{64} << 10;

std::string Reason(int error) { return error != 0 ? std::strerror(error) : "unknown error"; }

[[noreturn]] void ThrowRead(const std::string& path, int error) {
  throw ToolError(ExitCode::kFile, "Cannot read '" + path + "' (" + Reason(error) + ").");
}

struct FileClose {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileClose>;

FilePtr OpenForReading(const std::string& path) {
  std::error_code error;
  if (fs::is_directory(path, error)) {
    throw ToolError(ExitCode::kFile, "Cannot read '" + path + "': it is a folder.");
  }
  errno = 0;
  FilePtr file(std::fopen(path.c_str(), "rb"));
  if (!file) ThrowRead(path, errno);
  return file;
}

#ifdef _WIN32
int OpenNew(const std::string& path) {
  return _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
}
int WritePart(int fd, const uint8_t* data, size_t size) {
  return _write(fd, data, static_cast<unsigned>(std::min<size_t>(size, 1u << 30)));
}
int SyncAndClose(int fd) { return (_commit(fd) == 0) & (_close(fd) == 0) ? 0 : -1; }
// Replaces an existing target, as rename does on POSIX.
std::error_code Rename(const std::string& from, const std::string& to) {
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return {};
  }
  return std::error_code(static_cast<int>(GetLastError()), std::system_category());
}
#else
int OpenNew(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
}
ssize_t WritePart(int fd, const uint8_t* data, size_t size) { return ::write(fd, data, size); }
int SyncAndClose(int fd) { return (::fsync(fd) == 0) & (::close(fd) == 0) ? 0 : -1; }
std::error_code Rename(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0 ? std::error_code()
                                                 : std::error_code(errno, std::generic_category());
}
#endif

// A new file beside `path`, named after it with a random suffix.
std::pair<std::string, int> CreateTemporaryBeside(const std::string& path) {
  std::random_device random;
  for (int attempt = 0; attempt < 16; ++attempt) {
    const std::string name = path + ".tmp" + std::to_string(random() % 1000000);
    errno = 0;
    const int fd = OpenNew(name);
    if (fd >= 0) return {name, fd};
    if (errno != EEXIST) break;
  }
  throw ToolError(ExitCode::kFile, "Cannot write '" + path + "' (" + Reason(errno) + ").");
}

// 0 when every byte was written and the file closed; else the error.
int WriteAll(int fd, std::span<const uint8_t> bytes) {
  for (size_t at = 0; at < bytes.size();) {
    errno = 0;
    const auto written = WritePart(fd, bytes.data() + at, bytes.size() - at);
    if (written <= 0) {
      const int error = errno != 0 ? errno : EIO;
#ifdef _WIN32
      _close(fd);
#else
      ::close(fd);
#endif
      return error;
    }
    at += static_cast<size_t>(written);
  }
  errno = 0;
  return SyncAndClose(fd) == 0 ? 0 : (errno != 0 ? errno : EIO);
}

}  // namespace

Bytes ReadFileWithin(const std::string& path, size_t limit, const std::string& what) {
  Bytes bytes;
  const uint64_t size = ReadFileInParts(path, kReadPart, [&](std::span<const uint8_t> part) {
    if (bytes.size() + part.size() > limit) {
      throw ToolError(ExitCode::kFile, "'" + path + "' is larger than " + std::to_string(limit) +
                                           " bytes, more than " + what + " can be.");
    }
    bytes.insert(bytes.end(), part.begin(), part.end());
  });
  bytes.resize(static_cast<size_t>(size));
  return bytes;
}

uint64_t ReadFileInParts(const std::string& path, size_t part, const FilePartConsumer& consume) {
  const FilePtr file = OpenForReading(path);
  Bytes buffer(part);
  uint64_t total = 0;
  for (;;) {
    errno = 0;
    const size_t got = std::fread(buffer.data(), 1, buffer.size(), file.get());
    if (got > 0) {
      total += got;
      consume(std::span<const uint8_t>(buffer.data(), got));
    }
    if (got < buffer.size()) {
      if (std::ferror(file.get())) ThrowRead(path, errno);
      return total;
    }
  }
}

std::optional<uint64_t> RegularFileSize(const std::string& path) {
  std::error_code error;
  if (!fs::is_regular_file(path, error)) return std::nullopt;
  const uint64_t size = fs::file_size(path, error);
  if (error) return std::nullopt;
  return size;
}

void WriteFileReplacing(const std::string& path, std::span<const uint8_t> bytes) {
  const auto [temporary, fd] = CreateTemporaryBeside(path);
  const int error = WriteAll(fd, bytes);
  std::error_code renamed;
  if (error == 0) {
    renamed = Rename(temporary, path);
    if (!renamed) return;
  }
  std::error_code ignored;
  fs::remove(temporary, ignored);
  throw ToolError(ExitCode::kFile, "Cannot write '" + path + "' (" +
                                       (error != 0 ? Reason(error) : renamed.message()) + ").");
}

}  // namespace zorad::tool
