#include "reader/reader_result.h"

#include <iterator>

#include "trace/trace.h"

namespace zorad::reader {
namespace {

struct ScardMapping {
  uint32_t code;
  ReaderResult result;
};

// Causes the callers tell apart; every other failure is RDR_FAILED.
const ScardMapping kMappings[] = {
    {ScardCode(SCARD_E_TIMEOUT), RDR_TIMEOUT},
    {ScardCode(SCARD_E_UNKNOWN_READER), RDR_UNKNOWN_READER},
    {ScardCode(SCARD_E_READER_UNAVAILABLE), RDR_UNKNOWN_READER},
    {ScardCode(SCARD_E_INSUFFICIENT_BUFFER), RDR_BUFFER_TOO_SMALL},
    {ScardCode(SCARD_E_NO_READERS_AVAILABLE), RDR_NO_READERS},
    {ScardCode(SCARD_E_NO_SERVICE), RDR_NO_SERVICE},
    {ScardCode(SCARD_E_SERVICE_STOPPED), RDR_NO_SERVICE},
};

}  // namespace

ReaderResult MapSCardError(uint32_t code) {
  ZORAD_TRACE(trace::kSteps, "SCard error: %08X\n", code);
  if (code == ScardCode(SCARD_S_SUCCESS)) return RDR_OK;
  for (const ScardMapping& mapping : kMappings) {
    if (mapping.code == code) return mapping.result;
  }
  return RDR_FAILED;
}

bool IsUnsupportedAttribute(uint32_t code) {
  return code == ScardCode(ERROR_NOT_SUPPORTED) ||
         code == ScardCode(SCARD_E_UNSUPPORTED_FEATURE);
}

}  // namespace zorad::reader
