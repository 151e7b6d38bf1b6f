#include "corvane/wire/codec.h"

#include <algorithm>

namespace cvwire {

Writer::Writer(std::uint16_t type, std::uint32_t requestId) {
  buf_.reserve(64);
  buf_.resize(kLengthSize);
  U16(type);
  U32(requestId);
}

Writer& Writer::U8(std::uint8_t v) {
  buf_.push_back(v);
  return *this;
}

Writer& Writer::U16(std::uint16_t v) {
  buf_.push_back(static_cast<std::uint8_t>(v));
  buf_.push_back(static_cast<std::uint8_t>(v >> 8));
  return *this;
}

Writer& Writer::U32(std::uint32_t v) {
  for (int i = 0; i < 4; ++i) buf_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  return *this;
}

Writer& Writer::Str(std::string_view s) {
  const std::size_t n = std::min<std::size_t>(s.size(), 0xFFFF);
  U16(static_cast<std::uint16_t>(n));
  buf_.insert(buf_.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
  return *this;
}

Writer& Writer::Blob(std::span<const std::uint8_t> b) {
  const std::size_t n = std::min<std::size_t>(b.size(), 0xFFFF);
  U16(static_cast<std::uint16_t>(n));
  buf_.insert(buf_.end(), b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n));
  return *this;
}

Writer& Writer::Raw(std::span<const std::uint8_t> b) {
  buf_.insert(buf_.end(), b.begin(), b.end());
  return *this;
}

const std::vector<std::uint8_t>& Writer::Frame() {
  const auto n = static_cast<std::uint32_t>(PayloadSize());
  for (int i = 0; i < 4; ++i) buf_[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(n >> (8 * i));
  return buf_;
}

Reader::Reader(std::span<const std::uint8_t> payload) : data_(payload) {
  type_ = U16();
  requestId_ = U32();
}

bool Reader::Need(std::size_t n) {
  if (!ok_ || data_.size() - pos_ < n) {
    ok_ = false;
    return false;
  }
  return true;
}

std::uint8_t Reader::U8() {
  if (!Need(1)) return 0;
  return data_[pos_++];
}

std::uint16_t Reader::U16() {
  if (!Need(2)) return 0;
  const auto v = static_cast<std::uint16_t>(data_[pos_] | (data_[pos_ + 1] << 8));
  pos_ += 2;
  return v;
}

std::uint32_t Reader::U32() {
  if (!Need(4)) return 0;
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | data_[pos_ + static_cast<std::size_t>(i)];
  pos_ += 4;
  return v;
}

std::string Reader::Str() {
  const std::uint16_t n = U16();
  if (!Need(n)) return {};
  std::string s(reinterpret_cast<const char*>(data_.data() + pos_), n);
  pos_ += n;
  return s;
}

std::vector<std::uint8_t> Reader::Blob() {
  const std::uint16_t n = U16();
  if (!Need(n)) return {};
  std::vector<std::uint8_t> b(data_.begin() + static_cast<std::ptrdiff_t>(pos_),
                              data_.begin() + static_cast<std::ptrdiff_t>(pos_ + n));
  pos_ += n;
  return b;
}

bool Reader::Bytes(std::uint8_t* out, std::size_t n) {
  if (!Need(n)) return false;
  std::copy_n(data_.begin() + static_cast<std::ptrdiff_t>(pos_), n, out);
  pos_ += n;
  return true;
}

}  // namespace cvwire
