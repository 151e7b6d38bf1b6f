// Gives the memory the event loop freed back to the system.
//
// malloc_trim returns the pages of the allocator's free chunks, but not
// those of the chunks in the thread's cache: glibc keeps, per thread, up to
// seven freed chunks of each small size (up to 1032 bytes, 64 sizes) for the
// next allocation, and after a crowd of connections left those are the last
// chunks the sessions freed, scattered over memory that is otherwise free:
// each keeps its page, hundreds of pages in all.
//
// Release() empties the calling thread's cache first. A chunk freed while
// the cache for its size is full goes back to the allocator; so it takes
// the cached chunks out, fills the cache with chunks of its own (made at
// construction, among the agent's first memory, which stays anyway), frees
// the chunks it took out, and takes its own back, which leaves the cache
// empty. With another allocator (or another cache size) it still only
// allocates and frees.
#pragma once

#include <array>
#include <cstddef>

namespace cvserver {

class MemoryRelease {
 public:
  // On the thread that will call Release().
  MemoryRelease();
  ~MemoryRelease();
  MemoryRelease(const MemoryRelease&) = delete;
  MemoryRelease& operator=(const MemoryRelease&) = delete;

  // Empties this thread's cache of freed chunks and gives free pages back
  // to the system.
  void Release();

  // glibc's defaults: 64 sizes, 16 bytes apart from 24 usable bytes; seven
  // chunks of each.
  static constexpr std::size_t kSizes = 64;
  static constexpr std::size_t kPerSize = 7;
  static constexpr std::size_t Size(std::size_t i) { return 24 + 16 * i; }

 private:
  using Chunks = std::array<std::array<void*, kPerSize>, kSizes>;
  Chunks own_{};
};

}  // namespace cvserver
