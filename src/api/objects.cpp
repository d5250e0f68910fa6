// Object management: creation, destruction, attributes and search.
#include "api/entry_frame.h"
#include "api/pending.h"

using namespace zorad::api;

extern "C" {

CK_RV C_CreateObject(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate,
                     CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phObject) {
  EntryFrame frame(EntryPoint::kCreateObject, TraceValue(hSession));
  if ((pTemplate == nullptr && ulCount != 0) || phObject == nullptr) {
    return frame.Return(CKR_ARGUMENTS_BAD);
  }
  return frame.Locked([&] { return NotAvailableYet(); });
}

CK_RV C_DestroyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject) {
  EntryFrame frame(EntryPoint::kDestroyObject, TraceValue(hSession), TraceValue(hObject));
  return frame.Locked([&] { return NotAvailableYet(); });
}

CK_RV C_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                          CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
  EntryFrame frame(EntryPoint::kGetAttributeValue, TraceValue(hSession),
                   TraceValue(hObject));
  if (pTemplate == nullptr || ulCount == 0) return frame.Return(CKR_ARGUMENTS_BAD);
  return frame.Locked([&] { return NotAvailableYet(); });
}

CK_RV C_SetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE,
                          CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
  EntryFrame frame(EntryPoint::kSetAttributeValue, TraceValue(hSession));
  if (pTemplate == nullptr || ulCount == 0) return frame.Return(CKR_ARGUMENTS_BAD);
  return frame.Locked([&] { return NotAvailableYet(); });
}

CK_RV C_FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate,
                        CK_ULONG ulCount) {
  EntryFrame frame(EntryPoint::kFindObjectsInit, TraceValue(hSession));
  if (pTemplate == nullptr && ulCount != 0) {
    return frame.ReturnWithoutExitLine(CKR_ARGUMENTS_BAD);
  }
  return frame.Locked([&] { return NotAvailableYet(); });
}

CK_RV C_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject,
                    CK_ULONG ulMaxObjectCount, CK_ULONG_PTR pulObjectCount) {
  EntryFrame frame(EntryPoint::kFindObjects, TraceValue(hSession));
  if (phObject == nullptr || ulMaxObjectCount == 0 || pulObjectCount == nullptr) {
    return frame.Return(CKR_ARGUMENTS_BAD);
  }
  return frame.Locked([&] { return NotAvailableYet(); });
}

CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE hSession) {
  EntryFrame frame(EntryPoint::kFindObjectsFinal, TraceValue(hSession));
  return frame.Locked([&] { return NotAvailableYet(); });
}

}  // extern "C"
