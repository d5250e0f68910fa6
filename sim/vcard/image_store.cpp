#include "sim/vcard/image_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sim/card/card_image.h"

namespace zorad::vcard {
namespace {

std::string Reason(const std::string& path, const char* step) {
  return path + ": " + step + ": " + std::strerror(errno);
}

bool WriteAll(int fd, const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool WriteFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes,
                         std::string* error) {
  const std::string temp = path + ".tmp." + std::to_string(::getpid());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = Reason(temp, "create");
    return false;
  }
  const bool written = WriteAll(fd, bytes) && ::fsync(fd) == 0;
  if (!written) *error = Reason(temp, "write");
  if (::close(fd) != 0 && written) {
    *error = Reason(temp, "close");
    ::unlink(temp.c_str());
    return false;
  }
  if (!written) {
    ::unlink(temp.c_str());
    return false;
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    *error = Reason(path, "rename");
    ::unlink(temp.c_str());
    return false;
  }
  // Make the rename itself durable; a failure here leaves a valid file.
  const int dir = ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

void ImageStore::MarkSaved(const sim::CardState& state) { saved_ = sim::SerializeCardState(state); }

bool ImageStore::SaveIfChanged(const sim::CardState& state, std::string* error) {
  if (!Enabled()) return true;
  std::vector<uint8_t> image = sim::SerializeCardState(state);
  if (image == saved_) return true;
  if (!WriteFileAtomically(path_, image, error)) return false;
  saved_ = std::move(image);
  return true;
}

}  // namespace zorad::vcard
