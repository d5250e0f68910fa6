#include "api/module_state.h"

namespace zorad::api {

ModuleState& State() {
  static ModuleState state;
  return state;
}

}  // namespace zorad::api
