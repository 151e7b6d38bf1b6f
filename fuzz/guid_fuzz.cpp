// GUID text: parsing never fails loudly, and what parses formats back to the
// same GUID.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "ole/guid.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto g = GuidFromString(std::string_view(reinterpret_cast<const char*>(data), size));
  if (g && GuidFromString(GuidToString(*g)) != g) std::abort();
  return 0;
}
