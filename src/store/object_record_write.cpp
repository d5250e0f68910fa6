// Writing whole records and headers.
#include <new>
#include <vector>

#include "card/apdu.h"
#include "card/area_select.h"
#include "card/crc32.h"
#include "card/token.h"
#include "reader/reader.h"
#include "store/object_record.h"
#include "store/record_body.h"
#include "store/template_summary.h"
#include "trace/trace.h"

namespace zorad::store {
namespace {

// Header, body, and zeros to the end of the last block.
std::vector<uint8_t> BuildRecord(TokenObject& object, bool isKey, uint16_t blockSize) {
  const std::vector<uint8_t> body = EncodeBody(object.attributes, isKey);
  object.toh.size = static_cast<uint16_t>(body.size());
  object.toh.crc = card::CRC32(body);
  ++object.toh.updateCount;
  object.toh.Seal();
  const HeaderBytes header = object.toh.Encode();
  std::vector<uint8_t> record(header.begin(), header.end());
  record.insert(record.end(), body.begin(), body.end());
  record.resize(record.size() + blockSize, 0);
  return record;
}

// One whole-block write per block until the record is on the card.
CK_RV WriteBlocks(slot::Slot& slot, const std::vector<uint16_t>& blocks,
                  const std::vector<uint8_t>& record, size_t recordSize) {
  const card::AreaLayout& layout = slot.token->objects.toat()->Layout();
  if (card::EnsureAreaFile(slot) != CKR_OK) return CKR_DEVICE_ERROR;
  size_t written = 0;
  for (size_t k = 0; k < blocks.size() && written < recordSize; ++k) {
    if (card::APDU_UpdateBF(slot.reader.get(), layout.BlockOffset(blocks[k]),
                            record.data() + written, layout.BlockSize(),
                            slot.token->info.writeChunk) != reader::RDR_OK) {
      return CKR_DEVICE_ERROR;
    }
    written += layout.BlockSize();
  }
  return written >= recordSize ? CKR_OK : CKR_DEVICE_ERROR;
}

CK_RV WriteRecord(slot::Slot& slot, TokenObject& object, const TemplateSummary& summary) {
  const card::AllocationTable& table = *slot.token->objects.toat();
  const auto blocks = table.BlocksOf(object.offs);
  const size_t recordSize = kHeaderSize + summary.bodySize;
  // Refused before anything is written: a record that does not fit its
  // blocks would leave the object torn on the card.
  if (!blocks || blocks->size() * size_t{table.Layout().BlockSize()} < recordSize) {
    return CKR_DEVICE_ERROR;
  }
  std::vector<uint8_t> record;
  try {
    record = BuildRecord(object, summary.isKey, table.Layout().BlockSize());
  } catch (const std::bad_alloc&) {
    return CKR_HOST_MEMORY;
  }
  return WriteBlocks(slot, *blocks, record, recordSize);
}

}  // namespace

CK_RV UpdateTokenObject(slot::Slot& slot, TokenObject& object) {
  ZORAD_TRACE(trace::kOperations, "UpdateTokenObject\n");
  if (!slot.reader || !slot.token || !slot.token->objects.toat()) return CKR_GENERAL_ERROR;
  const TemplateSummary summary = SummarizeAttributes(object.attributes);
  const CK_RV representable = CheckRepresentable(object.attributes, summary.isKey);
  if (representable != CKR_OK) return representable;
  const CK_RV rv = WriteRecord(slot, object, summary);
  ZORAD_TRACE(trace::kOperations, "UpdateTokenObject: %x\n", static_cast<unsigned>(rv));
  return rv;
}

CK_RV UpdateTokenObjectHeader(slot::Slot& slot, TokenObject& object) {
  ZORAD_TRACE(trace::kOperations, "UpdateTokenObjectHeader\n");
  if (!slot.reader || !slot.token) return CKR_GENERAL_ERROR;
  object.toh.Seal();
  const HeaderBytes header = object.toh.Encode();
  if (card::EnsureAreaFile(slot) != CKR_OK) return CKR_DEVICE_ERROR;
  const bool ok = card::APDU_UpdateBF(slot.reader.get(), object.offs, header.data(),
                                      header.size(), slot.token->info.writeChunk) ==
                  reader::RDR_OK;
  const CK_RV rv = ok ? CKR_OK : CKR_DEVICE_ERROR;
  ZORAD_TRACE(trace::kOperations, "UpdateTokenObjectHeader: %x\n", static_cast<unsigned>(rv));
  return rv;
}

}  // namespace zorad::store
