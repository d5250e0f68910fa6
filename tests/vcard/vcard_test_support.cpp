#include "vcard_test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sim/vcard/vpcd_frame.h"

namespace zorad::vcard::testing {
namespace {

long long NowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool WaitReadable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  int rc;
  do {
    rc = ::poll(&p, 1, timeoutMs);
  } while (rc < 0 && errno == EINTR);
  return rc > 0;
}

}  // namespace

Bytes FromHex(const std::string& hex) {
  Bytes bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::string ToHex(std::span<const uint8_t> bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (uint8_t b : bytes) {
    text.push_back(kHex[b >> 4]);
    text.push_back(kHex[b & 0x0F]);
  }
  return text;
}

FakeVpcd::FakeVpcd(uint16_t port) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  socklen_t size = sizeof address;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::listen(listener_, 4) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    std::abort();
  }
  port_ = ntohs(address.sin_port);
}

FakeVpcd::~FakeVpcd() {
  CloseConnection();
  if (listener_ >= 0) ::close(listener_);
}

bool FakeVpcd::Accept(int timeoutMs) {
  CloseConnection();
  if (!WaitReadable(listener_, timeoutMs)) return false;
  conn_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
  return conn_ >= 0;
}

void FakeVpcd::CloseConnection() {
  if (conn_ >= 0) ::close(conn_);
  conn_ = -1;
}

void FakeVpcd::SendRaw(std::span<const uint8_t> bytes) {
  size_t sent = 0;
  while (conn_ >= 0 && sent < bytes.size()) {
    const ssize_t n = ::send(conn_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

void FakeVpcd::Send(std::span<const uint8_t> payload) {
  const auto frame = EncodeFrame(payload);
  if (frame) SendRaw(*frame);
}

bool FakeVpcd::ReadExactly(uint8_t* out, size_t n, int timeoutMs) {
  const long long deadline = NowMs() + timeoutMs;
  size_t got = 0;
  while (got < n) {
    const long long left = deadline - NowMs();
    if (left <= 0 || !WaitReadable(conn_, static_cast<int>(left))) return false;
    const ssize_t r = ::recv(conn_, out + got, n - got, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

std::optional<Bytes> FakeVpcd::Receive(int timeoutMs) {
  if (conn_ < 0) return std::nullopt;
  uint8_t prefix[2];
  if (!ReadExactly(prefix, 2, timeoutMs)) return std::nullopt;
  Bytes payload((size_t{prefix[0]} << 8) | prefix[1]);
  if (!payload.empty() && !ReadExactly(payload.data(), payload.size(), timeoutMs)) {
    return std::nullopt;
  }
  return payload;
}

Bytes FakeVpcd::Exchange(const Bytes& apdu) {
  Send(apdu);
  return Receive().value_or(Bytes{});
}

Bytes FakeVpcd::Atr() {
  SendControl(static_cast<uint8_t>(VpcdControl::kAtr));
  return Receive().value_or(Bytes{});
}

bool FakeVpcd::WaitForClose(int timeoutMs) {
  if (conn_ < 0) return true;
  const long long deadline = NowMs() + timeoutMs;
  uint8_t sink[256];
  for (;;) {
    const long long left = deadline - NowMs();
    if (left <= 0 || !WaitReadable(conn_, static_cast<int>(left))) return false;
    const ssize_t r = ::recv(conn_, sink, sizeof sink, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      CloseConnection();
      return true;
    }
  }
}

DaemonProcess::DaemonProcess(const std::vector<std::string>& args) {
  char pattern[] = "/tmp/zorad-vcard-stderr.XXXXXX";
  const int errFd = ::mkstemp(pattern);
  stderrPath_ = pattern;
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(errFd, STDERR_FILENO);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(ZORAD_VCARD_PATH));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  if (errFd >= 0) ::close(errFd);
}

DaemonProcess::~DaemonProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  ::unlink(stderrPath_.c_str());
}

void DaemonProcess::Signal(int signo) const {
  if (pid_ > 0) ::kill(pid_, signo);
}

std::optional<int> DaemonProcess::WaitExit(int timeoutMs) {
  const long long deadline = NowMs() + timeoutMs;
  while (pid_ > 0) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }
    if (NowMs() >= deadline) return std::nullopt;
    ::usleep(10000);
  }
  return std::nullopt;
}

std::string DaemonProcess::Stderr() const { return ReadFile(stderrPath_); }

TempDir::TempDir() {
  char pattern[] = "/tmp/zorad-vcard-test.XXXXXX";
  if (::mkdtemp(pattern) == nullptr) std::abort();
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace zorad::vcard::testing
