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
    return State().ownerForkCount.load(std::memory_order_relaxed) != platform::ForkCount();
  } else {
    return false;
  }
}

}  // namespace zorad::api
