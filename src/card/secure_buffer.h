// Byte storage for PINs, key values and other secrets: wiped before the
// memory is given back, so no copy outlives its use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace zorad::card {

// Overwrites `length` bytes with zeros in a way the compiler keeps.
inline void SecureWipe(void* data, size_t length) {
  volatile uint8_t* p = static_cast<volatile uint8_t*>(data);
  for (size_t i = 0; i < length; ++i) p[i] = 0;
}

// An allocator that wipes every block it frees, so that neither a
// destroyed buffer nor the old storage left by a reallocation keeps its
// bytes.
template <typename T>
struct WipingAllocator {
  using value_type = T;

  WipingAllocator() noexcept = default;
  template <typename U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}

  T* allocate(size_t n) { return std::allocator<T>().allocate(n); }
  void deallocate(T* p, size_t n) noexcept {
    SecureWipe(p, n * sizeof(T));
    std::allocator<T>().deallocate(p, n);
  }

  template <typename U>
  bool operator==(const WipingAllocator<U>&) const noexcept { return true; }
};

// A std::vector of bytes that zeroes its storage when it lets go of it.
using SecureBuffer = std::vector<uint8_t, WipingAllocator<uint8_t>>;

}  // namespace zorad::card
