// Signals as events the daemon's poll loop can wait for: the handlers only
// write the signal number into a pipe (the one thing a handler may safely
// do), and the loop reads them back in order.
#pragma once

#include <vector>

namespace zorad::vcard {

enum class SignalEvent { kStop, kPull, kInsert };

class SignalEvents {
 public:
  // Installs the handlers for SIGTERM, SIGINT, SIGHUP (stop), SIGUSR1
  // (pull), SIGUSR2 (insert) and ignores SIGPIPE. One instance per process.
  SignalEvents();
  ~SignalEvents();
  SignalEvents(const SignalEvents&) = delete;
  SignalEvents& operator=(const SignalEvents&) = delete;

  bool Ok() const { return readFd_ >= 0; }
  // Readable when at least one signal arrived.
  int Fd() const { return readFd_; }
  // The events that arrived since the last call, without waiting.
  std::vector<SignalEvent> Take();

 private:
  int readFd_ = -1;
};

}  // namespace zorad::vcard
