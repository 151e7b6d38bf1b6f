// Keeps a truncated file from killing the program: reading a page of a file
// mapping that lies past the file's end raises SIGBUS. While a range is
// guarded, such a fault puts a page of zeros in place of the missing one and
// the read goes on; faults elsewhere reach the handler that was there before
// (by default: the program ends as it would have).
#pragma once

#include <cstddef>

namespace console {

// Guards [begin, begin + size) for as long as it lives. At most 64 ranges
// are guarded at once; more are left unguarded.
class MapGuard {
 public:
  MapGuard(const void* begin, std::size_t size);
  MapGuard(const MapGuard&) = delete;
  MapGuard& operator=(const MapGuard&) = delete;
  ~MapGuard();

 private:
  int slot_ = -1;
};

}  // namespace console
