#include "corvane/wire/logtext.h"

namespace cvwire {
namespace {

constexpr char kHex[] = "0123456789abcdef";

void Hex(std::string& out, const char* prefix, unsigned value) {
  out += prefix;
  out += kHex[(value >> 4) & 0xF];
  out += kHex[value & 0xF];
}

// Length of the well-formed UTF-8 sequence at the start of s (2..4), or 0.
std::size_t Utf8Length(std::string_view s, unsigned& codePoint) {
  const auto b0 = static_cast<unsigned char>(s[0]);
  std::size_t n = 0;
  unsigned cp = 0, min = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    n = 2, cp = b0 & 0x1F, min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 3, cp = b0 & 0x0F, min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (s.size() < n) return 0;
  for (std::size_t i = 1; i < n; ++i) {
    const auto b = static_cast<unsigned char>(s[i]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  codePoint = cp;
  return n;
}

}  // namespace

std::string LogText(std::string_view text, std::size_t limit) {
  const bool cut = text.size() > limit;
  if (cut) text = text.substr(0, limit);
  std::string out;
  out.reserve(text.size() + 8);
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      switch (c) {
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\\': out += "\\\\"; break;
        default:
          if (c < 0x20 || c == 0x7F) {
            Hex(out, "\\x", c);
          } else {
            out += static_cast<char>(c);
          }
      }
      ++i;
      continue;
    }
    unsigned cp = 0;
    const std::size_t n = Utf8Length(text.substr(i), cp);
    if (n == 0) {
      // Not UTF-8 (or a sequence the cut split).
      Hex(out, "\\x", c);
      ++i;
    } else if (cp <= 0x9F) {
      Hex(out, "\\u00", cp);
      i += n;
    } else {
      out.append(text.substr(i, n));
      i += n;
    }
  }
  if (cut) out += "...";
  return out;
}

}  // namespace cvwire
