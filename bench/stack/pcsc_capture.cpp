#include "stack/pcsc_capture.h"

#include <dlfcn.h>

#include <algorithm>

#include "common/p11_client.h"
#include "common/report.h"

namespace zorad::bench {
namespace {

bool g_capturing = false;
std::vector<PcscCall> g_calls;
double g_insidePcsc = 0;

// Runs one pcsc-lite call, adding its wall time to the capture's.
template <typename Call>
LONG Timed(Call&& call) {
  const auto start = Clock::now();
  const LONG rv = call();
  if (g_capturing) g_insidePcsc += SecondsSince(start);
  return rv;
}

template <typename F>
void Resolve(void* library, const char* name, F& function) {
  function = reinterpret_cast<F>(dlsym(library, name));
  if (function == nullptr) throw BenchError(std::string("pcsc-lite lacks ") + name);
}

RealPcsc Load() {
  void* library = dlopen("libpcsclite.so.1", RTLD_NOW | RTLD_GLOBAL);
  if (library == nullptr) throw BenchError(std::string("cannot load pcsc-lite: ") + dlerror());
  RealPcsc real{};
  Resolve(library, "SCardEstablishContext", real.establishContext);
  Resolve(library, "SCardReleaseContext", real.releaseContext);
  Resolve(library, "SCardConnect", real.connect);
  Resolve(library, "SCardReconnect", real.reconnect);
  Resolve(library, "SCardDisconnect", real.disconnect);
  Resolve(library, "SCardBeginTransaction", real.beginTransaction);
  Resolve(library, "SCardEndTransaction", real.endTransaction);
  Resolve(library, "SCardGetStatusChange", real.getStatusChange);
  Resolve(library, "SCardTransmit", real.transmit);
  Resolve(library, "SCardListReaders", real.listReaders);
  Resolve(library, "g_rgSCardT0Pci", real.t0Pci);
  Resolve(library, "g_rgSCardT1Pci", real.t1Pci);
  return real;
}

void Record(PcscCall call) {
  if (g_capturing) g_calls.push_back(std::move(call));
}

// A call without command data: its kind and its arguments.
void Record(PcscCall::Kind kind, DWORD disposition, DWORD share = 0, DWORD protocols = 0) {
  PcscCall call;
  call.kind = kind;
  call.disposition = disposition;
  call.share = share;
  call.protocols = protocols;
  Record(std::move(call));
}

}  // namespace

const RealPcsc& Real() {
  static const RealPcsc real = Load();
  return real;
}

void Wipe(std::vector<PcscCall>& calls) {
  for (PcscCall& call : calls) {
    volatile uint8_t* bytes = call.command.data();
    for (size_t i = 0; i < call.commandLength; ++i) bytes[i] = 0;
  }
  calls.clear();
}

void StartCapture() {
  Wipe(g_calls);
  g_calls.reserve(1024);  // kept from capture to capture
  g_insidePcsc = 0;
  g_capturing = true;
}

double CapturedPcscSeconds() { return g_insidePcsc; }

std::vector<PcscCall> StopCapture() {
  g_capturing = false;
  std::vector<PcscCall> calls(g_calls);
  Wipe(g_calls);
  return calls;
}

}  // namespace zorad::bench

using zorad::bench::PcscCall;
using zorad::bench::Real;
using zorad::bench::Timed;

extern "C" {

LONG SCardTransmit(SCARDHANDLE hCard, const SCARD_IO_REQUEST* pioSendPci, LPCBYTE pbSendBuffer,
                   DWORD cbSendLength, SCARD_IO_REQUEST* pioRecvPci, LPBYTE pbRecvBuffer,
                   LPDWORD pcbRecvLength) {
  const DWORD capacity = pcbRecvLength ? *pcbRecvLength : 0;
  const LONG rv = Timed([&] {
    return Real().transmit(hCard, pioSendPci, pbSendBuffer, cbSendLength, pioRecvPci, pbRecvBuffer,
                           pcbRecvLength);
  });
  PcscCall call;
  call.kind = PcscCall::Kind::kTransmit;
  call.commandLength = std::min<size_t>(cbSendLength, call.command.size());
  std::copy(pbSendBuffer, pbSendBuffer + call.commandLength, call.command.begin());
  call.receiveCapacity = capacity;
  call.t0 = pioSendPci == Real().t0Pci;
  if (rv == SCARD_S_SUCCESS && pcbRecvLength && *pcbRecvLength >= 2) {
    call.statusWord = static_cast<uint16_t>(pbRecvBuffer[*pcbRecvLength - 2] << 8 |
                                            pbRecvBuffer[*pcbRecvLength - 1]);
  }
  zorad::bench::Record(std::move(call));
  return rv;
}

LONG SCardBeginTransaction(SCARDHANDLE hCard) {
  zorad::bench::Record(PcscCall::Kind::kBegin, 0);
  return Timed([&] { return Real().beginTransaction(hCard); });
}

LONG SCardEndTransaction(SCARDHANDLE hCard, DWORD dwDisposition) {
  zorad::bench::Record(PcscCall::Kind::kEnd, dwDisposition);
  return Timed([&] { return Real().endTransaction(hCard, dwDisposition); });
}

LONG SCardReconnect(SCARDHANDLE hCard, DWORD dwShareMode, DWORD dwPreferredProtocols,
                    DWORD dwInitialization, LPDWORD pdwActiveProtocol) {
  zorad::bench::Record(PcscCall::Kind::kReconnect, dwInitialization, dwShareMode,
                       dwPreferredProtocols);
  return Timed([&] {
    return Real().reconnect(hCard, dwShareMode, dwPreferredProtocols, dwInitialization,
                            pdwActiveProtocol);
  });
}

LONG SCardDisconnect(SCARDHANDLE hCard, DWORD dwDisposition) {
  zorad::bench::Record(PcscCall::Kind::kDisconnect, dwDisposition);
  return Timed([&] { return Real().disconnect(hCard, dwDisposition); });
}

LONG SCardConnect(SCARDCONTEXT hContext, LPCSTR szReader, DWORD dwShareMode,
                  DWORD dwPreferredProtocols, LPSCARDHANDLE phCard, LPDWORD pdwActiveProtocol) {
  PcscCall call;
  call.kind = PcscCall::Kind::kConnect;
  call.share = dwShareMode;
  call.protocols = dwPreferredProtocols;
  call.reader = szReader ? szReader : "";
  zorad::bench::Record(std::move(call));
  return Timed([&] {
    return Real().connect(hContext, szReader, dwShareMode, dwPreferredProtocols, phCard,
                          pdwActiveProtocol);
  });
}

LONG SCardGetStatusChange(SCARDCONTEXT hContext, DWORD dwTimeout, SCARD_READERSTATE* rgReaderStates,
                          DWORD cReaders) {
  if (cReaders == 1 && rgReaderStates != nullptr) {
    PcscCall call;
    call.kind = PcscCall::Kind::kStatusChange;
    call.timeout = dwTimeout;
    call.currentState = rgReaderStates[0].dwCurrentState;
    call.reader = rgReaderStates[0].szReader ? rgReaderStates[0].szReader : "";
    zorad::bench::Record(std::move(call));
  }
  return Timed(
      [&] { return Real().getStatusChange(hContext, dwTimeout, rgReaderStates, cReaders); });
}

}  // extern "C"
