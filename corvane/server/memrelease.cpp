#include "corvane/server/memrelease.h"

#include <cstdlib>
#include <new>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace cvserver {

namespace {

// Called through volatile pointers: the compiler must not pair up and
// drop the allocations and frees below, which do nothing but move chunks.
void* (*volatile allocate)(std::size_t) = std::malloc;
void (*volatile release)(void*) = std::free;

}  // namespace

MemoryRelease::MemoryRelease() {
  for (std::size_t i = 0; i < kSizes; ++i) {
    for (void*& p : own_[i]) {
      p = allocate(Size(i));
      if (!p) throw std::bad_alloc();
    }
  }
}

MemoryRelease::~MemoryRelease() {
  for (auto& size : own_) {
    for (void* p : size) release(p);
  }
}

void MemoryRelease::Release() {
  // Out of the cache (and, when it held fewer, from the allocator).
  Chunks taken{};
  for (std::size_t i = 0; i < kSizes; ++i) {
    for (void*& p : taken[i]) p = allocate(Size(i));
  }
  // Ours fill the cache; what was taken goes back to the allocator.
  for (auto& size : own_) {
    for (void* p : size) release(p);
  }
  for (auto& size : taken) {
    for (void* p : size) release(p);  // null when an allocation failed: free ignores it
  }
  // Ours back out of the cache, which is empty then. Should an allocation
  // fail, that chunk is missing from the next round: no harm.
  for (std::size_t i = 0; i < kSizes; ++i) {
    for (void*& p : own_[i]) p = allocate(Size(i));
  }
#if defined(__GLIBC__)
  ::malloc_trim(0);
#endif
}

}  // namespace cvserver
