// Frame parser and field reader on arbitrary bytes: fed in two chunks split
// at a position taken from the input, every whole payload is read field by
// field until the reader fails or runs out.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "corvane/wire/codec.h"
#include "corvane/wire/frame.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t split = data[0] % size;
  std::span<const std::uint8_t> all(data + 1, size - 1);
  cvwire::FrameParser parser;
  const std::size_t first = split < all.size() ? split : all.size();
  if (parser.Feed(all.first(first)) == cvwire::FrameParser::Status::Ok) parser.Feed(all.subspan(first));
  std::vector<std::uint8_t> payload;
  while (parser.Next(payload)) {
    if (payload.size() < cvwire::kHeaderSize || payload.size() > cvwire::kMaxPayload) __builtin_trap();
    cvwire::Reader r(payload);
    for (int i = 0; r.ok() && !r.AtEnd() && i < 4096; ++i) {
      switch (i % 5) {
        case 0: r.Str(); break;
        case 1: r.U32(); break;
        case 2: r.Blob(); break;
        case 3: r.U16(); break;
        default: r.U8(); break;
      }
    }
  }
  return 0;
}
