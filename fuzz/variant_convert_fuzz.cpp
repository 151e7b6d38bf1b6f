// Arbitrary bytes, read as UTF-8 text, converted to every value type and
// back to text. The conversions that must round-trip are checked: an integer,
// a currency or a boolean written as text reads back as itself, and a date
// written as text reads back to the same second.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "ole/variant_convert.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

// The value's bits, for the integer-like types.
std::uint64_t Bits(const VARIANT& v) {
  switch (v.vt) {
    case VT_I1: case VT_UI1: return v.bVal;
    case VT_I2: case VT_UI2: case VT_BOOL: return v.uiVal;
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: return v.ulVal;
    default: return v.ullVal;  // VT_I8, VT_UI8, VT_CY
  }
}

void RoundTrip(const VARIANT& value, WORD flags) {
  CComVariant text, back;
  HRESULT hr = VariantChangeType(&text, &value, flags, VT_BSTR);
  if (value.vt == VT_DATE && FAILED(hr)) return;  // outside the years 100 to 9999
  Check(hr == S_OK && text.vt == VT_BSTR);
  if (value.vt == VT_R4 || value.vt == VT_R8) return;  // 7 and 15 digits do not round-trip
  hr = VariantChangeType(&back, &text, 0, value.vt);
  Check(hr == S_OK && back.vt == value.vt);
  if (value.vt == VT_DATE)
    Check(std::fabs(back.date - value.date) <= 0.5 / 86400 + 1e-9);
  else
    Check(Bits(back) == Bits(value));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CComVariant src(std::string_view(reinterpret_cast<const char*>(data), size));
  static const VARTYPE kTargets[] = {VT_I1, VT_I2, VT_I4, VT_I8, VT_UI1, VT_UI2, VT_UI4,
                                     VT_UI8, VT_INT, VT_UINT, VT_R4, VT_R8, VT_CY, VT_DATE,
                                     VT_BOOL, VT_BSTR, VT_EMPTY, VT_NULL, VT_ERROR, VT_DISPATCH};
  for (VARTYPE vt : kTargets) {
    CComVariant out;
    HRESULT hr = VariantChangeType(&out, &src, 0, vt);
    if (FAILED(hr)) {
      Check(out.vt == VT_EMPTY);
      continue;
    }
    Check(out.vt == vt);
    if (vt == VT_BSTR) {
      Check(SysStringLen(out.bstrVal) == SysStringLen(src.bstrVal));
    } else if (vt != VT_EMPTY && vt != VT_NULL) {
      RoundTrip(out, 0);
      if (vt == VT_BOOL) RoundTrip(out, VARIANT_ALPHABOOL);
    }
  }
  return 0;
}
