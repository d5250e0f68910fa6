// Routes one command to its handler: class checks, chaining, instruction.
#pragma once

#include <cstddef>

#include "sim/card/apdu.h"
#include "sim/card/card_session.h"

namespace zorad::sim {

// Classes: 00 for the ISO commands, 10 (chaining) only for PSO HASH, 80 only
// for the serial number. Any command but PSO HASH ends an open hash chain.
// maxWriteApplied limits how much of an UPDATE BINARY reaches the file (torn
// writes); pass SIZE_MAX otherwise.
Reply DispatchCommand(CardContext& ctx, const Apdu& apdu, size_t maxWriteApplied);

}  // namespace zorad::sim
