// Access conditions of the card's files.
//
// The private area is readable only after the user PIN was verified; it is
// writable by the user or the security officer (token initialisation erases
// it with the SO PIN verified). The label and the token information are
// written only by the security officer. The public area is open, so that a
// public session can store public objects. The user PIN file holds no data.
#pragma once

#include <cstdint>

#include "sim/card/card_session.h"

namespace zorad::sim {

enum class AccessRight { kAlways, kUser, kUserOrSo, kSo, kNever };

struct FileRules {
  AccessRight read;
  AccessRight write;
};

FileRules RulesForFile(uint16_t fid);
bool AccessGranted(AccessRight right, const CardSession& session);

}  // namespace zorad::sim
