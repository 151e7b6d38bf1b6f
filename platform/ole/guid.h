// GUIDs in the Windows layout, with the registry's text form
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "ole/hresult.h"

struct GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];

  friend constexpr bool operator==(const GUID&, const GUID&) = default;
};

using IID = GUID;
using CLSID = GUID;
using CATID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

namespace ole::detail {
constexpr int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace ole::detail

// Parses "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" with or without braces, digits
// in either case. Usable at compile time.
constexpr std::optional<GUID> GuidFromString(std::string_view s) {
  if (s.size() == 38) {
    if (s.front() != '{' || s.back() != '}') return std::nullopt;
    s = s.substr(1, 36);
  }
  if (s.size() != 36) return std::nullopt;
  constexpr int dashes[] = {8, 13, 18, 23};
  for (int d : dashes)
    if (s[static_cast<std::size_t>(d)] != '-') return std::nullopt;
  unsigned char bytes[16] = {};
  std::size_t n = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '-') {
      if (i != 8 && i != 13 && i != 18 && i != 23) return std::nullopt;
      continue;
    }
    if (i + 1 >= s.size() || s[i + 1] == '-') return std::nullopt;
    int hi = ole::detail::HexDigit(s[i]);
    int lo = ole::detail::HexDigit(s[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    bytes[n++] = static_cast<unsigned char>(hi * 16 + lo);
    ++i;
  }
  if (n != 16) return std::nullopt;
  GUID g{};
  g.Data1 = (DWORD(bytes[0]) << 24) | (DWORD(bytes[1]) << 16) | (DWORD(bytes[2]) << 8) | bytes[3];
  g.Data2 = static_cast<WORD>((bytes[4] << 8) | bytes[5]);
  g.Data3 = static_cast<WORD>((bytes[6] << 8) | bytes[7]);
  for (int i = 0; i < 8; ++i) g.Data4[i] = bytes[8 + i];
  return g;
}

// A GUID constant from its text; a malformed literal fails to compile.
consteval GUID MakeGuid(std::string_view s) {
  auto g = GuidFromString(s);
  if (!g) throw "malformed GUID literal";
  return *g;
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case.
std::string GuidToString(REFGUID g);

inline constexpr GUID GUID_NULL{};
inline constexpr IID IID_NULL{};

// The Windows entry points over OLECHAR text.
HRESULT CLSIDFromString(LPCOLESTR text, CLSID* clsid);
HRESULT IIDFromString(LPCOLESTR text, IID* iid);
// Writes the braced form and its terminating NUL; returns the characters
// written including the NUL, or 0 when cchMax is smaller than 39.
int StringFromGUID2(REFGUID g, LPOLESTR out, int cchMax);
inline BOOL IsEqualGUID(REFGUID a, REFGUID b) { return a == b; }
inline BOOL IsEqualIID(REFIID a, REFIID b) { return a == b; }
inline BOOL IsEqualCLSID(REFCLSID a, REFCLSID b) { return a == b; }

template <>
struct std::hash<GUID> {
  std::size_t operator()(const GUID& g) const noexcept {
    std::uint64_t a = (std::uint64_t(g.Data1) << 32) | (std::uint64_t(g.Data2) << 16) | g.Data3;
    std::uint64_t b = 0;
    for (int i = 0; i < 8; ++i) b = (b << 8) | g.Data4[i];
    return std::hash<std::uint64_t>{}(a ^ (b * 0x9E3779B97F4A7C15ull));
  }
};

// Orders GUIDs for sorted containers (byte order of the text form).
struct GuidLess {
  bool operator()(const GUID& a, const GUID& b) const noexcept;
};
