#include "store/record_body.h"

#include "card/byte_order.h"
#include "trace/trace.h"

namespace zorad::store {
namespace {

constexpr uint32_t kVendorDefined = CKA_VENDOR_DEFINED;  // stored as 80 00
constexpr uint16_t kVendorDefinedOnCard = 0x8000;

uint16_t TypeOnCard(uint32_t type) {
  return type == kVendorDefined ? kVendorDefinedOnCard : static_cast<uint16_t>(type);
}

uint32_t TypeFromCard(uint16_t type) {
  return type == kVendorDefinedOnCard ? kVendorDefined : type;
}

bool TypeRepresentable(uint32_t type) {
  return type == kVendorDefined || (type <= 0xFFFF && type != kVendorDefinedOnCard);
}

bool LeftOut(uint32_t type, bool leaveOutValue) { return leaveOutValue && type == CKA_VALUE; }

void TraceAttribute(uint32_t type, std::span<const uint8_t> value) {
  if (!trace::Enabled(trace::kDetail)) return;
  trace::DebugPrintf("attribute: %x, %d bytes\n", type, static_cast<int>(value.size()));
  trace::DebugDump("", value.data(), value.size(), false);
}

}  // namespace

CK_RV CheckRepresentable(const AttributeList& list, bool leaveOutValue) {
  size_t bodySize = 0;
  for (const auto& [type, value] : list) {
    if (!TypeRepresentable(type)) return CKR_ATTRIBUTE_TYPE_INVALID;
    if (value.size() > kMaxValueSize) return CKR_ATTRIBUTE_VALUE_INVALID;
    if (!LeftOut(type, leaveOutValue)) bodySize += kAttributeRecordHeader + value.size();
  }
  return bodySize > kMaxBodySize ? CKR_ATTRIBUTE_VALUE_INVALID : CKR_OK;
}

std::vector<uint8_t> EncodeBody(const AttributeList& list, bool leaveOutValue) {
  std::vector<uint8_t> body;
  for (const auto& [type, value] : list) {
    if (LeftOut(type, leaveOutValue)) continue;
    TraceAttribute(type, value);
    uint8_t head[kAttributeRecordHeader];
    card::StoreBE16(&head[0], TypeOnCard(type));
    card::StoreBE16(&head[2], static_cast<uint16_t>(value.size()));
    body.insert(body.end(), head, head + kAttributeRecordHeader);
    body.insert(body.end(), value.begin(), value.end());
  }
  return body;
}

CK_RV DecodeBody(std::span<const uint8_t> body, AttributeList& out) {
  AttributeList parsed;
  size_t pos = 0;
  while (pos < body.size()) {
    if (body.size() - pos < kAttributeRecordHeader) return CKR_DEVICE_ERROR;
    const uint32_t type = TypeFromCard(card::LoadBE16(&body[pos]));
    const size_t length = card::LoadBE16(&body[pos + 2]);
    pos += kAttributeRecordHeader;
    if (body.size() - pos < length) return CKR_DEVICE_ERROR;
    const auto value = body.subspan(pos, length);
    TraceAttribute(type, value);
    parsed[type].assign(value.begin(), value.end());
    pos += length;
  }
  out = std::move(parsed);
  return CKR_OK;
}

}  // namespace zorad::store
