#include "api/module_state.h"

#include "platform/platform.h"

namespace zorad::api {

ModuleState& State() {
  static ModuleState state;
  return state;
}

bool Initialized() { return State().initCounter.load() != 0; }

bool InheritedFromParent() {
  if constexpr (platform::kProcessesFork) {
    const uint64_t owner = State().ownerProcess.load();
    return owner != 0 && owner != platform::ProcessId();
  } else {
    return false;
  }
}

}  // namespace zorad::api
