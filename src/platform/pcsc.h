// The PC/SC interface of the platform: WinSCard on Windows, pcsc-lite
// elsewhere. The module calls the ANSI names through the Scard* aliases
// below so that the reader layer reads the same on every system.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <winscard.h>

#define ZORAD_SCARD_ANSI(name) name##A
#else
#include <PCSC/winscard.h>
#include <PCSC/reader.h>

#define ZORAD_SCARD_ANSI(name) name
#ifndef ERROR_NOT_SUPPORTED
#define ERROR_NOT_SUPPORTED 50L
#endif
#endif

namespace zorad::platform {

using ScardReaderState = ZORAD_SCARD_ANSI(SCARD_READERSTATE);

inline LONG ScardListReaders(SCARDCONTEXT context, char* readers, DWORD* length) {
  return ZORAD_SCARD_ANSI(SCardListReaders)(context, nullptr, readers, length);
}

inline LONG ScardGetStatusChange(SCARDCONTEXT context, DWORD timeout,
                                 ScardReaderState* states, DWORD count) {
  return ZORAD_SCARD_ANSI(SCardGetStatusChange)(context, timeout, states, count);
}

inline LONG ScardConnect(SCARDCONTEXT context, const char* reader, DWORD shareMode,
                         DWORD protocols, SCARDHANDLE* card, DWORD* activeProtocol) {
  return ZORAD_SCARD_ANSI(SCardConnect)(context, reader, shareMode, protocols, card,
                                        activeProtocol);
}

inline LONG ScardStatus(SCARDHANDLE card, char* readerName, DWORD* readerLength,
                        DWORD* state, DWORD* protocol, BYTE* atr, DWORD* atrLength) {
  return ZORAD_SCARD_ANSI(SCardStatus)(card, readerName, readerLength, state, protocol,
                                       atr, atrLength);
}

}  // namespace zorad::platform
