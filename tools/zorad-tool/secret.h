// The tool's own wiping byte buffer for PINs and random bytes: the storage
// is zeroed before it goes back to the heap, so no copy outlives its use.
// The tool is a client of the module's exported functions only and shares
// none of its code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace zorad::tool {

// Zeroes `length` bytes in a way the compiler keeps.
inline void Wipe(void* data, size_t length) {
  volatile uint8_t* p = static_cast<volatile uint8_t*>(data);
  for (size_t i = 0; i < length; ++i) p[i] = 0;
}

template <typename T>
struct WipingAllocator {
  using value_type = T;

  WipingAllocator() noexcept = default;
  template <typename U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}

  T* allocate(size_t n) { return std::allocator<T>().allocate(n); }
  void deallocate(T* p, size_t n) noexcept {
    Wipe(p, n * sizeof(T));
    std::allocator<T>().deallocate(p, n);
  }

  template <typename U>
  bool operator==(const WipingAllocator<U>&) const noexcept {
    return true;
  }
};

using Secret = std::vector<uint8_t, WipingAllocator<uint8_t>>;

}  // namespace zorad::tool
