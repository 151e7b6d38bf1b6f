#include "corvane/wire/frame.h"

#include <algorithm>

namespace cvwire {

FrameParser::Status FrameParser::Feed(std::span<const std::uint8_t> data) {
  if (failed_) return Status::Error;
  std::size_t pos = 0;
  while (pos < data.size()) {
    if (want_ == 0) {
      const std::size_t take = std::min(kLengthSize - lengthHave_, data.size() - pos);
      std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(pos), take, lengthBytes_ + lengthHave_);
      lengthHave_ += take;
      pos += take;
      if (lengthHave_ < kLengthSize) break;
      std::uint32_t n = 0;
      for (int i = 3; i >= 0; --i) n = (n << 8) | lengthBytes_[i];
      if (n > kMaxPayload || n < kHeaderSize) {
        failed_ = true;
        current_.clear();
        return Status::Error;
      }
      want_ = n;
      current_.clear();
      current_.reserve(n);
      continue;
    }
    const std::size_t take = std::min(want_ - current_.size(), data.size() - pos);
    current_.insert(current_.end(), data.begin() + static_cast<std::ptrdiff_t>(pos),
                    data.begin() + static_cast<std::ptrdiff_t>(pos + take));
    pos += take;
    if (current_.size() == want_) {
      ready_.push_back(std::move(current_));
      current_ = {};
      want_ = 0;
      lengthHave_ = 0;
    }
  }
  return Status::Ok;
}

bool FrameParser::Next(std::vector<std::uint8_t>& payload) {
  if (ready_.empty()) return false;
  payload = std::move(ready_.front());
  ready_.pop_front();
  return true;
}

}  // namespace cvwire
