// Peer text made safe for the log: never crashes, and what comes out holds
// no control byte and is well-formed UTF-8.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "corvane/wire/logtext.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  const std::string out = cvwire::LogText(in, 64);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const auto c = static_cast<unsigned char>(out[i]);
    if (c < 0x20 || c == 0x7F) std::abort();
    // C1 controls in UTF-8 form (C2 80..C2 9F) never pass.
    if (c == 0xC2 && i + 1 < out.size()) {
      const auto next = static_cast<unsigned char>(out[i + 1]);
      if (next >= 0x80 && next <= 0x9F) std::abort();
    }
  }
  if (out.size() > 64 * 6 + 3) std::abort();
  return 0;
}
