// Object management: creation, destruction, attributes and search.
//
// Templates are turned into the card's form of integer values here, before
// anything else sees them, and attribute values are handed out in the
// application's form (integer_attributes.h).
#include "api/entry_frame.h"
#include "api/integer_attributes.h"
#include "session/object_access.h"
#include "session/object_search.h"
#include "session/session_table.h"

using namespace zorad::api;
using namespace zorad;

namespace {

CK_RV CreateObject(CK_SESSION_HANDLE hSession, const CK_ATTRIBUTE* pTemplate, CK_ULONG ulCount,
                   CK_OBJECT_HANDLE& handle) {
  // An imported key's value lies in this list: nothing of it stays in
  // freed memory.
  store::AttributeList attributes;
  const store::WipedOnExit wiped(attributes);
  const CK_RV rv = ApplicationTemplate(pTemplate, ulCount, attributes);
  if (rv != CKR_OK) return rv;
  return session::CreateObject(hSession, attributes, handle);
}

CK_RV GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                        CK_ATTRIBUTE* pTemplate, CK_ULONG ulCount) {
  const store::AttributeList* attributes = nullptr;
  bool valueSensitive = false;
  const CK_RV rv = session::ReadObjectAttributes(hSession, hObject, attributes, valueSensitive);
  if (rv != CKR_OK) return rv;
  return ServeApplicationTemplate(*attributes, pTemplate, ulCount, valueSensitive);
}

CK_RV SetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                        const CK_ATTRIBUTE* pTemplate, CK_ULONG ulCount) {
  store::AttributeList values;
  const CK_RV rv = ApplicationTemplate(pTemplate, ulCount, values);
  if (rv != CKR_OK) return rv;
  return session::WriteObjectAttributes(hSession, hObject, values);
}

CK_RV FindObjectsInit(CK_SESSION_HANDLE hSession, const CK_ATTRIBUTE* pTemplate, CK_ULONG ulCount) {
  if (session::FindSession(hSession) == nullptr) return CKR_SESSION_HANDLE_INVALID;
  store::AttributeList searchTemplate;
  const CK_RV rv = ApplicationTemplate(pTemplate, ulCount, searchTemplate);
  if (rv != CKR_OK) return rv;
  return session::FindObjectsInit(hSession, searchTemplate);
}

}  // namespace

extern "C" {

CK_RV C_CreateObject(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount,
                     CK_OBJECT_HANDLE_PTR phObject) {
  EntryFrame frame(EntryPoint::kCreateObject, TraceValue(hSession));
  if ((pTemplate == nullptr && ulCount != 0) || phObject == nullptr) {
    return frame.Return(CKR_ARGUMENTS_BAD);
  }
  return frame.Locked([&] { return CreateObject(hSession, pTemplate, ulCount, *phObject); });
}

CK_RV C_DestroyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject) {
  EntryFrame frame(EntryPoint::kDestroyObject, TraceValue(hSession), TraceValue(hObject));
  return frame.Locked([&] { return session::DestroyObject(hSession, hObject); });
}

CK_RV C_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                          CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
  EntryFrame frame(EntryPoint::kGetAttributeValue, TraceValue(hSession), TraceValue(hObject));
  if (pTemplate == nullptr || ulCount == 0) return frame.Return(CKR_ARGUMENTS_BAD);
  return frame.Locked([&] { return GetAttributeValue(hSession, hObject, pTemplate, ulCount); });
}

CK_RV C_SetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                          CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
  EntryFrame frame(EntryPoint::kSetAttributeValue, TraceValue(hSession));
  if (pTemplate == nullptr || ulCount == 0) return frame.Return(CKR_ARGUMENTS_BAD);
  return frame.Locked([&] { return SetAttributeValue(hSession, hObject, pTemplate, ulCount); });
}

CK_RV C_FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
  EntryFrame frame(EntryPoint::kFindObjectsInit, TraceValue(hSession));
  if (pTemplate == nullptr && ulCount != 0) {
    return frame.ReturnWithoutExitLine(CKR_ARGUMENTS_BAD);
  }
  return frame.Locked([&] { return FindObjectsInit(hSession, pTemplate, ulCount); });
}

CK_RV C_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject,
                    CK_ULONG ulMaxObjectCount, CK_ULONG_PTR pulObjectCount) {
  EntryFrame frame(EntryPoint::kFindObjects, TraceValue(hSession));
  if (phObject == nullptr || ulMaxObjectCount == 0 || pulObjectCount == nullptr) {
    return frame.Return(CKR_ARGUMENTS_BAD);
  }
  *pulObjectCount = 0;
  return frame.Locked([&] {
    size_t found = 0;
    const CK_RV rv =
        session::FindObjects(hSession, phObject, ulMaxObjectCount, found);
    *pulObjectCount = found;
    frame.SetExitCount(found);
    return rv;
  });
}

CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE hSession) {
  EntryFrame frame(EntryPoint::kFindObjectsFinal, TraceValue(hSession));
  return frame.Locked([&] { return session::FindObjectsFinal(hSession); });
}

}  // extern "C"
