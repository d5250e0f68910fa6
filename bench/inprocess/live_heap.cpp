// The program's replacement of the global allocation functions: each counts
// the usable size of the block it hands out or takes back.
#include "inprocess/live_heap.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace zorad::bench {
namespace {

std::atomic<size_t> g_live{0};

void* Allocate(size_t size, size_t alignment = 0) {
  void* p = nullptr;
  if (alignment > alignof(std::max_align_t)) {
    if (posix_memalign(&p, alignment, size == 0 ? 1 : size) != 0) p = nullptr;
  } else {
    p = std::malloc(size == 0 ? 1 : size);
  }
  if (p != nullptr) g_live.fetch_add(malloc_usable_size(p), std::memory_order_relaxed);
  return p;
}

void Release(void* p) {
  if (p == nullptr) return;
  g_live.fetch_sub(malloc_usable_size(p), std::memory_order_relaxed);
  std::free(p);
}

void* AllocateOrThrow(size_t size, size_t alignment = 0) {
  void* p = Allocate(size, alignment);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

size_t LiveHeapBytes() { return g_live.load(std::memory_order_relaxed); }

}  // namespace zorad::bench

using zorad::bench::Allocate;
using zorad::bench::AllocateOrThrow;
using zorad::bench::Release;

void* operator new(size_t size) { return AllocateOrThrow(size); }
void* operator new[](size_t size) { return AllocateOrThrow(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new(size_t size, std::align_val_t a) { return AllocateOrThrow(size, size_t(a)); }
void* operator new[](size_t size, std::align_val_t a) { return AllocateOrThrow(size, size_t(a)); }
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, size_t) noexcept { Release(p); }
void operator delete[](void* p, size_t) noexcept { Release(p); }
void operator delete(void* p, std::align_val_t) noexcept { Release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { Release(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { Release(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { Release(p); }
