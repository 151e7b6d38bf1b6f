#include "ole/guid.h"

#include <cstdio>
#include <tuple>

#include "ole/bstr.h"

std::string GuidToString(REFGUID g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return buf;
}

namespace {
HRESULT ParseOle(LPCOLESTR text, GUID* out) {
  if (!text || !out) return E_INVALIDARG;
  std::u16string_view s(text);
  if (s.size() != 38 || s.front() != u'{') return CO_E_CLASSSTRING;
  std::string narrow;
  for (char16_t c : s) {
    if (c > 0x7F) return CO_E_CLASSSTRING;
    narrow.push_back(static_cast<char>(c));
  }
  auto g = GuidFromString(narrow);
  if (!g) return CO_E_CLASSSTRING;
  *out = *g;
  return S_OK;
}
}  // namespace

HRESULT CLSIDFromString(LPCOLESTR text, CLSID* clsid) { return ParseOle(text, clsid); }
HRESULT IIDFromString(LPCOLESTR text, IID* iid) { return ParseOle(text, iid); }

int StringFromGUID2(REFGUID g, LPOLESTR out, int cchMax) {
  if (!out || cchMax < 39) return 0;
  std::string s = GuidToString(g);
  for (std::size_t i = 0; i < s.size(); ++i) out[i] = static_cast<OLECHAR>(s[i]);
  out[s.size()] = 0;
  return static_cast<int>(s.size() + 1);
}

bool GuidLess::operator()(const GUID& a, const GUID& b) const noexcept {
  auto key = [](const GUID& g) {
    return std::tuple(g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                      g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  };
  return key(a) < key(b);
}
