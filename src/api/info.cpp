// C_GetInfo and the mechanism entry points.
#include <algorithm>
#include <cstring>

#include "api/entry_frame.h"
#include "platform/text_field.h"
#include "slot/slot_table.h"

namespace zorad::api {
namespace {

void FillLibraryInfo(CK_INFO* info) {
  std::memset(info, 0, sizeof *info);
  info->cryptokiVersion = {2, 30};
  platform::CopyBlankPadded(info->manufacturerID, "Corvantix");
  info->flags = 0;
  platform::CopyBlankPadded(info->libraryDescription, "Velmoran PKCS#11 API");
  info->libraryVersion = {1, 0};
}

struct Mechanism {
  CK_MECHANISM_TYPE type;
  CK_MECHANISM_INFO info;
};

// What the module accepts, the same for every slot: GOST R 34.10-2001 key
// pairs generated on the card, signatures over a hash given by the
// application or computed by the card with GOST R 34.11-94, and that hash
// on its own (a digest has no key, so no key sizes).
constexpr Mechanism kMechanisms[] = {
    {CKM_GOSTR3410_KEY_PAIR_GEN, {256, 256, CKF_HW | CKF_GENERATE_KEY_PAIR}},
    {CKM_GOSTR3410, {256, 256, CKF_HW | CKF_SIGN | CKF_VERIFY}},
    {CKM_GOSTR3410_WITH_GOSTR3411, {256, 256, CKF_HW | CKF_SIGN | CKF_VERIFY}},
    {CKM_GOSTR3411, {0, 0, CKF_HW | CKF_DIGEST}},
};
constexpr CK_ULONG kMechanismCount = std::size(kMechanisms);

// The caller's list beyond the table is cleared; a list too short learns
// the count it needs, as with the slot list.
CK_RV ListMechanisms(CK_SLOT_ID slotId, CK_MECHANISM_TYPE* list, CK_ULONG* count) {
  if (slot::FindSlot(slotId) == nullptr) return CKR_SLOT_ID_INVALID;
  const CK_ULONG capacity = *count;
  *count = kMechanismCount;
  if (list == nullptr) return CKR_OK;
  if (capacity < kMechanismCount) return CKR_BUFFER_TOO_SMALL;
  std::fill(list, list + capacity, CK_MECHANISM_TYPE{0});
  for (CK_ULONG i = 0; i < kMechanismCount; ++i) list[i] = kMechanisms[i].type;
  return CKR_OK;
}

CK_RV DescribeMechanism(CK_SLOT_ID slotId, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO* info) {
  if (slot::FindSlot(slotId) == nullptr) return CKR_SLOT_ID_INVALID;
  const auto found = std::find_if(std::begin(kMechanisms), std::end(kMechanisms),
                                  [type](const Mechanism& m) { return m.type == type; });
  if (found == std::end(kMechanisms)) {
    *info = CK_MECHANISM_INFO{};
    return CKR_MECHANISM_INVALID;
  }
  *info = found->info;
  return CKR_OK;
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

CK_RV C_GetMechanismList(CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList,
                         CK_ULONG_PTR pulCount) {
  EntryFrame frame(EntryPoint::kGetMechanismList);
  if (pulCount == nullptr) return frame.Return(CKR_ARGUMENTS_BAD);
  const CK_RV rv =
      frame.Locked([&] { return ListMechanisms(slotID, pMechanismList, pulCount); });
  frame.SetExitCount(*pulCount);
  return rv;
}

CK_RV C_GetMechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type,
                         CK_MECHANISM_INFO_PTR pInfo) {
  EntryFrame frame(EntryPoint::kGetMechanismInfo);
  if (pInfo == nullptr) return frame.Return(CKR_ARGUMENTS_BAD);
  return frame.Locked([&] { return DescribeMechanism(slotID, type, pInfo); });
}

}  // extern "C"
