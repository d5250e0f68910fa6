// Reading object headers and bodies.
#include <algorithm>
#include <new>
#include <span>
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

constexpr size_t kReadChunk = 256;

CK_RV Fail(const char* why, CK_RV rv) {
  ZORAD_TRACE(trace::kSteps, "%s", why);
  return rv;
}

// Byte ranges of the record over its blocks: each run of adjacent blocks is
// one range, so that it is read with as few commands as the chunk allows.
struct Range {
  uint32_t offset;
  size_t length;
};

std::vector<Range> RecordRanges(const card::AreaLayout& layout,
                                const std::vector<uint16_t>& blocks) {
  std::vector<Range> ranges;
  for (size_t k = 0; k < blocks.size(); ++k) {
    const uint32_t at = layout.BlockOffset(blocks[k]);
    if (k > 0 && blocks[k] == blocks[k - 1] + 1) {
      ranges.back().length += layout.BlockSize();
    } else {
      ranges.push_back({at, layout.BlockSize()});
    }
  }
  return ranges;
}

// Reads record bytes [from, from + out.size()) over the ranges.
CK_RV ReadRecordBytes(slot::Slot& slot, const std::vector<Range>& ranges, size_t from,
                      std::span<uint8_t> out, bool& damaged) {
  size_t done = 0;
  size_t rangeStart = 0;  // record position of the range's first byte
  for (const Range& range : ranges) {
    if (done == out.size()) break;
    const size_t position = from + done;
    if (position >= rangeStart + range.length) {
      rangeStart += range.length;
      continue;
    }
    const size_t skip = position - rangeStart;
    const size_t n = std::min(out.size() - done, range.length - skip);
    if (card::APDU_ReadBF(slot.reader.get(), range.offset + static_cast<uint32_t>(skip),
                          out.data() + done, n, kReadChunk) != reader::RDR_OK) {
      return Fail("CKR_DEVICE_ERROR(APDU_ReadBF)\n", CKR_DEVICE_ERROR);
    }
    done += n;
    rangeStart += range.length;
  }
  if (done != out.size()) {
    damaged = true;
    return Fail("CKR_DEVICE_ERROR(if(size != pto->toh.size))\n", CKR_DEVICE_ERROR);
  }
  return CKR_OK;
}

// Reads the body bytes that follow the header over the object's blocks,
// taking those read with the header first. `damaged` is set when every
// read was answered and the blocks still do not hold the body.
CK_RV ReadBody(slot::Slot& slot, TokenObject& object, std::vector<uint8_t>& body, bool& damaged) {
  const card::AllocationTable& table = *slot.token->objects.toat();
  const auto blocks = table.BlocksOf(object.offs);
  const size_t known = std::min(object.bodyStart.size(), body.size());
  std::copy_n(object.bodyStart.begin(), known, body.begin());
  object.bodyStart.clear();
  if (known == body.size()) return CKR_OK;
  if (!blocks) {
    damaged = true;
    return Fail("CKR_DEVICE_ERROR(no blocks)\n", CKR_DEVICE_ERROR);
  }
  if (card::EnsureAreaFile(slot) != CKR_OK) return CKR_DEVICE_ERROR;
  return ReadRecordBytes(slot, RecordRanges(table.Layout(), *blocks), kHeaderSize + known,
                         std::span<uint8_t>(body).subspan(known), damaged);
}

// The card keeps each coordinate of a GOST public key most significant byte
// first; the PKCS#11 value holds each least significant byte first.
CK_RV ReadPublicKeyValue(slot::Slot& slot, TokenObject& object) {
  std::vector<uint8_t> key(card::kPublicKeyLength);
  size_t length = key.size();
  if (card::APDU_ReadPubKey(slot.reader.get(), object.toh.keyRef, key.data(), &length) !=
          reader::RDR_OK ||
      length != card::kPublicKeyLength) {
    return Fail("CKR_DEVICE_ERROR(APDU_ReadPubKey)\n", CKR_DEVICE_ERROR);
  }
  const auto half = key.begin() + card::kPublicKeyLength / 2;
  std::reverse(key.begin(), half);
  std::reverse(half, key.end());
  object.attributes[CKA_VALUE] = std::move(key);
  // READ PUBLIC KEY may leave another file current: the next command on
  // the area selects it again (card::EnsureAreaFile).
  return CKR_OK;
}

// `damaged` tells a record the card handed out in full that fails its own
// checks from a read the card did not answer.
CK_RV ReadAttributes(slot::Slot& slot, TokenObject& object, bool& damaged) {
  if (!slot.reader || !slot.token->objects.toat()) return CKR_GENERAL_ERROR;
  std::vector<uint8_t> body;
  try {
    body.assign(object.toh.size, 0);
  } catch (const std::bad_alloc&) {
    return CKR_HOST_MEMORY;
  }
  object.attributes.clear();
  object.attributesRead = false;
  CK_RV rv = ReadBody(slot, object, body, damaged);
  if (rv != CKR_OK) return rv;
  damaged = true;  // every read was answered: what fails now is the record
  if (card::CRC32(body) != object.toh.crc) {
    return Fail("CKR_DEVICE_ERROR(if(else pto->toh.crc == CRC32(obuf, pto->toh.size))\n",
                CKR_DEVICE_ERROR);
  }
  if (DecodeBody(body, object.attributes) != CKR_OK) {
    return Fail("CKR_DEVICE_ERROR(attribute record runs past the body)\n", CKR_DEVICE_ERROR);
  }
  damaged = false;
  const TemplateSummary summary = SummarizeAttributes(object.attributes);
  // Key material lives in the card's key slots only; a value found in a
  // key's body (written by someone else) is not handed out.
  if (summary.isKey) object.attributes.erase(CKA_VALUE);
  if (summary.objectClass == CKO_PUBLIC_KEY && summary.keyType == CKK_GOSTR3410 &&
      object.toh.keyRef != 0) {
    const CK_RV rv = ReadPublicKeyValue(slot, object);
    if (rv != CKR_OK) return rv;
  }
  object.attributesRead = true;
  return CKR_OK;
}

}  // namespace

CK_RV ReadTokenObjectHeader(slot::Slot& slot, uint32_t offs, TokenObjectHeader& header) {
  ZORAD_TRACE(trace::kOperations, "ReadTokenObjectHeader\n");
  if (!slot.reader) return CKR_FUNCTION_FAILED;
  if (card::EnsureAreaFile(slot) != CKR_OK) return CKR_FUNCTION_FAILED;
  HeaderBytes bytes{};
  if (card::APDU_ReadBF(slot.reader.get(), offs, bytes.data(), bytes.size(), kReadChunk) !=
      reader::RDR_OK) {
    return CKR_FUNCTION_FAILED;
  }
  const auto decoded = TokenObjectHeader::Decode(bytes);
  if (!decoded) return CKR_TOKEN_NOT_RECOGNIZED;
  header = *decoded;
  return CKR_OK;
}

CK_RV ReadTokenObjectStart(slot::Slot& slot, TokenObject& object) {
  ZORAD_TRACE(trace::kOperations, "ReadTokenObjectHeader\n");
  if (!slot.reader || !slot.token || !slot.token->objects.toat()) return CKR_FUNCTION_FAILED;
  const card::AllocationTable& table = *slot.token->objects.toat();
  const auto blocks = table.BlocksOf(object.offs);
  if (!blocks || blocks->empty()) return ReadTokenObjectHeader(slot, object.offs, object.toh);
  if (card::EnsureAreaFile(slot) != CKR_OK) return CKR_FUNCTION_FAILED;
  const auto ranges = RecordRanges(table.Layout(), *blocks);
  std::vector<uint8_t> bytes(std::max(kHeaderSize, std::min(kReadChunk, ranges.front().length)));
  if (card::APDU_ReadBF(slot.reader.get(), object.offs, bytes.data(), bytes.size(), kReadChunk) !=
      reader::RDR_OK) {
    return CKR_FUNCTION_FAILED;
  }
  const auto decoded =
      TokenObjectHeader::Decode(std::span<const uint8_t, kHeaderSize>(bytes.data(), kHeaderSize));
  if (!decoded) return CKR_TOKEN_NOT_RECOGNIZED;
  object.toh = *decoded;
  const size_t bodyBytes = std::min<size_t>(bytes.size() - kHeaderSize, object.toh.size);
  object.bodyStart.assign(bytes.begin() + kHeaderSize, bytes.begin() + kHeaderSize + bodyBytes);
  return CKR_OK;
}

CK_RV RereadTokenObjectHeader(slot::Slot& slot, TokenObject& object, bool& changed) {
  TokenObjectHeader fresh;
  const CK_RV rv = ReadTokenObjectHeader(slot, object.offs, fresh);
  if (rv != CKR_OK) {
    object.toh = TokenObjectHeader{};
    return rv;
  }
  changed = fresh != object.toh;
  if (changed) {
    object.toh = fresh;
    object.ForgetBody();  // it was read from the record as it was
  }
  return CKR_OK;
}

CK_RV ReadTokenObjectAttributes(slot::Slot& slot, TokenObject& object, bool* damaged) {
  ZORAD_TRACE(trace::kOperations, "ReadTokenObjectAttributes\n");
  if (damaged) *damaged = false;
  if (!slot.token) return CKR_FUNCTION_FAILED;
  bool recordDamaged = false;
  const CK_RV rv = ReadAttributes(slot, object, recordDamaged);
  if (rv != CKR_OK && damaged) *damaged = recordDamaged;
  if (rv != CKR_OK) slot.token->objects.objectsStale = true;
  ZORAD_TRACE(trace::kOperations, "ReadTokenObjectAttributes: %x\n", static_cast<unsigned>(rv));
  return rv;
}

}  // namespace zorad::store
