// Registry files: any bytes parse to a hive or to an error with a line number;
// a hive serializes to text that parses to the same hive.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "ole/registry_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  ole::reg::ParseError err;
  auto hive = ole::reg::Parse(text, &err);
  if (!hive) return 0;
  std::string once = hive->Serialize();
  auto again = ole::reg::Parse(once, &err);
  if (!again || again->Serialize() != once) std::abort();
  return 0;
}
