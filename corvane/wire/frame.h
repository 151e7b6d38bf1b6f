// Incremental frame parser: bytes go in as they arrive, whole payloads come
// out. A length above kMaxPayload or below the header size is an error that
// is detected from the four length bytes alone, before anything is allocated;
// after an error the parser stays failed and the connection must be closed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "corvane/wire/protocol.h"

namespace cvwire {

class FrameParser {
 public:
  enum class Status { Ok, Error };

  // Consumes all of data; whole payloads are queued for Next().
  Status Feed(std::span<const std::uint8_t> data);
  // Takes the oldest whole payload; false when none is ready.
  bool Next(std::vector<std::uint8_t>& payload);

  bool failed() const { return failed_; }
  // Bytes of the frame being assembled (for tests and limits).
  std::size_t Pending() const { return lengthHave_ + current_.size(); }

 private:
  bool failed_ = false;
  std::uint8_t lengthBytes_[kLengthSize] = {};
  std::size_t lengthHave_ = 0;
  std::size_t want_ = 0;  // payload length of the frame being read; 0 while reading its length
  std::vector<std::uint8_t> current_;
  std::deque<std::vector<std::uint8_t>> ready_;
};

}  // namespace cvwire
