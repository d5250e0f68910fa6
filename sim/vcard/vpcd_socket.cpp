#include "sim/vcard/vpcd_socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "sim/vcard/vpcd_frame.h"

namespace zorad::vcard {
namespace {

struct AddrInfoDeleter {
  void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};

// Waits for a non-blocking connect to finish; 0, or an errno value.
int FinishConnect(int fd, int wakeFd, int timeoutMs) {
  pollfd fds[2] = {{fd, POLLOUT, 0}, {wakeFd, POLLIN, 0}};
  const int ready = ::poll(fds, wakeFd >= 0 ? 2 : 1, timeoutMs);
  if (ready < 0) return errno;  // EINTR: the signal is waiting in wakeFd
  if (ready == 0) return ETIMEDOUT;
  if (wakeFd >= 0 && fds[1].revents != 0) return EINTR;
  int status = 0;
  socklen_t size = sizeof status;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &status, &size) != 0) return errno;
  return status;
}

int ConnectOne(const addrinfo& address, int wakeFd, int timeoutMs, int* failure) {
  const int fd = ::socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                          address.ai_protocol);
  if (fd < 0) {
    *failure = errno;
    return -1;
  }
  int status = 0;
  if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
    status = errno == EINPROGRESS ? FinishConnect(fd, wakeFd, timeoutMs) : errno;
  }
  if (status != 0) {
    *failure = status;
    ::close(fd);
    return -1;
  }
  // Back to blocking for the exchange; answers go out at once, unbatched.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

}  // namespace

int ConnectToVpcd(const std::string& host, uint16_t port, int wakeFd, int timeoutMs,
                  std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc != 0) {
    *error = host + ": " + ::gai_strerror(rc);
    return -1;
  }
  std::unique_ptr<addrinfo, AddrInfoDeleter> list(found);
  int failure = 0;
  for (const addrinfo* a = list.get(); a != nullptr; a = a->ai_next) {
    const int fd = ConnectOne(*a, wakeFd, timeoutMs, &failure);
    if (fd >= 0) return fd;
    if (failure == EINTR) break;
  }
  *error = host + ":" + std::to_string(port) + ": " + std::strerror(failure);
  return -1;
}

bool SendFrame(int fd, std::span<const uint8_t> payload) {
  const auto frame = EncodeFrame(payload);
  if (!frame) return false;
  size_t sent = 0;
  while (sent < frame->size()) {
    const ssize_t n = ::send(fd, frame->data() + sent, frame->size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace zorad::vcard
