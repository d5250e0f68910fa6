#include "api/module_state.h"

namespace zorad::api {

ModuleState& State() {
  static ModuleState state;
  return state;
}

bool Initialized() { return State().initCounter.load() != 0; }

}  // namespace zorad::api
