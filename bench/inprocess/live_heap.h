// Bytes held by live C++ allocations of this program (the linked module, the
// PC/SC double and the card simulator). The allocator's own statistics count
// blocks it keeps cached for reuse as in use; this counts what is really
// held, so that a small growth over many cycles can be told from caching.
#pragma once

#include <cstddef>

namespace zorad::bench {

size_t LiveHeapBytes();

}  // namespace zorad::bench
