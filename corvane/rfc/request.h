// The call request record the control sends: a call kind byte (0x80 for a
// script, 0x00 for a function), a u16 item count and that many items, each a
// u16 data length, a tag letter and the data. The first item is the name
// ('C'); the parameters follow: 'C' text, 'I' int32, 'R' double, 'B' int32
// boolean, 'D' uint32, 'O' a whole attribute object. Little-endian.
//
// The parser reads only inside the bytes given, checks every length before
// using it and refuses anything malformed with a reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace cvrfc {

inline constexpr std::size_t kMaxName = 256;
inline constexpr std::size_t kMaxParams = 10;
inline constexpr std::size_t kMaxRequest = 4096;
inline constexpr std::uint8_t kKindFunction = 0x00;
inline constexpr std::uint8_t kKindScript = 0x80;

struct Param {
  char tag = 0;                     // 'C', 'I', 'R', 'B', 'D' or 'O'
  std::string text;                 // 'C'
  std::int32_t integer = 0;         // 'I', 'B'
  std::uint32_t unsignedValue = 0;  // 'D'
  double real = 0;                  // 'R'
  std::vector<std::uint8_t> object; // 'O': the attribute object's bytes
};

struct Request {
  bool script = false;
  std::string name;  // upper case
  std::vector<Param> params;
};

// nullopt with *error set when the bytes are not one well-formed request.
std::optional<Request> ParseRequest(std::span<const std::uint8_t> bytes, std::string* error);

}  // namespace cvrfc
