// The WinSCard face of the PC/SC double: the SCard* functions and PCI
// objects of winscard.dll with their Windows signatures (LONG and DWORD are
// 32-bit, handles pointer-sized, reader names in the ANSI "A" forms), so that
// the shipped module loads this DLL in place of the system's. Each function
// only converts between WinSCard's types and the platform-neutral service,
// handles the caller's buffers (null buffer = size query, SCARD_AUTOALLOCATE
// = a buffer allocated here and released by SCardFreeMemory) and translates
// result codes (winscard_codes.h).
#define WINSCARDDATA
#include <windows.h>
#include <winscard.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "sim/pcsc/pcsc_service.h"
#include "sim/windows/winscard_codes.h"

namespace pcsc = zorad::sim::pcsc;
namespace service = zorad::sim::pcsc::service;
using zorad::sim::windows::ToWinScard;

extern "C" {
const SCARD_IO_REQUEST g_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardRawPci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};
}

namespace {

constexpr pcsc::Code kNoMemory = 0x80100006;  // SCARD_E_NO_MEMORY

LONG Result(pcsc::Code code) { return static_cast<LONG>(ToWinScard(code)); }

pcsc::Handle AsHandle(ULONG_PTR handle) { return static_cast<pcsc::Handle>(handle); }

bool AutoAllocate(const DWORD* length) {
  return length != nullptr && *length == SCARD_AUTOALLOCATE;
}

pcsc::OutputSpace SpaceFor(const void* buffer, const DWORD* length) {
  if (buffer == nullptr || length == nullptr) return {true, 0};
  if (AutoAllocate(length)) return {false, std::numeric_limits<size_t>::max()};
  return {false, static_cast<size_t>(*length)};
}

// Hands a produced value to the caller: its size for a size query or a
// buffer too small, its bytes otherwise.
pcsc::Code CopyOut(pcsc::Code code, const void* bytes, size_t size, void* buffer, DWORD* length) {
  if (length == nullptr) return code;
  if (code == pcsc::kInsufficientBuffer || buffer == nullptr) {
    if (code == pcsc::kSuccess || code == pcsc::kInsufficientBuffer) {
      *length = static_cast<DWORD>(size);
    }
    return code;
  }
  if (code != pcsc::kSuccess) return code;
  if (AutoAllocate(length)) {
    void* copy = std::malloc(size == 0 ? 1 : size);
    if (copy == nullptr) return kNoMemory;
    if (size != 0) std::memcpy(copy, bytes, size);
    std::memcpy(buffer, &copy, sizeof copy);  // buffer is a pointer's address
  } else if (size != 0) {
    std::memcpy(buffer, bytes, size);
  }
  *length = static_cast<DWORD>(size);
  return code;
}

void CopyReaderState(const pcsc::ReaderStateEntry& entry, SCARD_READERSTATEA& state) {
  state.dwEventState = entry.eventState;
  state.cbAtr = static_cast<DWORD>(std::min<size_t>(entry.atr.size(), sizeof state.rgbAtr));
  if (state.cbAtr != 0) std::memcpy(state.rgbAtr, entry.atr.data(), state.cbAtr);
}

}  // namespace

extern "C" {

LONG WINAPI SCardEstablishContext(DWORD dwScope, LPCVOID, LPCVOID, LPSCARDCONTEXT phContext) {
  pcsc::Handle handle = 0;
  const pcsc::Code code =
      service::EstablishContext(dwScope, phContext == nullptr ? nullptr : &handle);
  if (code == pcsc::kSuccess) *phContext = static_cast<SCARDCONTEXT>(handle);
  return Result(code);
}

LONG WINAPI SCardReleaseContext(SCARDCONTEXT hContext) {
  return Result(service::ReleaseContext(AsHandle(hContext)));
}

LONG WINAPI SCardIsValidContext(SCARDCONTEXT hContext) {
  return Result(service::IsValidContext(AsHandle(hContext)));
}

LONG WINAPI SCardCancel(SCARDCONTEXT hContext) {
  return Result(service::Cancel(AsHandle(hContext)));
}

LONG WINAPI SCardListReadersA(SCARDCONTEXT hContext, LPCSTR, LPSTR mszReaders,
                              LPDWORD pcchReaders) {
  if (pcchReaders == nullptr) {
    return Result(service::Refuse(pcsc::Call::kListReaders, pcsc::kInvalidParameter));
  }
  std::string readers;
  const pcsc::Code code =
      service::ListReaders(AsHandle(hContext), SpaceFor(mszReaders, pcchReaders), &readers);
  return Result(CopyOut(code, readers.data(), readers.size(), mszReaders, pcchReaders));
}

LONG WINAPI SCardFreeMemory(SCARDCONTEXT hContext, LPCVOID pvMem) {
  const pcsc::Code code = service::FreeMemory(AsHandle(hContext));
  if (code == pcsc::kSuccess) std::free(const_cast<void*>(pvMem));
  return Result(code);
}

LONG WINAPI SCardGetStatusChangeA(SCARDCONTEXT hContext, DWORD dwTimeout,
                                  LPSCARD_READERSTATEA rgReaderStates, DWORD cReaders) {
  if (rgReaderStates == nullptr && cReaders > 0) {
    return Result(service::Refuse(pcsc::Call::kGetStatusChange, pcsc::kInvalidParameter));
  }
  std::vector<pcsc::ReaderStateEntry> entries(cReaders);
  for (DWORD i = 0; i < cReaders; ++i) {
    if (rgReaderStates[i].szReader == nullptr) {
      return Result(service::Refuse(pcsc::Call::kGetStatusChange, pcsc::kInvalidValue));
    }
    entries[i].reader = rgReaderStates[i].szReader;
    entries[i].currentState = rgReaderStates[i].dwCurrentState;
  }
  // DWORD is 32-bit here: INFINITE is the double's infinite time-out.
  const pcsc::Code code = service::GetStatusChange(AsHandle(hContext), dwTimeout, entries);
  for (DWORD i = 0; i < cReaders; ++i) CopyReaderState(entries[i], rgReaderStates[i]);
  return Result(code);
}

LONG WINAPI SCardConnectA(SCARDCONTEXT hContext, LPCSTR szReader, DWORD dwShareMode,
                          DWORD dwPreferredProtocols, LPSCARDHANDLE phCard,
                          LPDWORD pdwActiveProtocol) {
  pcsc::Handle card = 0;
  uint32_t protocol = 0;
  const pcsc::Code code = service::Connect(
      AsHandle(hContext), szReader, dwShareMode, dwPreferredProtocols,
      phCard == nullptr ? nullptr : &card, pdwActiveProtocol == nullptr ? nullptr : &protocol);
  if (code == pcsc::kSuccess) {
    *phCard = static_cast<SCARDHANDLE>(card);
    *pdwActiveProtocol = protocol;
  }
  return Result(code);
}

LONG WINAPI SCardReconnect(SCARDHANDLE hCard, DWORD dwShareMode, DWORD dwPreferredProtocols,
                           DWORD dwInitialization, LPDWORD pdwActiveProtocol) {
  uint32_t protocol = 0;
  const pcsc::Code code =
      service::Reconnect(AsHandle(hCard), dwShareMode, dwPreferredProtocols, dwInitialization,
                         pdwActiveProtocol == nullptr ? nullptr : &protocol);
  if (code == pcsc::kSuccess) *pdwActiveProtocol = protocol;
  return Result(code);
}

LONG WINAPI SCardDisconnect(SCARDHANDLE hCard, DWORD dwDisposition) {
  return Result(service::Disconnect(AsHandle(hCard), dwDisposition));
}

LONG WINAPI SCardBeginTransaction(SCARDHANDLE hCard) {
  return Result(service::BeginTransaction(AsHandle(hCard)));
}

LONG WINAPI SCardEndTransaction(SCARDHANDLE hCard, DWORD dwDisposition) {
  return Result(service::EndTransaction(AsHandle(hCard), dwDisposition));
}

LONG WINAPI SCardTransmit(SCARDHANDLE hCard, LPCSCARD_IO_REQUEST pioSendPci, LPCBYTE pbSendBuffer,
                          DWORD cbSendLength, LPSCARD_IO_REQUEST pioRecvPci, LPBYTE pbRecvBuffer,
                          LPDWORD pcbRecvLength) {
  if (pioSendPci == nullptr || pbSendBuffer == nullptr || pbRecvBuffer == nullptr ||
      pcbRecvLength == nullptr) {
    return Result(service::Refuse(pcsc::Call::kTransmit, pcsc::kInvalidParameter));
  }
  std::vector<uint8_t> answer;
  const pcsc::Code code = service::Transmit(AsHandle(hCard), pioSendPci->dwProtocol,
                                            {pbSendBuffer, static_cast<size_t>(cbSendLength)},
                                            {false, static_cast<size_t>(*pcbRecvLength)}, &answer);
  if (code == pcsc::kSuccess || code == pcsc::kInsufficientBuffer) {
    if (code == pcsc::kSuccess && !answer.empty()) {
      std::memcpy(pbRecvBuffer, answer.data(), answer.size());
    }
    *pcbRecvLength = static_cast<DWORD>(answer.size());
    if (code == pcsc::kSuccess && pioRecvPci != nullptr) *pioRecvPci = *pioSendPci;
  }
  return Result(code);
}

LONG WINAPI SCardGetAttrib(SCARDHANDLE hCard, DWORD dwAttrId, LPBYTE pbAttr, LPDWORD pcbAttrLen) {
  if (pcbAttrLen == nullptr) {
    return Result(service::Refuse(pcsc::Call::kGetAttrib, pcsc::kInvalidParameter));
  }
  std::vector<uint8_t> value;
  const pcsc::Code code =
      service::GetAttrib(AsHandle(hCard), dwAttrId, SpaceFor(pbAttr, pcbAttrLen), &value);
  return Result(CopyOut(code, value.data(), value.size(), pbAttr, pcbAttrLen));
}

LONG WINAPI SCardStatusA(SCARDHANDLE hCard, LPSTR mszReaderNames, LPDWORD pcchReaderLen,
                         LPDWORD pdwState, LPDWORD pdwProtocol, LPBYTE pbAtr, LPDWORD pcbAtrLen) {
  if ((mszReaderNames != nullptr && pcchReaderLen == nullptr) ||
      (pbAtr != nullptr && pcbAtrLen == nullptr)) {
    return Result(service::Refuse(pcsc::Call::kStatus, pcsc::kInvalidParameter));
  }
  pcsc::CardStatusInfo status;
  pcsc::Code code = service::Status(AsHandle(hCard), SpaceFor(mszReaderNames, pcchReaderLen),
                                    SpaceFor(pbAtr, pcbAtrLen), &status);
  if (code != pcsc::kSuccess && code != pcsc::kInsufficientBuffer) return Result(code);
  if (pdwState != nullptr) *pdwState = status.state;
  if (pdwProtocol != nullptr) *pdwProtocol = status.protocol;
  // Both sizes are reported even when only one buffer is too small.
  const bool fits = code == pcsc::kSuccess;
  CopyOut(code, status.readerName.c_str(), status.readerName.size() + 1,
          fits ? mszReaderNames : nullptr, pcchReaderLen);
  code = CopyOut(code, status.atr.data(), status.atr.size(), fits ? pbAtr : nullptr, pcbAtrLen);
  return Result(code);
}

}  // extern "C"
