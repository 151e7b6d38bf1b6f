// BSTR: length-prefixed UTF-16 strings owned by the automation runtime, their
// conversions to and from the ANSI code page (UTF-8 here), and the Unicode case
// operations the automation code needs.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "ole/hresult.h"

// A BSTR points at its first character; the 32-bit byte length sits in the four
// bytes before it, and a NUL character follows the text. A null BSTR is a valid
// empty string.
BSTR SysAllocString(LPCOLESTR text);
BSTR SysAllocStringLen(LPCOLESTR text, UINT chars);      // text may be null: contents zeroed
BSTR SysAllocStringByteLen(const char* bytes, UINT len);  // len bytes, no conversion
INT SysReAllocString(BSTR* target, LPCOLESTR text);
INT SysReAllocStringLen(BSTR* target, LPCOLESTR text, UINT chars);
void SysFreeString(BSTR text);
UINT SysStringLen(BSTR text);
UINT SysStringByteLen(BSTR text);

namespace ole {

// Number of BSTRs allocated and not yet freed in this process, for leak checks.
long LiveBstrCount();

// UTF-8 <-> UTF-16. Invalid input (bad UTF-8 sequences, lone surrogates)
// becomes U+FFFD; conversion never fails.
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);

// A new BSTR from UTF-8 text (never null unless out of memory).
BSTR BstrFromUtf8(std::string_view utf8);
BSTR BstrFromUtf16(std::u16string_view utf16);
// The text of a BSTR; a null BSTR reads as empty.
std::u16string_view BstrView(BSTR b);
std::string BstrToUtf8(BSTR b);

// Simple (one-to-one) Unicode case mappings.
std::u16string ToUpper(std::u16string_view s);
std::string ToUpperUtf8(std::string_view utf8);
// Ordinal comparison after simple case folding: <0, 0, >0.
int CompareNoCase(std::u16string_view a, std::u16string_view b);
int CompareNoCaseUtf8(std::string_view a, std::string_view b);
inline bool EqualsNoCase(std::u16string_view a, std::u16string_view b) {
  return CompareNoCase(a, b) == 0;
}
inline bool EqualsNoCaseUtf8(std::string_view a, std::string_view b) {
  return CompareNoCaseUtf8(a, b) == 0;
}

}  // namespace ole

// Owns one BSTR and frees it on destruction, in the manner of ATL's CComBSTR.
class CComBSTR {
 public:
  CComBSTR() = default;
  explicit CComBSTR(std::u16string_view s) : str_(ole::BstrFromUtf16(s)) {}
  explicit CComBSTR(std::string_view utf8) : str_(ole::BstrFromUtf8(utf8)) {}
  explicit CComBSTR(const char* utf8) : str_(ole::BstrFromUtf8(utf8 ? utf8 : "")) {}
  CComBSTR(const CComBSTR& other) : str_(Copy(other.str_)) {}
  CComBSTR(CComBSTR&& other) noexcept : str_(std::exchange(other.str_, nullptr)) {}
  CComBSTR& operator=(CComBSTR other) noexcept {
    std::swap(str_, other.str_);
    return *this;
  }
  ~CComBSTR() { SysFreeString(str_); }

  // Takes ownership of b.
  static CComBSTR Take(BSTR b) {
    CComBSTR r;
    r.str_ = b;
    return r;
  }
  // A new BSTR with the same text, length and embedded NULs included.
  static BSTR Copy(BSTR b);

  operator BSTR() const { return str_; }
  BSTR m_str() const { return str_; }
  UINT Length() const { return SysStringLen(str_); }
  bool IsEmpty() const { return Length() == 0; }
  std::u16string_view View() const { return ole::BstrView(str_); }
  std::string Utf8() const { return ole::BstrToUtf8(str_); }

  BSTR Detach() { return std::exchange(str_, nullptr); }
  void Attach(BSTR b) {
    SysFreeString(str_);
    str_ = b;
  }
  // For out parameters: frees the current string and hands out its slot.
  BSTR* Out() {
    Attach(nullptr);
    return &str_;
  }

 private:
  BSTR str_ = nullptr;
};
