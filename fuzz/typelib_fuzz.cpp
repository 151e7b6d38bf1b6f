// Type library resources: any bytes deserialize to a library or to an error;
// a library serializes back to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "ole/typelib_model.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::string why;
  auto lib = ole::tlb::Deserialize(bytes, &why);
  if (lib && ole::tlb::Serialize(*lib) != bytes) std::abort();
  return 0;
}
