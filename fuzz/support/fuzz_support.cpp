// What every fuzz target shares: the failure report and the exception trap.
#include <cstdio>
#include <cstdlib>

#include "support/fuzz_input.h"

namespace zorad::fuzz {

void Fail(const char* what) {
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

}  // namespace zorad::fuzz

// The module promises that no exception leaves an entry point, and it throws
// none itself: every entry point's firewall would turn one into
// CKR_GENERAL_ERROR and hide the fault that raised it (a length_error from
// a size taken off the card, an out_of_range from a bad index). Every
// exception object is allocated here first, so the first one stops the run
// and the fuzzer reports the input with the stack of the throw.
extern "C" void* __cxa_allocate_exception(size_t size) noexcept {
  std::fprintf(stderr, "an exception of %zu bytes is being thrown\n", size);
  std::fflush(stderr);
  std::abort();
}
