// Replies of the call service: attribute objects built with the codec, and
// the two reserved answers (an ERROR object; the single 'I' value 5 that
// refuses a caller without console operator rights).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "corvane/wire/attobj.h"

namespace cvrfc {

// Codes an ERROR reply carries in ERROR.CODE.
enum ErrorCode : std::int32_t {
  kErrUnknownFunction = 1,
  kErrBadParameter = 2,
  kErrReplyTooLarge = 3,
  kErrNoScript = 4,
  kErrScriptFailed = 6,
  kErrScriptTimeout = 7,
  kErrScriptOutput = 8,
  kErrBadRequest = 10,
  kErrFailed = 11,
};
// The value of the single 'I' attribute that refuses a caller.
inline constexpr std::int32_t kRefused = 5;
// The access letter of the attributes the service writes.
inline constexpr char kAccess = 'R';

class Reply {
 public:
  Reply();
  Reply& Int(std::string_view name, std::int32_t v) { return Add(name, &v, 0, cvattobj::kTypeInt); }
  Reply& Unsigned(std::string_view name, std::uint32_t v) {
    const auto i = static_cast<std::int32_t>(v);
    return Add(name, &i, 0, cvattobj::kTypeUnsigned);
  }
  Reply& Bool(std::string_view name, bool v) {
    const std::int32_t i = v ? -1 : 0;
    return Add(name, &i, 0, cvattobj::kTypeBool);
  }
  Reply& Real(std::string_view name, double v) { return Add(name, &v, 0, cvattobj::kTypeReal); }
  Reply& String(std::string_view name, std::string_view v) {
    return Add(name, v.data(), v.size(), cvattobj::kTypeString);
  }
  // A nested attribute object (its bytes, total size first).
  Reply& Object(std::string_view name, std::span<const std::uint8_t> v) {
    return Add(name, v.data(), v.size(), cvattobj::kTypeObject);
  }
  // Whether every add so far succeeded.
  bool ok() const { return ok_; }
  std::size_t size() const;
  std::vector<std::uint8_t> Bytes() const;

 private:
  Reply& Add(std::string_view name, const void* value, std::size_t length, char type);
  cvattobj::ObjectPtr object_;
  bool ok_ = true;
};

// One attribute ERROR holding an object with CODE ('I') and TEXT ('S'); the
// text is cut so that the reply fits capacity.
std::vector<std::uint8_t> ErrorReply(std::int32_t code, std::string_view text, std::size_t capacity);
// The single 'I' attribute ERROR of value 5.
std::vector<std::uint8_t> RefusedReply();

}  // namespace cvrfc
