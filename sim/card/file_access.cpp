#include "sim/card/file_access.h"

namespace zorad::sim {

FileRules RulesForFile(uint16_t fid) {
  switch (fid) {
    case kPrivateAreaFid: return {AccessRight::kUser, AccessRight::kUserOrSo};
    case kPublicAreaFid: return {AccessRight::kAlways, AccessRight::kAlways};
    case kLabelFid:
    case kTokenInfoFid: return {AccessRight::kAlways, AccessRight::kSo};
    case kUserPinFid: return {AccessRight::kNever, AccessRight::kNever};
    default: return {AccessRight::kAlways, AccessRight::kSo};
  }
}

bool AccessGranted(AccessRight right, const CardSession& session) {
  const bool user = session.IsVerified(kUserPinRef);
  const bool so = session.IsVerified(kSoPinRef);
  switch (right) {
    case AccessRight::kAlways: return true;
    case AccessRight::kUser: return user;
    case AccessRight::kUserOrSo: return user || so;
    case AccessRight::kSo: return so;
    case AccessRight::kNever: return false;
  }
  return false;
}

}  // namespace zorad::sim
