// The pcsc-lite face of the PC/SC double: the SCard* functions and PCI
// objects with pcsc-lite's exact signatures, so that a test executable links
// this library instead of libpcsclite. Each function only converts between
// pcsc-lite's types (LONG/DWORD are 64-bit here) and the platform-neutral
// service, and handles the caller's buffers: null buffer = size query,
// SCARD_AUTOALLOCATE = a buffer allocated here and released by
// SCardFreeMemory.
#include <winscard.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "sim/pcsc/pcsc_service.h"

namespace pcsc = zorad::sim::pcsc;
namespace service = zorad::sim::pcsc::service;

extern "C" {
const SCARD_IO_REQUEST g_rgSCardT0Pci = {SCARD_PROTOCOL_T0,
                                         sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardT1Pci = {SCARD_PROTOCOL_T1,
                                         sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardRawPci = {SCARD_PROTOCOL_RAW,
                                          sizeof(SCARD_IO_REQUEST)};
}

namespace {

LONG Result(pcsc::Code code) { return static_cast<LONG>(code); }

bool AutoAllocate(const DWORD* length) {
  return length != nullptr && *length == SCARD_AUTOALLOCATE;
}

pcsc::OutputSpace SpaceFor(const void* buffer, const DWORD* length) {
  if (buffer == nullptr || length == nullptr) return {true, 0};
  if (AutoAllocate(length)) {
    return {false, std::numeric_limits<size_t>::max()};
  }
  return {false, static_cast<size_t>(*length)};
}

// Hands a produced value to the caller: its size for a size query or a
// buffer too small, its bytes otherwise.
pcsc::Code CopyOut(pcsc::Code code, const void* bytes, size_t size,
                   void* buffer, DWORD* length) {
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
    if (copy == nullptr) return 0x80100006;  // SCARD_E_NO_MEMORY
    if (size != 0) std::memcpy(copy, bytes, size);
    std::memcpy(buffer, &copy, sizeof copy);  // buffer is a pointer's address
  } else if (size != 0) {
    std::memcpy(buffer, bytes, size);
  }
  *length = static_cast<DWORD>(size);
  return code;
}

// DWORD is wider than the service's 32 bits; out-of-range values stay out of
// range instead of wrapping into valid ones.
uint32_t U32(DWORD value) {
  return static_cast<uint32_t>(std::min<DWORD>(value, 0xFFFFFFFF));
}

uint32_t Timeout(DWORD timeout) {
  return timeout >= pcsc::kInfiniteTimeout ? pcsc::kInfiniteTimeout
                                           : static_cast<uint32_t>(timeout);
}

}  // namespace

extern "C" {

LONG SCardEstablishContext(DWORD dwScope, LPCVOID, LPCVOID,
                           LPSCARDCONTEXT phContext) {
  pcsc::Handle handle = 0;
  const pcsc::Code code = service::EstablishContext(
      U32(dwScope),
      phContext == nullptr ? nullptr : &handle);
  if (code == pcsc::kSuccess) *phContext = static_cast<SCARDCONTEXT>(handle);
  return Result(code);
}

LONG SCardReleaseContext(SCARDCONTEXT hContext) {
  return Result(service::ReleaseContext(static_cast<pcsc::Handle>(hContext)));
}

LONG SCardIsValidContext(SCARDCONTEXT hContext) {
  return Result(service::IsValidContext(static_cast<pcsc::Handle>(hContext)));
}

LONG SCardCancel(SCARDCONTEXT hContext) {
  return Result(service::Cancel(static_cast<pcsc::Handle>(hContext)));
}

LONG SCardListReaders(SCARDCONTEXT hContext, LPCSTR, LPSTR mszReaders,
                      LPDWORD pcchReaders) {
  if (pcchReaders == nullptr) {
    return Result(service::Refuse(pcsc::Call::kListReaders,
                                  pcsc::kInvalidParameter));
  }
  std::string readers;
  const pcsc::Code code =
      service::ListReaders(static_cast<pcsc::Handle>(hContext),
                           SpaceFor(mszReaders, pcchReaders), &readers);
  return Result(CopyOut(code, readers.data(), readers.size(), mszReaders,
                        pcchReaders));
}

LONG SCardFreeMemory(SCARDCONTEXT hContext, LPCVOID pvMem) {
  const pcsc::Code code =
      service::FreeMemory(static_cast<pcsc::Handle>(hContext));
  if (code == pcsc::kSuccess) std::free(const_cast<void*>(pvMem));
  return Result(code);
}

LONG SCardGetStatusChange(SCARDCONTEXT hContext, DWORD dwTimeout,
                          SCARD_READERSTATE* rgReaderStates, DWORD cReaders) {
  if (rgReaderStates == nullptr && cReaders > 0) {
    return Result(service::Refuse(pcsc::Call::kGetStatusChange,
                                  pcsc::kInvalidParameter));
  }
  std::vector<pcsc::ReaderStateEntry> entries(cReaders);
  for (DWORD i = 0; i < cReaders; ++i) {
    if (rgReaderStates[i].szReader == nullptr) {
      return Result(service::Refuse(pcsc::Call::kGetStatusChange,
                                    pcsc::kInvalidValue));
    }
    entries[i].reader = rgReaderStates[i].szReader;
    entries[i].currentState =
        static_cast<uint32_t>(rgReaderStates[i].dwCurrentState);
  }
  const pcsc::Code code = service::GetStatusChange(
      static_cast<pcsc::Handle>(hContext), Timeout(dwTimeout), entries);
  for (DWORD i = 0; i < cReaders; ++i) {
    SCARD_READERSTATE& state = rgReaderStates[i];
    state.dwEventState = entries[i].eventState;
    state.cbAtr = std::min<size_t>(entries[i].atr.size(), MAX_ATR_SIZE);
    if (state.cbAtr != 0) {
      std::memcpy(state.rgbAtr, entries[i].atr.data(), state.cbAtr);
    }
  }
  return Result(code);
}

LONG SCardConnect(SCARDCONTEXT hContext, LPCSTR szReader, DWORD dwShareMode,
                  DWORD dwPreferredProtocols, LPSCARDHANDLE phCard,
                  LPDWORD pdwActiveProtocol) {
  pcsc::Handle card = 0;
  uint32_t protocol = 0;
  const pcsc::Code code = service::Connect(
      static_cast<pcsc::Handle>(hContext), szReader,
      U32(dwShareMode),
      U32(dwPreferredProtocols),
      phCard == nullptr ? nullptr : &card,
      pdwActiveProtocol == nullptr ? nullptr : &protocol);
  if (code == pcsc::kSuccess) {
    *phCard = static_cast<SCARDHANDLE>(card);
    *pdwActiveProtocol = protocol;
  }
  return Result(code);
}

LONG SCardReconnect(SCARDHANDLE hCard, DWORD dwShareMode,
                    DWORD dwPreferredProtocols, DWORD dwInitialization,
                    LPDWORD pdwActiveProtocol) {
  uint32_t protocol = 0;
  const pcsc::Code code = service::Reconnect(
      static_cast<pcsc::Handle>(hCard), U32(dwShareMode),
      U32(dwPreferredProtocols),
      U32(dwInitialization),
      pdwActiveProtocol == nullptr ? nullptr : &protocol);
  if (code == pcsc::kSuccess) *pdwActiveProtocol = protocol;
  return Result(code);
}

LONG SCardDisconnect(SCARDHANDLE hCard, DWORD dwDisposition) {
  return Result(service::Disconnect(
      static_cast<pcsc::Handle>(hCard),
      U32(dwDisposition)));
}

LONG SCardBeginTransaction(SCARDHANDLE hCard) {
  return Result(service::BeginTransaction(static_cast<pcsc::Handle>(hCard)));
}

LONG SCardEndTransaction(SCARDHANDLE hCard, DWORD dwDisposition) {
  return Result(service::EndTransaction(
      static_cast<pcsc::Handle>(hCard),
      U32(dwDisposition)));
}

LONG SCardTransmit(SCARDHANDLE hCard, const SCARD_IO_REQUEST* pioSendPci,
                   LPCBYTE pbSendBuffer, DWORD cbSendLength,
                   SCARD_IO_REQUEST* pioRecvPci, LPBYTE pbRecvBuffer,
                   LPDWORD pcbRecvLength) {
  if (pioSendPci == nullptr || pbSendBuffer == nullptr ||
      pbRecvBuffer == nullptr || pcbRecvLength == nullptr) {
    return Result(service::Refuse(pcsc::Call::kTransmit,
                                  pcsc::kInvalidParameter));
  }
  std::vector<uint8_t> answer;
  const pcsc::Code code = service::Transmit(
      static_cast<pcsc::Handle>(hCard),
      U32(pioSendPci->dwProtocol),
      {pbSendBuffer, static_cast<size_t>(cbSendLength)},
      {false, static_cast<size_t>(*pcbRecvLength)}, &answer);
  if (code == pcsc::kSuccess || code == pcsc::kInsufficientBuffer) {
    if (code == pcsc::kSuccess && !answer.empty()) {
      std::memcpy(pbRecvBuffer, answer.data(), answer.size());
    }
    *pcbRecvLength = static_cast<DWORD>(answer.size());
    if (code == pcsc::kSuccess && pioRecvPci != nullptr) {
      *pioRecvPci = *pioSendPci;
    }
  }
  return Result(code);
}

LONG SCardGetAttrib(SCARDHANDLE hCard, DWORD dwAttrId, LPBYTE pbAttr,
                    LPDWORD pcbAttrLen) {
  if (pcbAttrLen == nullptr) {
    return Result(service::Refuse(pcsc::Call::kGetAttrib,
                                  pcsc::kInvalidParameter));
  }
  std::vector<uint8_t> value;
  const pcsc::Code code = service::GetAttrib(
      static_cast<pcsc::Handle>(hCard),
      U32(dwAttrId),
      SpaceFor(pbAttr, pcbAttrLen), &value);
  return Result(CopyOut(code, value.data(), value.size(), pbAttr, pcbAttrLen));
}

LONG SCardStatus(SCARDHANDLE hCard, LPSTR mszReaderName,
                 LPDWORD pcchReaderLen, LPDWORD pdwState, LPDWORD pdwProtocol,
                 LPBYTE pbAtr, LPDWORD pcbAtrLen) {
  if ((mszReaderName != nullptr && pcchReaderLen == nullptr) ||
      (pbAtr != nullptr && pcbAtrLen == nullptr)) {
    return Result(service::Refuse(pcsc::Call::kStatus,
                                  pcsc::kInvalidParameter));
  }
  pcsc::CardStatusInfo status;
  pcsc::Code code = service::Status(
      static_cast<pcsc::Handle>(hCard), SpaceFor(mszReaderName, pcchReaderLen),
      SpaceFor(pbAtr, pcbAtrLen), &status);
  if (code != pcsc::kSuccess && code != pcsc::kInsufficientBuffer) {
    return Result(code);
  }
  if (pdwState != nullptr) *pdwState = status.state;
  if (pdwProtocol != nullptr) *pdwProtocol = status.protocol;
  // Both sizes are reported even when only one buffer is too small.
  const bool fits = code == pcsc::kSuccess;
  CopyOut(code, status.readerName.c_str(), status.readerName.size() + 1,
          fits ? mszReaderName : nullptr, pcchReaderLen);
  code = CopyOut(code, status.atr.data(), status.atr.size(),
                 fits ? pbAtr : nullptr, pcbAtrLen);
  return Result(code);
}

}  // extern "C"
