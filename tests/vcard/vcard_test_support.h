// Helpers for the daemon tests: a fake vpcd (the reader side of the socket
// protocol, listening on a loopback port of its own) and the zorad-vcard
// process under test.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace zorad::vcard::testing {

using Bytes = std::vector<uint8_t>;

Bytes FromHex(const std::string& hex);
std::string ToHex(std::span<const uint8_t> bytes);

// The reader side: listens on 127.0.0.1 at a free port and accepts the
// card daemon's connections one at a time.
class FakeVpcd {
 public:
  FakeVpcd() : FakeVpcd(0) {}
  explicit FakeVpcd(uint16_t port);  // 0: any free port
  ~FakeVpcd();
  FakeVpcd(const FakeVpcd&) = delete;
  FakeVpcd& operator=(const FakeVpcd&) = delete;

  uint16_t Port() const { return port_; }
  // Waits for the card to connect (to be inserted).
  bool Accept(int timeoutMs = 5000);
  bool Connected() const { return conn_ >= 0; }
  // Drops the current connection: the card is out of the reader.
  void CloseConnection();

  void SendRaw(std::span<const uint8_t> bytes);
  void Send(std::span<const uint8_t> payload);  // framed
  void SendControl(uint8_t code) { Send(std::span<const uint8_t>(&code, 1)); }
  // The next framed message from the card; nullopt on time-out or when the
  // card closed the connection.
  std::optional<Bytes> Receive(int timeoutMs = 5000);
  // Sends a command APDU and returns the answer (empty when none came).
  Bytes Exchange(const Bytes& apdu);
  Bytes Atr();
  // True when the card closes the connection within the time.
  bool WaitForClose(int timeoutMs = 5000);

 private:
  bool ReadExactly(uint8_t* out, size_t n, int timeoutMs);

  int listener_ = -1;
  int conn_ = -1;
  uint16_t port_ = 0;
};

// zorad-vcard as a child process, its standard error kept in a file.
class DaemonProcess {
 public:
  explicit DaemonProcess(const std::vector<std::string>& args);
  ~DaemonProcess();  // kills and reaps it if it still runs
  DaemonProcess(const DaemonProcess&) = delete;
  DaemonProcess& operator=(const DaemonProcess&) = delete;

  void Signal(int signo) const;
  // The exit status, or nullopt when it still runs after the time (or died
  // from a signal: then -signo).
  std::optional<int> WaitExit(int timeoutMs = 5000);
  std::string Stderr() const;

 private:
  pid_t pid_ = -1;
  std::string stderrPath_;
};

// A folder of its own for one test, removed afterwards.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);

}  // namespace zorad::vcard::testing
