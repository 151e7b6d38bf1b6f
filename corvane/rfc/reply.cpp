#include "corvane/rfc/reply.h"

#include <algorithm>

namespace cvrfc {

Reply::Reply() : object_(cvattobj::CreateObject(nullptr)), ok_(object_ != nullptr) {}

Reply& Reply::Add(std::string_view name, const void* value, std::size_t length, char type) {
  if (!ok_) return *this;
  if (!cvattobj::AddAtt(nullptr, &object_, name, value, length, type, kAccess)) ok_ = false;
  return *this;
}

std::size_t Reply::size() const { return object_ ? cvattobj::View(object_).size() : 0; }

std::vector<std::uint8_t> Reply::Bytes() const {
  if (!object_) return {};
  const auto view = cvattobj::View(object_);
  return {view.begin(), view.end()};
}

std::vector<std::uint8_t> ErrorReply(std::int32_t code, std::string_view text, std::size_t capacity) {
  // Header 12, ERROR entry 8 + 5, inner header 12, CODE entry 8 + 4 + up to
  // 11 digits, TEXT entry 8 + 4.
  constexpr std::size_t kFixed = 12 + 13 + 12 + 23 + 12;
  text = text.substr(0, capacity > kFixed ? std::min(capacity - kFixed, std::size_t{1000}) : 0);
  Reply inner;
  inner.Int("CODE", code).String("TEXT", text);
  Reply outer;
  const auto bytes = inner.Bytes();
  outer.Object("ERROR", bytes);
  return outer.Bytes();
}

std::vector<std::uint8_t> RefusedReply() {
  Reply r;
  r.Int("ERROR", kRefused);
  return r.Bytes();
}

}  // namespace cvrfc
