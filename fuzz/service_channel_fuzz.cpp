// The private channel between cvserverd and a call service module: frames
// fed in pieces, then decoded as a call and as an answer.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "corvane/wire/frame.h"
#include "corvane/wire/service.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  cvwire::FrameParser parser;
  const std::size_t half = size / 2;
  parser.Feed(std::span(data, half));
  parser.Feed(std::span(data + half, size - half));
  std::vector<std::uint8_t> payload;
  while (parser.Next(payload)) {
    if (auto call = cvwire::service::DecodeCall(payload)) {
      // What decodes must encode again to the same call.
      const auto frame = cvwire::service::EncodeCall(*call, 7);
      const auto again = cvwire::service::DecodeCall(std::span(frame).subspan(4));
      if (!again || again->request != call->request || again->modules.size() != call->modules.size())
        __builtin_trap();
    }
    if (auto answer = cvwire::service::DecodeAnswer(payload, 1)) {
      if (answer->size() > cvwire::service::kMaxReply) __builtin_trap();
    }
  }
  // Whole input as one payload, too.
  (void)cvwire::service::DecodeCall(std::span(data, size));
  return 0;
}
