// Field encoding of protocol payloads: little-endian integers, strings with a
// u16 length, byte blobs with a u16 length. The reader never reads past its
// input; a short or malformed field sets a sticky failure flag.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "corvane/wire/protocol.h"

namespace cvwire {

class Writer {
 public:
  // Starts a payload with its header.
  Writer(std::uint16_t type, std::uint32_t requestId);

  Writer& U8(std::uint8_t v);
  Writer& U16(std::uint16_t v);
  Writer& U32(std::uint32_t v);
  Writer& Str(std::string_view s);  // cut at 65535 bytes
  Writer& Blob(std::span<const std::uint8_t> b);
  Writer& Raw(std::span<const std::uint8_t> b);

  std::size_t PayloadSize() const { return buf_.size() - kLengthSize; }
  // Whether the payload still fits a frame.
  bool Fits() const { return PayloadSize() <= kMaxPayload; }
  // The whole frame (length prefix and payload).
  const std::vector<std::uint8_t>& Frame();

 private:
  std::vector<std::uint8_t> buf_;
};

class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> payload);

  std::uint16_t type() const { return type_; }
  std::uint32_t requestId() const { return requestId_; }

  std::uint8_t U8();
  std::uint16_t U16();
  std::uint32_t U32();
  std::string Str();
  std::vector<std::uint8_t> Blob();
  bool Bytes(std::uint8_t* out, std::size_t n);

  // True while every field so far was complete.
  bool ok() const { return ok_; }
  bool AtEnd() const { return pos_ == data_.size(); }
  // ok() and nothing left over.
  bool Done() const { return ok_ && AtEnd(); }

 private:
  bool Need(std::size_t n);
  std::span<const std::uint8_t> data_;
  std::size_t pos_ = 0;
  bool ok_ = true;
  std::uint16_t type_ = 0;
  std::uint32_t requestId_ = 0;
};

}  // namespace cvwire
