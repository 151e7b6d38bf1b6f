#include "corvane/rfc/request.h"

#include <cstring>

#include "corvane/wire/attobj.h"

namespace cvrfc {
namespace {

std::uint16_t U16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t U32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::optional<Request> Fail(std::string* error, std::string why) {
  if (error) *error = std::move(why);
  return std::nullopt;
}

bool Fixed(char tag, std::size_t length) {
  switch (tag) {
    case 'I':
    case 'B':
    case 'D':
      return length == 4;
    case 'R':
      return length == 8;
    default:
      return true;
  }
}

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

std::optional<Request> ParseRequest(std::span<const std::uint8_t> bytes, std::string* error) {
  if (bytes.size() > kMaxRequest) return Fail(error, "request too long");
  if (bytes.size() < 3) return Fail(error, "request shorter than its header");
  const std::uint8_t kind = bytes[0];
  if (kind != kKindFunction && kind != kKindScript) return Fail(error, "unknown call kind");
  const std::uint16_t count = U16(&bytes[1]);
  if (count == 0) return Fail(error, "request without a name");
  if (count > kMaxParams + 1) return Fail(error, "more than ten parameters");
  Request req;
  req.script = kind == kKindScript;
  std::size_t at = 3;
  for (std::uint16_t i = 0; i < count; ++i) {
    if (bytes.size() - at < 3) return Fail(error, "item " + std::to_string(i + 1) + " cut short");
    const std::size_t length = U16(&bytes[at]);
    const char tag = static_cast<char>(bytes[at + 2]);
    at += 3;
    if (bytes.size() - at < length) return Fail(error, "item " + std::to_string(i + 1) + " longer than the request");
    const std::uint8_t* data = bytes.data() + at;
    at += length;
    if (i == 0) {
      if (tag != 'C') return Fail(error, "the first item is not the name");
      if (length == 0 || length > kMaxName) return Fail(error, "empty or overlong name");
      req.name.assign(reinterpret_cast<const char*>(data), length);
      if (req.name.find('\0') != std::string::npos) return Fail(error, "name holds a NUL");
      for (char& c : req.name) c = Upper(c);
      continue;
    }
    if (!Fixed(tag, length)) return Fail(error, "parameter " + std::to_string(i) + " has the wrong length for its type");
    Param p;
    p.tag = tag;
    switch (tag) {
      case 'C':
        p.text.assign(reinterpret_cast<const char*>(data), length);
        break;
      case 'I':
      case 'B':
        p.integer = static_cast<std::int32_t>(U32(data));
        break;
      case 'D':
        p.unsignedValue = U32(data);
        break;
      case 'R':
        std::memcpy(&p.real, data, sizeof p.real);
        break;
      case 'O': {
        const cvattobj::Area object(data, length);
        if (length < cvattobj::kHeaderSize || cvattobj::TotalSize(object) != length) {
          return Fail(error, "parameter " + std::to_string(i) + " is not a whole attribute object");
        }
        p.object.assign(data, data + length);
        break;
      }
      default:
        return Fail(error, "parameter " + std::to_string(i) + " has an unknown type");
    }
    if (req.script && tag != 'C') return Fail(error, "scripts take text parameters only");
    req.params.push_back(std::move(p));
  }
  if (at != bytes.size()) return Fail(error, "bytes after the last item");
  if (req.script != (req.name.find(".BAS") != std::string::npos)) {
    return Fail(error, "the call kind does not match the name");
  }
  return req;
}

}  // namespace cvrfc
