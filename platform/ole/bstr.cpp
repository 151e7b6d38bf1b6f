#include "ole/bstr.h"

#include <unicode/uchar.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

std::atomic<long> g_live{0};

// Layout of one allocation: [u32 byte length][characters][NUL char16].
constexpr std::size_t kPrefix = sizeof(std::uint32_t);

BSTR AllocBytes(const void* data, std::size_t bytes) {
  if (bytes > std::numeric_limits<std::uint32_t>::max() - 16) return nullptr;
  auto* block = static_cast<unsigned char*>(std::malloc(kPrefix + bytes + sizeof(OLECHAR) + 1));
  if (!block) return nullptr;
  std::uint32_t len = static_cast<std::uint32_t>(bytes);
  std::memcpy(block, &len, kPrefix);
  if (data)
    std::memcpy(block + kPrefix, data, bytes);
  else
    std::memset(block + kPrefix, 0, bytes);
  // A NUL character after the text, and one more byte so that an odd byte
  // length (SysAllocStringByteLen) still ends in a whole NUL character.
  std::memset(block + kPrefix + bytes, 0, sizeof(OLECHAR) + 1);
  ++g_live;
  return reinterpret_cast<BSTR>(block + kPrefix);
}

std::uint32_t ByteLen(BSTR b) {
  std::uint32_t len;
  std::memcpy(&len, reinterpret_cast<unsigned char*>(b) - kPrefix, kPrefix);
  return len;
}

std::size_t OleLen(LPCOLESTR s) {
  std::size_t n = 0;
  while (s[n]) ++n;
  return n;
}

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point from UTF-8 at s[i], advancing i; malformed input
// (overlong, surrogate, out of range, truncated) yields U+FFFD for the maximal
// invalid prefix, as the Unicode standard recommends.
char32_t DecodeUtf8(std::string_view s, std::size_t& i) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char b0 = byte(i++);
  if (b0 < 0x80) return b0;
  int need;
  char32_t cp;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1, cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2, cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3, cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return kReplacement;
  }
  for (int k = 0; k < need; ++k) {
    if (i >= s.size()) return kReplacement;
    unsigned char b = byte(i);
    if (b < lo || b > hi) return kReplacement;
    lo = 0x80, hi = 0xBF;
    cp = (cp << 6) | (b & 0x3F);
    ++i;
  }
  return cp;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

void AppendUtf16(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

// Decodes one code point from UTF-16 at s[i]; a lone surrogate is U+FFFD.
char32_t DecodeUtf16(std::u16string_view s, std::size_t& i) {
  char16_t c = s[i++];
  if (c < 0xD800 || c > 0xDFFF) return c;
  if (c <= 0xDBFF && i < s.size() && s[i] >= 0xDC00 && s[i] <= 0xDFFF) {
    char32_t cp = 0x10000 + ((char32_t(c) - 0xD800) << 10) + (char32_t(s[i]) - 0xDC00);
    ++i;
    return cp;
  }
  return kReplacement;
}

}  // namespace

BSTR SysAllocString(LPCOLESTR text) {
  if (!text) return nullptr;
  return SysAllocStringLen(text, static_cast<UINT>(OleLen(text)));
}

BSTR SysAllocStringLen(LPCOLESTR text, UINT chars) {
  if (chars > (std::numeric_limits<std::uint32_t>::max() - 16) / sizeof(OLECHAR)) return nullptr;
  return AllocBytes(text, std::size_t(chars) * sizeof(OLECHAR));
}

BSTR SysAllocStringByteLen(const char* bytes, UINT len) { return AllocBytes(bytes, len); }

INT SysReAllocString(BSTR* target, LPCOLESTR text) {
  if (!target) return FALSE;
  return SysReAllocStringLen(target, text, text ? static_cast<UINT>(OleLen(text)) : 0);
}

INT SysReAllocStringLen(BSTR* target, LPCOLESTR text, UINT chars) {
  if (!target) return FALSE;
  BSTR fresh = SysAllocStringLen(text, chars);  // text may lie inside *target
  if (!fresh) return FALSE;
  SysFreeString(*target);
  *target = fresh;
  return TRUE;
}

void SysFreeString(BSTR text) {
  if (!text) return;
  --g_live;
  std::free(reinterpret_cast<unsigned char*>(text) - kPrefix);
}

UINT SysStringLen(BSTR text) { return text ? ByteLen(text) / sizeof(OLECHAR) : 0; }
UINT SysStringByteLen(BSTR text) { return text ? ByteLen(text) : 0; }

BSTR CComBSTR::Copy(BSTR b) {
  if (!b) return nullptr;
  return SysAllocStringByteLen(reinterpret_cast<const char*>(b), SysStringByteLen(b));
}

namespace ole {

long LiveBstrCount() { return g_live.load(); }

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) AppendUtf16(out, DecodeUtf8(utf8, i));
  return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size();) AppendUtf8(out, DecodeUtf16(utf16, i));
  return out;
}

BSTR BstrFromUtf8(std::string_view utf8) { return BstrFromUtf16(Utf8ToUtf16(utf8)); }

BSTR BstrFromUtf16(std::u16string_view s) {
  if (s.size() > std::numeric_limits<UINT>::max()) return nullptr;
  return SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
}

std::u16string_view BstrView(BSTR b) { return b ? std::u16string_view(b, SysStringLen(b)) : u""; }

std::string BstrToUtf8(BSTR b) { return Utf16ToUtf8(BstrView(b)); }

std::u16string ToUpper(std::u16string_view s) {
  std::u16string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    std::size_t start = i;
    char32_t cp = DecodeUtf16(s, i);
    if (cp == kReplacement && s[start] != 0xFFFD) {
      out.append(s.substr(start, i - start));  // a lone surrogate stays as it is
      continue;
    }
    AppendUtf16(out, static_cast<char32_t>(u_toupper(static_cast<UChar32>(cp))));
  }
  return out;
}

std::string ToUpperUtf8(std::string_view utf8) { return Utf16ToUtf8(ToUpper(Utf8ToUtf16(utf8))); }

int CompareNoCase(std::u16string_view a, std::u16string_view b) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    auto x = static_cast<char32_t>(u_foldCase(static_cast<UChar32>(DecodeUtf16(a, i)), U_FOLD_CASE_DEFAULT));
    auto y = static_cast<char32_t>(u_foldCase(static_cast<UChar32>(DecodeUtf16(b, j)), U_FOLD_CASE_DEFAULT));
    if (x != y) return x < y ? -1 : 1;
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return 0;
}

int CompareNoCaseUtf8(std::string_view a, std::string_view b) {
  return CompareNoCase(Utf8ToUtf16(a), Utf8ToUtf16(b));
}

}  // namespace ole
