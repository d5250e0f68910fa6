// The reader's vendor name and version, for the slot information.
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "reader/reader.h"
#include "reader/reader_context.h"
#include "trace/trace.h"

namespace zorad::reader {
namespace {

// Read into a buffer of this size when the driver cannot tell the size.
constexpr DWORD kVendorFallbackSize = 256;

// The card handle GetVersion works with: the reader's own connection, or a
// temporary one that is left (SCARD_LEAVE_CARD) when this goes out of scope.
class VersionConnection {
 public:
  explicit VersionConnection(Reader* reader) {
    if (reader != nullptr && reader->card != 0) card_ = reader->card;
  }
  ~VersionConnection() {
    if (temporary_) SCardDisconnect(card_, SCARD_LEAVE_CARD);
  }
  VersionConnection(const VersionConnection&) = delete;
  VersionConnection& operator=(const VersionConnection&) = delete;

  bool connected() const { return card_ != 0; }
  bool temporary() const { return temporary_; }
  SCARDHANDLE card() const { return card_; }

  // Shared first; a reader without a card is reached directly.
  LONG Open(const char* name) {
    ZORAD_TRACE(trace::kSteps, "...SCardConnect\n");
    DWORD protocol = 0;
    LONG rc = platform::ScardConnect(ReaderContext(), name, SCARD_SHARE_SHARED,
                                     SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card_, &protocol);
    if (rc != SCARD_S_SUCCESS) {
      card_ = 0;
      rc = platform::ScardConnect(ReaderContext(), name, SCARD_SHARE_DIRECT, 0, &card_,
                                  &protocol);
      ZORAD_TRACE(trace::kSteps, "...SCardConnect: %x\n", ScardCode(rc));
    }
    if (rc != SCARD_S_SUCCESS) card_ = 0;
    temporary_ = card_ != 0;
    return rc;
  }

 private:
  SCARDHANDLE card_ = 0;
  bool temporary_ = false;
};

// Copies the vendor name, at most the caller's capacity; a driver that does
// not know the attribute leaves the caller's buffer as it was.
LONG ReadVendorName(SCARDHANDLE card, uint8_t* vendor, size_t* vendorLength) {
  DWORD size = 0;
  LONG rc = SCardGetAttrib(card, SCARD_ATTR_VENDOR_NAME, nullptr, &size);
  if (IsUnsupportedAttribute(ScardCode(rc))) return SCARD_S_SUCCESS;
  if (rc != SCARD_S_SUCCESS || size == 0) size = kVendorFallbackSize;
  std::vector<uint8_t> value;
  try {
    value.resize(size);
  } catch (const std::bad_alloc&) {
    return SCARD_E_NO_MEMORY;
  }
  rc = SCardGetAttrib(card, SCARD_ATTR_VENDOR_NAME, value.data(), &size);
  if (IsUnsupportedAttribute(ScardCode(rc))) return SCARD_S_SUCCESS;
  if (rc != SCARD_S_SUCCESS) return rc;
  const size_t stored = std::min({*vendorLength, static_cast<size_t>(size), value.size()});
  std::memcpy(vendor, value.data(), stored);
  *vendorLength = stored;
  return rc;
}

// The interface-device version, 0 when the driver does not know it. The
// attribute is a little-endian 32-bit value.
LONG ReadIfdVersion(SCARDHANDLE card, uint32_t* version) {
  uint8_t bytes[4] = {};
  DWORD size = sizeof bytes;
  const LONG rc = SCardGetAttrib(card, SCARD_ATTR_VENDOR_IFD_VERSION, bytes, &size);
  if (IsUnsupportedAttribute(ScardCode(rc))) {
    *version = 0;
    return SCARD_S_SUCCESS;
  }
  if (rc != SCARD_S_SUCCESS) return rc;
  *version = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
             static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
  return rc;
}

}  // namespace

ReaderResult GetVersion(Reader* reader, const char* name, uint8_t* vendor,
                        size_t* vendorLength, uint32_t* version) {
  ZORAD_TRACE(trace::kOperations, "GetVersion %s\n", name != nullptr ? name : "");
  if (name == nullptr || name[0] == '\0' || vendor == nullptr || vendorLength == nullptr ||
      version == nullptr) {
    return RDR_BAD_ARGUMENTS;
  }
  if (ReaderContext() == 0) return RDR_NOT_CONNECTED;
  VersionConnection connection(reader);
  if (!connection.connected()) {
    const LONG rc = connection.Open(name);
    if (rc != SCARD_S_SUCCESS) return MapSCardError(rc);
  }
  LONG rc = ReadVendorName(connection.card(), vendor, vendorLength);
  if (rc != SCARD_S_SUCCESS) return MapSCardError(rc);
  rc = ReadIfdVersion(connection.card(), version);
  if (rc != SCARD_S_SUCCESS) {
    ZORAD_TRACE(trace::kSteps, "...SCardDisconnect: %x\n", ScardCode(rc));
    return MapSCardError(rc);
  }
  if (connection.temporary()) {
    ZORAD_TRACE(trace::kSteps, "...SCardDisconnect, prs == NULL\n");
  }
  ZORAD_TRACE(trace::kOperations, "GetVersion: 0\n");
  return RDR_OK;
}

}  // namespace zorad::reader
