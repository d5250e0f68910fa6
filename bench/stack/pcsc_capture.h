// The PC/SC calls a module makes, captured on their way to pcsc-lite.
//
// This program defines the SCard* functions the module uses for its card
// conversation and exports them, so that the module loaded into it calls
// these; each records the call and passes it on to pcsc-lite unchanged.
// Command data is kept in memory only (VERIFY carries the PIN) and wiped
// when the capture is dropped.
#pragma once

#include <winscard.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace zorad::bench {

struct PcscCall {
  enum class Kind { kTransmit, kBegin, kEnd, kReconnect, kDisconnect, kConnect, kStatusChange };
  Kind kind = Kind::kTransmit;
  // kTransmit: the command, held in place so that capturing allocates nothing
  // while the module runs.
  std::array<uint8_t, 5 + 256 + 1> command{};
  size_t commandLength = 0;
  DWORD receiveCapacity = 0;  // kTransmit
  bool t0 = false;            // kTransmit: sent with the T=0 protocol header
  uint16_t statusWord = 0;    // kTransmit: the card's answer
  DWORD share = 0;            // kConnect, kReconnect
  DWORD protocols = 0;        // kConnect, kReconnect
  DWORD disposition = 0;      // kEnd, kDisconnect; kReconnect: the initialisation
  DWORD timeout = 0;          // kStatusChange
  DWORD currentState = 0;     // kStatusChange (one reader)
  std::string reader;         // kConnect, kStatusChange
};

// pcsc-lite's own entry points, for calls that must not be captured.
struct RealPcsc {
  decltype(&SCardEstablishContext) establishContext;
  decltype(&SCardReleaseContext) releaseContext;
  decltype(&SCardConnect) connect;
  decltype(&SCardReconnect) reconnect;
  decltype(&SCardDisconnect) disconnect;
  decltype(&SCardBeginTransaction) beginTransaction;
  decltype(&SCardEndTransaction) endTransaction;
  decltype(&SCardGetStatusChange) getStatusChange;
  decltype(&SCardTransmit) transmit;
  decltype(&SCardListReaders) listReaders;
  const SCARD_IO_REQUEST* t0Pci;
  const SCARD_IO_REQUEST* t1Pci;
};

// Loads pcsc-lite on first use; throws BenchError when it cannot.
const RealPcsc& Real();

// Starts a new capture; the previous one is wiped.
void StartCapture();
// Wall time spent inside pcsc-lite by the calls of the current capture.
double CapturedPcscSeconds();
// Ends the capture and hands the calls over.
std::vector<PcscCall> StopCapture();
// Overwrites the command bytes of the calls (PINs among them).
void Wipe(std::vector<PcscCall>& calls);

}  // namespace zorad::bench
