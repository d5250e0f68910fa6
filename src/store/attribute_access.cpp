// Reading and changing a token object's attributes. Both open the object
// the same way (OpenObject, confirming it on the card); a change then merges the new values, refits
// the object's blocks when the record's size changes, rewrites the record,
// writes the table when it changed, and erases the blocks the object gave
// up only after that, so that a change cut short never leaves a listed
// block erased.
#include "store/attribute_access.h"

#include <cstdint>
#include <new>
#include <optional>

#include "card/area_select.h"
#include "card/token.h"
#include "card/token_transaction.h"
#include "store/attribute_rules.h"
#include "store/object_confirm.h"
#include "store/object_record.h"
#include "store/object_search.h"
#include "store/record_body.h"
#include "store/record_refit.h"
#include "store/template_summary.h"
#include "trace/trace.h"

namespace zorad::store {
namespace {

// Finds the object and, inside the begun transaction, confirms it on the
// card and reads its attributes fresh.
Confirmed OpenObject(slot::Slot& slot, const ObjectKey& key, card::TokenTransaction& transaction) {
  // An object unknown here, or private without the login, is refused by the
  // check before anything is sent.
  if (!FindTokenObject(slot, key)) return ConfirmTokenObject(slot, key, kToRead);
  if (transaction.BeginAndSelect(CKR_FUNCTION_FAILED) != CKR_OK) {
    return Confirmed{CKR_FUNCTION_FAILED, nullptr, false};
  }
  return ConfirmTokenObject(slot, key, kToRead);
}

CK_RV Failed(const char* operation, CK_RV rv) {
  ZORAD_TRACE(trace::kOperations, "%s: %x\n", operation, static_cast<unsigned>(rv));
  return rv;
}

uint32_t TraceRef(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

// The object as it was before a change, put back when the change fails.
struct Backup {
  uint32_t offs;
  TokenObjectHeader toh;
  AttributeList attributes;

  void Restore(TokenObject& object) {
    object.offs = offs;
    object.toh = toh;
    object.attributes = std::move(attributes);
  }
};

// Writes the merged record, refitting its blocks when its size changed,
// and the table when that changed. The erasure of freed blocks follows.
CK_RV Rewrite(slot::Slot& slot, TokenObject& object, const card::AllocationTable& previous,
              bool& tableChanged, bool& tableSent) {
  const TemplateSummary summary = SummarizeAttributes(object.attributes);
  CK_RV rv = CheckRepresentable(object.attributes, summary.isKey);
  if (rv != CKR_OK) return rv;
  const uint32_t oldSize = uint32_t{object.toh.size} + kHeaderSize;
  const uint32_t newSize = static_cast<uint32_t>(summary.bodySize + kHeaderSize);
  tableChanged = false;
  if (newSize != oldSize) {
    rv = RefitObjectBlocks(*slot.token, object, newSize, previous, tableChanged);
    if (rv != CKR_OK) return rv;
  }
  rv = UpdateTokenObject(slot, object);
  if (rv != CKR_OK || !tableChanged) return rv;
  tableSent = true;
  return card::UpdateTOAT(slot);
}

CK_RV ChangeObject(slot::Slot& slot, TokenObject& object, const AttributeList& values) {
  const CK_RV allowed = CheckAttributeChange(object.attributes, values);
  if (allowed != CKR_OK) return allowed;
  std::optional<card::AllocationTable> previous;
  Backup backup{object.offs, object.toh, object.attributes};
  try {
    previous = *slot.token->objects.toat();
    for (const auto& [type, value] : values) object.attributes[type] = value;
  } catch (const std::bad_alloc&) {
    backup.Restore(object);
    return CKR_HOST_MEMORY;
  }
  bool tableChanged = false;
  bool tableSent = false;
  const CK_RV rv = Rewrite(slot, object, *previous, tableChanged, tableSent);
  if (rv != CKR_OK) {
    // Nothing was written for a list the record cannot hold.
    if (rv != CKR_ATTRIBUTE_TYPE_INVALID && rv != CKR_ATTRIBUTE_VALUE_INVALID) {
      slot.token->objects.objectsStale = true;
    }
    // Until the table is sent the card's table is the one read.
    if (!tableSent) *slot.token->objects.toat() = *previous;
    backup.Restore(object);
    return rv;
  }
  // The change is on the card; blocks left unerased are unlisted.
  if (tableChanged && card::ClearBlocksByTOAT(slot, *previous) != CKR_OK) {
    ZORAD_TRACE(trace::kSteps, "SetTokenAttributeValues: freed blocks not all erased\n");
  }
  return CKR_OK;
}

}  // namespace

CK_RV ViewTokenAttributeValues(slot::Slot& slot, const ObjectKey& key, const AttributeList*& view) {
  ZORAD_TRACE(trace::kOperations, "GetTokenAttributeValues (%08x, %08x, %08x)\n", TraceRef(&slot),
              key.id, TraceRef(&view));
  view = nullptr;
  if (!slot.token || !slot.reader) return Failed("GetTokenAttributeValues", CKR_FUNCTION_FAILED);
  // Between searches the attributes the last one read stand, until a card
  // reset, a removal or a failure.
  const TokenObject* held = FindTokenObject(slot, key);
  const card::ObjectCache& cache = slot.token->objects;
  if (held != nullptr && held->attributesRead) {
    if (card::NoticeCardEvents(slot) != CKR_OK) {
      return Failed("GetTokenAttributeValues", CKR_FUNCTION_FAILED);
    }
    held = FindTokenObject(slot, key);  // a reset may have ended the login
    if (held != nullptr && cache.proven && !cache.objectsStale) {
      view = &held->attributes;
      ZORAD_TRACE(trace::kOperations, "GetTokenAttributeValues: 0 (held)\n");
      return CKR_OK;
    }
  }
  card::TokenTransaction transaction(slot);
  const Confirmed opened = OpenObject(slot, key, transaction);
  if (opened.rv != CKR_OK) return Failed("GetTokenAttributeValues", opened.rv);
  if (transaction.End() != CKR_OK) return Failed("GetTokenAttributeValues", CKR_FUNCTION_FAILED);
  view = &opened.object->attributes;
  ZORAD_TRACE(trace::kOperations, "GetTokenAttributeValues: 0\n");
  return CKR_OK;
}

CK_RV GetTokenAttributeValues(slot::Slot& slot, const ObjectKey& key, AttributeList& out) {
  const AttributeList* view = nullptr;
  const CK_RV rv = ViewTokenAttributeValues(slot, key, view);
  if (rv == CKR_OK) out = *view;
  return rv;
}

CK_RV SetTokenAttributeValues(slot::Slot& slot, const ObjectKey& key, const AttributeList& values) {
  ZORAD_TRACE(trace::kOperations, "SetTokenAttributeValues (%08x, %08x, %08x)\n", TraceRef(&slot),
              key.id, TraceRef(&values));
  if (!slot.token || !slot.reader) return Failed("SetTokenAttributeValues", CKR_FUNCTION_FAILED);
  if (slot.token->objects.objectsStale) return Failed("SetTokenAttributeValues", CKR_DEVICE_ERROR);
  // Types and values no record can carry are refused before the card.
  CK_RV rv = CheckRepresentable(values, false);
  if (rv != CKR_OK) return Failed("SetTokenAttributeValues", rv);
  card::TokenTransaction transaction(slot);
  const Confirmed opened = OpenObject(slot, key, transaction);
  if (opened.rv != CKR_OK) return Failed("SetTokenAttributeValues", opened.rv);
  rv = ChangeObject(slot, *opened.object, values);
  if (rv != CKR_OK) return Failed("SetTokenAttributeValues", rv);
  if (transaction.End() != CKR_OK) return Failed("SetTokenAttributeValues", CKR_FUNCTION_FAILED);
  ZORAD_TRACE(trace::kOperations, "SetTokenAttributeValues: 0\n");
  return CKR_OK;
}

}  // namespace zorad::store
