// One call of a faked operation: formats its arguments, records it, takes its
// reply, and writes the reply's outputs into the out-parameters in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "corvane/client/fake/cvclient_fake.h"

namespace cvfake::detail {

enum class HandleKind { Connection, Context, Buffer, Service };

class Invocation {
 public:
  explicit Invocation(const char* op) { call_.op = op; }

  // Arguments, in signature order, before Answer.
  Invocation& Dec(std::uint64_t v);
  Invocation& Signed(std::int64_t v);
  Invocation& Hex(std::uint32_t v);
  Invocation& HexAt(const std::uint32_t* inOut);  // value on entry, or null
  Invocation& Text(const char* s);
  Invocation& Ptr(const void* out);              // out / null
  Invocation& List(const std::uint16_t* v, std::uint32_t n);
  Invocation& Sizes(const CvFragment* f, std::uint32_t n);
  Invocation& Arg(std::string text);
  void Input(const void* data, std::size_t n);

  // Records the call and takes its reply; returns the reply's result.
  std::uint32_t Answer();
  std::uint32_t Result() const { return reply_.result; }

  // Outputs, in signature order, after Answer. Each writes at most capacity
  // bytes and returns how many it wrote.
  std::size_t Fill(void* out, std::size_t capacity);
  // A handle: the next value, else a fresh handle when the result is 0.
  void FillHandle(std::uint32_t* out, HandleKind kind);
  // Like FillHandle, for an operation that returns the handle: 0 on failure.
  std::uint32_t HandleResult(HandleKind kind);
  template <class T>
  std::size_t FillObject(T* out) {
    return Fill(out, sizeof(T));
  }

 private:
  const Out* NextOut();

  Call call_;
  Reply reply_;
  std::size_t next_ = 0;
};

std::string Quote(const char* s);

}  // namespace cvfake::detail
