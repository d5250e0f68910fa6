// The simulated PC/SC service, one operation per PC/SC call, in
// platform-neutral types. The export layers (pcsc-lite here, WinSCard for
// the Windows build) only convert arguments and buffers and call these.
//
// Output buffers follow one convention: the operation always produces the
// whole value; with OutputSpace::sizeOnly the caller wants only its size,
// otherwise a value larger than the capacity fails with
// kInsufficientBuffer (and the caller reports the size needed).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/pcsc/pcsc_double.h"
#include "sim/pcsc/pcsc_types.h"

namespace zorad::sim::pcsc::service {

Code EstablishContext(uint32_t scope, Handle* context);
Code ReleaseContext(Handle context);
Code IsValidContext(Handle context);
Code Cancel(Handle context);
// The reader names as a multi-string: each name NUL-terminated, the list
// ended by one more NUL.
Code ListReaders(Handle context, OutputSpace space, std::string* readers);
Code GetStatusChange(Handle context, uint32_t timeoutMs,
                     std::span<ReaderStateEntry> entries);

Code Connect(Handle context, const char* reader, uint32_t shareMode,
             uint32_t preferredProtocols, Handle* card, uint32_t* protocol);
Code Reconnect(Handle card, uint32_t shareMode, uint32_t preferredProtocols,
               uint32_t initialization, uint32_t* protocol);
Code Disconnect(Handle card, uint32_t disposition);
Code BeginTransaction(Handle card);
Code EndTransaction(Handle card, uint32_t disposition);

// `pciProtocol` is the dwProtocol of the send PCI (the export layer passes
// kProtocolUndefined for a null PCI, which is refused).
Code Transmit(Handle card, uint32_t pciProtocol,
              std::span<const uint8_t> command, OutputSpace space,
              std::vector<uint8_t>* answer);
Code GetAttrib(Handle card, uint32_t attribute, OutputSpace space,
               std::vector<uint8_t>* value);
Code Status(Handle card, OutputSpace nameSpace, OutputSpace atrSpace,
            CardStatusInfo* status);
Code FreeMemory(Handle context);

// A call the export layer refuses for its arguments before the service sees
// it (for example a null reader name in a status-change entry); counted and
// logged like any other call. Answers `code`, or the stopped service's code.
Code Refuse(Call call, Code code);

}  // namespace zorad::sim::pcsc::service
