// The state of a set of readers, from one status-change query.
#include <new>
#include <vector>

#include "reader/reader.h"
#include "reader/reader_context.h"
#include "trace/trace.h"

namespace zorad::reader {
namespace {

ReaderResult QueryStates(Reader* const* readers, size_t count, uint32_t timeoutMs) {
  std::vector<platform::ScardReaderState> entries;
  try {
    entries.resize(count);
  } catch (const std::bad_alloc&) {
    return RDR_NO_MEMORY;
  }
  for (size_t i = 0; i < count; ++i) {
    entries[i] = {};
    entries[i].szReader = readers[i]->name.c_str();
    entries[i].dwCurrentState = readers[i]->currentState;
  }
  const LONG rc = platform::ScardGetStatusChange(ReaderContext(), timeoutMs, entries.data(),
                                                 static_cast<DWORD>(count));
  if (rc != SCARD_S_SUCCESS) {
    ZORAD_TRACE(trace::kSteps, "SCardGetStatusChange: %08X\n", ScardCode(rc));
    return MapSCardError(rc);
  }
  for (size_t i = 0; i < count; ++i) {
    readers[i]->previousState = readers[i]->currentState;
    readers[i]->currentState =
        static_cast<uint32_t>(entries[i].dwEventState) & ~static_cast<uint32_t>(SCARD_STATE_IGNORE);
  }
  return RDR_OK;
}

bool ValidReaders(Reader* const* readers, size_t count) {
  if (readers == nullptr || count == 0 || count > UINT32_MAX) return false;
  for (size_t i = 0; i < count; ++i) {
    if (readers[i] == nullptr) return false;
  }
  return true;
}

}  // namespace

ReaderResult CheckReaderState(Reader* const* readers, size_t count, uint32_t timeoutMs) {
  ZORAD_TRACE(trace::kOperations, "CheckReaderState\n");
  ReaderResult result = RDR_OK;
  if (ReaderContext() == 0) {
    result = MissingContext();
  } else if (!ValidReaders(readers, count)) {
    result = RDR_BAD_ARGUMENTS;
  } else {
    result = QueryStates(readers, count, timeoutMs);
  }
  ZORAD_TRACE(trace::kOperations, "CheckReaderState: %x\n", static_cast<unsigned>(result));
  return result;
}

}  // namespace zorad::reader
