// Scaling: searches over growing numbers of token and session objects,
// resident memory per session object, and memory over many
// open-login-sign-logout-close cycles.
#pragma once

#include <string>

namespace zorad::bench {

std::string ScalingReport(bool shortRun);

}  // namespace zorad::bench
