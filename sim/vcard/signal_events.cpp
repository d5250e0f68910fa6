#include "sim/vcard/signal_events.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace zorad::vcard {
namespace {

volatile sig_atomic_t gWriteFd = -1;

const int kHandled[] = {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2};

extern "C" void OnSignal(int signo) {
  const int saved = errno;
  const unsigned char code = static_cast<unsigned char>(signo);
  // A full pipe drops the event: dozens of unread signals carry no news.
  [[maybe_unused]] ssize_t n = ::write(gWriteFd, &code, 1);
  errno = saved;
}

}  // namespace

SignalEvents::SignalEvents() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
  readFd_ = fds[0];
  gWriteFd = fds[1];
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocked call returns to the loop
  for (int signo : kHandled) ::sigaction(signo, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

SignalEvents::~SignalEvents() {
  for (int signo : kHandled) std::signal(signo, SIG_DFL);
  if (readFd_ >= 0) ::close(readFd_);
  if (gWriteFd >= 0) ::close(gWriteFd);
  gWriteFd = -1;
}

std::vector<SignalEvent> SignalEvents::Take() {
  std::vector<SignalEvent> events;
  unsigned char codes[64];
  for (;;) {
    const ssize_t n = ::read(readFd_, codes, sizeof codes);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      switch (codes[i]) {
        case SIGUSR1:
          events.push_back(SignalEvent::kPull);
          break;
        case SIGUSR2:
          events.push_back(SignalEvent::kInsert);
          break;
        default:
          events.push_back(SignalEvent::kStop);
          break;
      }
    }
  }
  return events;
}

}  // namespace zorad::vcard
