#include "sim/vcard/vcard_daemon.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "sim/vcard/vpcd_socket.h"

namespace zorad::vcard {
namespace {

constexpr int kFirstRetryMs = 100;
constexpr int kLongestRetryMs = 2000;
constexpr int kConnectTimeoutMs = 5000;
constexpr size_t kReadChunk = 4096;

}  // namespace

int VcardDaemon::Run() {
  int retryMs = kFirstRetryMs;
  bool toldWaiting = false;
  while (!stop_) {
    if (pulled_) {
      WaitForSignals(-1);
      continue;
    }
    std::string error;
    const int fd = ConnectToVpcd(vpcd_.host, vpcd_.port, signals_.Fd(), kConnectTimeoutMs, &error);
    if (fd < 0) {
      if (!toldWaiting) std::fprintf(stderr, "zorad-vcard: waiting for vpcd (%s)\n", error.c_str());
      toldWaiting = true;
      WaitForSignals(retryMs);
      retryMs = std::min(retryMs * 2, kLongestRetryMs);
      continue;
    }
    toldWaiting = false;
    retryMs = kFirstRetryMs;
    card_.Reinsert();
    log_.Note("card inserted");
    std::fprintf(stderr, "zorad-vcard: card inserted (%s:%u)\n", vpcd_.host.c_str(), vpcd_.port);
    const Outcome outcome = Serve(fd);
    ::close(fd);
    switch (outcome) {
      case Outcome::kStop:
        Remove("stopping");
        break;
      case Outcome::kPulled:
        Remove("pulled");
        break;
      case Outcome::kClosed:
        Remove("reader closed the connection");
        WaitForSignals(retryMs);  // give a restarting vpcd a moment
        break;
    }
  }
  std::string error;
  if (!image_.SaveIfChanged(card_.State(), &error)) {
    std::fprintf(stderr, "zorad-vcard: cannot save the card image: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

VcardDaemon::Outcome VcardDaemon::Serve(int fd) {
  FrameDecoder decoder;
  VpcdSession session(card_, image_, log_);
  for (;;) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {signals_.Fd(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return Outcome::kClosed;
    }
    if (fds[1].revents != 0) {
      const bool pulled = ApplySignals();
      if (stop_) return Outcome::kStop;
      if (pulled) return Outcome::kPulled;
    }
    if (fds[0].revents != 0 && !ReadAndAnswer(fd, decoder, session)) return Outcome::kClosed;
  }
}

// False when the connection is over: closed by the reader, failed, or the
// card left the reader while answering.
bool VcardDaemon::ReadAndAnswer(int fd, FrameDecoder& decoder, VpcdSession& session) {
  uint8_t buffer[kReadChunk];
  const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
  // vpcd writes each frame in two pieces (length, then bytes); acknowledge
  // at once so its second write is not held back by a delayed ACK (the
  // kernel turns quick acknowledgement off again after a while).
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
  if (n < 0) return errno == EINTR || errno == EAGAIN;
  if (n == 0) return false;
  decoder.Feed(std::span<const uint8_t>(buffer, static_cast<size_t>(n)));
  while (auto message = decoder.Next()) {
    const auto answer = session.Handle(*message);
    if (session.CardGone()) return false;
    if (answer && !SendFrame(fd, *answer)) return false;
  }
  return true;
}

bool VcardDaemon::WaitForSignals(int timeoutMs) {
  pollfd fds[1] = {{signals_.Fd(), POLLIN, 0}};
  const int ready = ::poll(fds, 1, timeoutMs);
  return ready > 0 && ApplySignals();
}

bool VcardDaemon::ApplySignals() {
  bool pulled = false;
  for (SignalEvent event : signals_.Take()) {
    switch (event) {
      case SignalEvent::kStop:
        stop_ = true;
        break;
      case SignalEvent::kPull:
        pulled_ = pulled = true;
        break;
      case SignalEvent::kInsert:
        pulled_ = false;
        break;
    }
  }
  return pulled;
}

void VcardDaemon::Remove(const char* why) {
  card_.PowerOff();  // out of the reader: the volatile state is gone
  log_.Note(std::string("card removed: ") + why);
  std::fprintf(stderr, "zorad-vcard: card removed: %s\n", why);
}

}  // namespace zorad::vcard
