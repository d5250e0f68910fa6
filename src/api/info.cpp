// C_GetInfo and the mechanism entry points.
#include <cstring>

#include "api/entry_frame.h"
#include "api/pending.h"
#include "card/text_field.h"

namespace zorad::api {
namespace {

void FillLibraryInfo(CK_INFO* info) {
  std::memset(info, 0, sizeof *info);
  info->cryptokiVersion = {2, 30};
  card::CopyBlankPadded(info->manufacturerID, "Corvantix");
  info->flags = 0;
  card::CopyBlankPadded(info->libraryDescription, "Velmoran PKCS#11 API");
  info->libraryVersion = {1, 0};
}

}  // namespace
}  // namespace zorad::api

using namespace zorad::api;

extern "C" {

CK_RV C_GetInfo(CK_INFO_PTR pInfo) {
  EntryFrame frame(EntryPoint::kGetInfo);
  if (pInfo == nullptr) return frame.Return(CKR_ARGUMENTS_BAD);
  return frame.Locked([&] {
    FillLibraryInfo(pInfo);
    return CKR_OK;
  });
}

CK_RV C_GetMechanismList(CK_SLOT_ID, CK_MECHANISM_TYPE_PTR, CK_ULONG_PTR pulCount) {
  EntryFrame frame(EntryPoint::kGetMechanismList);
  if (pulCount == nullptr) return frame.Return(CKR_ARGUMENTS_BAD);
  const CK_RV rv = frame.Locked([&] { return NotAvailableYet(); });
  frame.SetExitCount(*pulCount);
  return rv;
}

CK_RV C_GetMechanismInfo(CK_SLOT_ID, CK_MECHANISM_TYPE, CK_MECHANISM_INFO_PTR pInfo) {
  EntryFrame frame(EntryPoint::kGetMechanismInfo);
  if (pInfo == nullptr) return frame.Return(CKR_ARGUMENTS_BAD);
  return frame.Locked([&] { return NotAvailableYet(); });
}

}  // extern "C"
