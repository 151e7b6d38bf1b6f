// VariantChangeType(Ex) with the Windows coercion rules.
//
// A conversion reads the source (through VT_BYREF, and through an object's
// value property for VT_DISPATCH) into one of a few intermediate forms: a
// signed or unsigned 64-bit integer, a double, a currency or text. The target
// then takes the value from that form, with the range of each integer type
// from numeric_limits. Doubles and text round to integers half to even.
//
// Types converted: VT_EMPTY, VT_NULL, VT_I1 to VT_I8, VT_UI1 to VT_UI8,
// VT_INT, VT_UINT, VT_R4, VT_R8, VT_CY, VT_DATE, VT_BSTR, VT_BOOL,
// VT_DISPATCH, VT_UNKNOWN and VT_ERROR. VT_DECIMAL and arrays are not held by
// this runtime's VARIANT and give DISP_E_BADVARTYPE; VT_VARIANT and VT_RECORD
// as targets give DISP_E_TYPEMISMATCH, as on Windows. Every locale converts
// as en-US.

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "ole/date.h"
#include "ole/interfaces.h"
#include "ole/variant_convert.h"
#include "ole/variant_text.h"


namespace {

using namespace ole::vtext;

constexpr std::int64_t kCyScale = 10000;
constexpr int kMaxValueDepth = 8;  // value properties followed before giving up

// ---- Reading the source ------------------------------------------------------

enum class Form { Int, UInt, Real, Cy, Text };

struct Value {
  Form form = Form::Int;
  VARTYPE type = VT_EMPTY;  // the source type, for the rules that depend on it
  std::int64_t i = 0;       // Int, and Cy scaled by 10,000
  std::uint64_t u = 0;
  double d = 0;
  BSTR text = nullptr;
};

Value Read(const VARIANT& v) {
  Value r;
  r.type = v.vt;
  switch (v.vt) {
    case VT_I1: r.i = static_cast<signed char>(v.cVal); break;
    case VT_I2: r.i = v.iVal; break;
    case VT_I4: r.i = v.lVal; break;
    case VT_INT: r.i = v.intVal; break;
    case VT_I8: r.i = v.llVal; break;
    case VT_BOOL: r.i = v.boolVal; break;
    case VT_UI1: r.form = Form::UInt, r.u = v.bVal; break;
    case VT_UI2: r.form = Form::UInt, r.u = v.uiVal; break;
    case VT_UI4: r.form = Form::UInt, r.u = v.ulVal; break;
    case VT_UINT: r.form = Form::UInt, r.u = v.uintVal; break;
    case VT_UI8: r.form = Form::UInt, r.u = v.ullVal; break;
    case VT_R4: r.form = Form::Real, r.d = v.fltVal; break;
    case VT_R8: r.form = Form::Real, r.d = v.dblVal; break;
    case VT_DATE: r.form = Form::Real, r.d = v.date; break;
    case VT_CY: r.form = Form::Cy, r.i = v.cyVal.int64; break;
    case VT_BSTR: r.form = Form::Text, r.text = v.bstrVal; break;
    default: break;  // VT_EMPTY reads as the integer 0
  }
  return r;
}

bool IsScalarSource(VARTYPE vt) {
  switch (vt) {
    case VT_I1: case VT_I2: case VT_I4: case VT_I8: case VT_INT:
    case VT_UI1: case VT_UI2: case VT_UI4: case VT_UI8: case VT_UINT:
    case VT_R4: case VT_R8: case VT_CY: case VT_DATE: case VT_BSTR: case VT_BOOL:
    case VT_ERROR: case VT_DISPATCH: case VT_UNKNOWN:
      return true;
    default:
      return false;
  }
}

bool IsSupportedSource(VARTYPE vt) {
  if (vt == VT_EMPTY || vt == VT_NULL || vt == (VT_BYREF | VT_VARIANT)) return true;
  return IsScalarSource(vt & ~VT_BYREF);
}

// A by-reference source as the plain value it points to (no reference added,
// no string copied).
HRESULT Dereference(const VARIANT& src, VARIANT* out) {
  if (!src.byref) return DISP_E_TYPEMISMATCH;
  const VARTYPE base = src.vt & ~VT_BYREF;
  if (base == VT_VARIANT) {
    const VARIANT& inner = *src.pvarVal;
    if (inner.vt == (VT_BYREF | VT_VARIANT)) return E_INVALIDARG;  // one level only
    if (!IsSupportedSource(inner.vt)) return DISP_E_BADVARTYPE;
    if (inner.vt & VT_BYREF) return Dereference(inner, out);
    *out = inner;
    return S_OK;
  }
  VariantInit(out);
  out->vt = base;
  switch (base) {
    case VT_I1: out->cVal = *src.pcVal; break;
    case VT_UI1: out->bVal = *src.pbVal; break;
    case VT_I2: out->iVal = *src.piVal; break;
    case VT_UI2: out->uiVal = *src.puiVal; break;
    case VT_BOOL: out->boolVal = *src.pboolVal; break;
    case VT_I4: out->lVal = *src.plVal; break;
    case VT_UI4: out->ulVal = *src.pulVal; break;
    case VT_INT: out->intVal = *src.pintVal; break;
    case VT_UINT: out->uintVal = *src.puintVal; break;
    case VT_ERROR: out->scode = *src.pscode; break;
    case VT_I8: out->llVal = *src.pllVal; break;
    case VT_UI8: out->ullVal = *src.pullVal; break;
    case VT_R4: out->fltVal = *src.pfltVal; break;
    case VT_R8: out->dblVal = *src.pdblVal; break;
    case VT_DATE: out->date = *src.pdate; break;
    case VT_CY: out->cyVal = *src.pcyVal; break;
    case VT_BSTR: out->bstrVal = *src.pbstrVal; break;
    case VT_DISPATCH: out->pdispVal = *src.ppdispVal; break;
    case VT_UNKNOWN: out->punkVal = *src.ppunkVal; break;
    default: return DISP_E_BADVARTYPE;
  }
  return S_OK;
}

// ---- Integers ------------------------------------------------------------------

// An exact integer as sign and magnitude, wide enough for every source.
struct Exact {
  bool neg = false;
  std::uint64_t mag = 0;
};

Exact FromSigned(std::int64_t v) {
  return {v < 0, v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v)};
}

int BitLength(unsigned __int128 x) {
  int n = 0;
  for (; x; x >>= 1) ++n;
  return n;
}

// d * scale rounded half to even, computed exactly (a double is a 53-bit
// integer times a power of two), so that large values round as they should.
HRESULT ScaleReal(double d, unsigned scale, Exact* out) {
  if (!std::isfinite(d)) return DISP_E_OVERFLOW;
  *out = {};
  if (d == 0) return S_OK;
  int exp = 0;
  const double frac = std::frexp(std::fabs(d), &exp);
  exp -= 53;
  unsigned __int128 p = static_cast<unsigned __int128>(std::ldexp(frac, 53)) * scale;
  if (exp >= 0) {
    if (BitLength(p) + exp > 64) return DISP_E_OVERFLOW;
    p <<= exp;
  } else if (-exp >= 128) {
    p = 0;  // |d| * scale is below 2^-60: rounds to zero
  } else {
    const int shift = -exp;
    const unsigned __int128 q = p >> shift, rem = p - (q << shift);
    const unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
    p = q + ((rem > half || (rem == half && (q & 1))) ? 1 : 0);
    if (p >> 64) return DISP_E_OVERFLOW;
  }
  *out = {d < 0 && p != 0, static_cast<std::uint64_t>(p)};
  return S_OK;
}

Exact RoundCy(std::int64_t cy) {
  std::int64_t q = cy / kCyScale, r = cy % kCyScale;  // r has the sign of cy
  if (r > kCyScale / 2 || (r == kCyScale / 2 && (q & 1))) ++q;
  if (r < -kCyScale / 2 || (r == -kCyScale / 2 && (q & 1))) --q;
  return FromSigned(q);
}

struct IntTarget {
  VARTYPE vt;
  bool isSigned;
  int bits;
  std::uint64_t maxPositive;  // numeric_limits<T>::max()
  std::uint64_t maxNegative;  // magnitude of numeric_limits<T>::min()
  void (*store)(VARIANT&, std::uint64_t);
};

template <class T, T VARIANT::*Field>
constexpr IntTarget MakeTarget(VARTYPE vt) {
  using L = std::numeric_limits<T>;
  return {vt,
          L::is_signed,
          L::digits + (L::is_signed ? 1 : 0),
          static_cast<std::uint64_t>(L::max()),
          L::is_signed ? static_cast<std::uint64_t>(-(L::min() + 1)) + 1 : 0,
          [](VARIANT& v, std::uint64_t bits) { v.*Field = static_cast<T>(bits); }};
}

// CHAR is plain char, signed or not by platform; VT_I1 is always signed.
void StoreI1(VARIANT& v, std::uint64_t bits) {
  v.cVal = static_cast<CHAR>(static_cast<signed char>(bits));
}

constexpr IntTarget kIntTargets[] = {
    {VT_I1, true, 8, 127, 128, StoreI1},
    MakeTarget<BYTE, &VARIANT::bVal>(VT_UI1),
    MakeTarget<SHORT, &VARIANT::iVal>(VT_I2),
    MakeTarget<USHORT, &VARIANT::uiVal>(VT_UI2),
    MakeTarget<LONG, &VARIANT::lVal>(VT_I4),
    MakeTarget<ULONG, &VARIANT::ulVal>(VT_UI4),
    MakeTarget<INT, &VARIANT::intVal>(VT_INT),
    MakeTarget<UINT, &VARIANT::uintVal>(VT_UINT),
    MakeTarget<LONGLONG, &VARIANT::llVal>(VT_I8),
    MakeTarget<ULONGLONG, &VARIANT::ullVal>(VT_UI8),
};

const IntTarget* FindIntTarget(VARTYPE vt) {
  for (const IntTarget& t : kIntTargets)
    if (t.vt == vt) return &t;
  return nullptr;
}

HRESULT ToInteger(const Value& v, const IntTarget& t, VARIANT& out) {
  Exact x;
  HRESULT hr = S_OK;
  switch (v.form) {
    case Form::Int:
      if (v.type == VT_BOOL) {  // Windows wraps booleans: VARIANT_TRUE is 255 as VT_UI1
        t.store(out, static_cast<std::uint64_t>(v.i));
        return S_OK;
      }
      x = FromSigned(v.i);
      break;
    case Form::UInt:
      if (v.type == VT_UINT && (t.vt == VT_I4 || t.vt == VT_INT)) {  // unchecked on Windows
        t.store(out, v.u);
        return S_OK;
      }
      x.mag = v.u;
      break;
    case Form::Real: hr = ScaleReal(v.d, 1, &x); break;
    case Form::Cy: x = RoundCy(v.i); break;
    case Form::Text:
      hr = TextToInteger(ole::BstrView(v.text), 0, t.isSigned ? t.bits : 0, &x.neg, &x.mag);
      break;
  }
  if (FAILED(hr)) return hr;
  if (x.mag > (x.neg ? t.maxNegative : t.maxPositive)) return DISP_E_OVERFLOW;
  t.store(out, x.neg ? 0 - x.mag : x.mag);
  return S_OK;
}

// ---- Doubles, dates, currency, booleans ------------------------------------------

HRESULT ToDouble(const Value& v, double* out) {
  switch (v.form) {
    case Form::Int: *out = static_cast<double>(v.i); return S_OK;
    case Form::UInt: *out = static_cast<double>(v.u); return S_OK;
    case Form::Real: *out = v.d; return S_OK;
    case Form::Cy: *out = static_cast<double>(v.i) / kCyScale; return S_OK;
    case Form::Text: return TextToDouble(ole::BstrView(v.text), out);
  }
  return DISP_E_TYPEMISMATCH;
}

HRESULT ToFloat(const Value& v, FLOAT* out) {
  double d = 0;
  HRESULT hr = ToDouble(v, &d);
  if (FAILED(hr)) return hr;
  if (d > FLT_MAX || d < -FLT_MAX) return DISP_E_OVERFLOW;
  *out = static_cast<FLOAT>(d);
  return S_OK;
}

HRESULT ToDate(const Value& v, DATE* out) {
  if (v.form == Form::Text) return TextToDate(ole::BstrView(v.text), out);
  double d = 0;
  HRESULT hr = ToDouble(v, &d);
  if (FAILED(hr)) return hr;
  // Whole days from 1 January 100 to 31 December 9999 and the times within them.
  if (!(d > ole::kMinDate - 1.0 && d < std::floor(ole::kMaxDate) + 1.0)) return DISP_E_OVERFLOW;
  *out = d;
  return S_OK;
}

HRESULT ToCurrency(const Value& v, CY* out) {
  constexpr std::int64_t kLimit = std::numeric_limits<std::int64_t>::max() / kCyScale;
  Exact x;
  HRESULT hr = S_OK;
  switch (v.form) {
    case Form::Int:
      if (v.i > kLimit || v.i < -kLimit) return DISP_E_OVERFLOW;
      out->int64 = v.i * kCyScale;
      return S_OK;
    case Form::UInt:
      if (v.u > static_cast<std::uint64_t>(kLimit)) return DISP_E_OVERFLOW;
      out->int64 = static_cast<std::int64_t>(v.u) * kCyScale;
      return S_OK;
    case Form::Cy:
      out->int64 = v.i;
      return S_OK;
    case Form::Real:
      hr = ScaleReal(v.d, static_cast<unsigned>(kCyScale), &x);
      break;
    case Form::Text:
      hr = TextToInteger(ole::BstrView(v.text), 4, 0, &x.neg, &x.mag);
      break;
  }
  if (FAILED(hr)) return hr;
  const std::uint64_t limit = x.neg ? std::uint64_t{1} << 63 : (std::uint64_t{1} << 63) - 1;
  if (x.mag > limit) return DISP_E_OVERFLOW;
  out->int64 = static_cast<std::int64_t>(x.neg ? 0 - x.mag : x.mag);
  return S_OK;
}

HRESULT ToBool(const Value& v, VARIANT_BOOL* out) {
  bool nonzero = false;
  switch (v.form) {
    case Form::Int:
      if (v.type == VT_BOOL) {  // kept as it is, even when not -1
        *out = static_cast<VARIANT_BOOL>(v.i);
        return S_OK;
      }
      nonzero = v.i != 0;
      break;
    case Form::UInt: nonzero = v.u != 0; break;
    case Form::Real: nonzero = v.d != 0; break;  // NaN is true
    case Form::Cy: nonzero = v.i != 0; break;
    case Form::Text: return TextToBool(ole::BstrView(v.text), out);
  }
  *out = nonzero ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

// ---- Text ------------------------------------------------------------------------

std::u16string DecimalText(bool neg, std::uint64_t mag) {
  std::string s = (neg ? "-" : "") + std::to_string(mag);
  return std::u16string(s.begin(), s.end());
}

// Booleans write as numbers ("-1", "0") unless VARIANT_ALPHABOOL asks for
// "True" / "False"; R4 keeps 7 significant digits, R8 15.
HRESULT ToText(const Value& v, WORD flags, BSTR* out) {
  std::u16string s;
  switch (v.form) {
    case Form::Int:
      if (v.type == VT_EMPTY)
        s.clear();
      else if (v.type == VT_BOOL && (flags & VARIANT_ALPHABOOL))
        s = v.i ? u"True" : u"False";
      else
        s = DecimalText(v.i < 0, FromSigned(v.i).mag);
      break;
    case Form::UInt: s = DecimalText(false, v.u); break;
    case Form::Cy: s = FormatCurrency(v.i); break;
    case Form::Real:
      if (v.type == VT_DATE) {
        HRESULT hr = FormatDate(v.d, &s);
        if (FAILED(hr)) return hr;
      } else {
        s = FormatReal(v.d, v.type == VT_R4 ? 7 : 15);
      }
      break;
    case Form::Text:
      if (!v.text) {
        *out = nullptr;
        return S_OK;
      }
      *out = SysAllocStringLen(v.text, SysStringLen(v.text));
      return *out ? S_OK : E_OUTOFMEMORY;
  }
  *out = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
  return *out ? S_OK : E_OUTOFMEMORY;
}

// ---- Targets -----------------------------------------------------------------------

enum class Target { Bad, Mismatch, Empty, Null, Error, Interface, Value };

Target Classify(VARTYPE vt) {
  if (FindIntTarget(vt)) return Target::Value;
  switch (vt) {
    case VT_R4: case VT_R8: case VT_CY: case VT_DATE: case VT_BSTR: case VT_BOOL:
      return Target::Value;
    case VT_EMPTY: return Target::Empty;
    case VT_NULL: return Target::Null;
    case VT_ERROR: return Target::Error;
    case VT_DISPATCH: case VT_UNKNOWN: return Target::Interface;
    case VT_VARIANT: case VT_RECORD: return Target::Mismatch;
    default: return Target::Bad;
  }
}

// The value of a non-interface source as target type vt.
HRESULT Encode(const Value& v, VARTYPE vt, WORD flags, VARIANT& out) {
  HRESULT hr = S_OK;
  if (const IntTarget* t = FindIntTarget(vt)) {
    hr = ToInteger(v, *t, out);
  } else {
    switch (vt) {
      case VT_R8: hr = ToDouble(v, &out.dblVal); break;
      case VT_R4: hr = ToFloat(v, &out.fltVal); break;
      case VT_DATE: hr = ToDate(v, &out.date); break;
      case VT_CY: hr = ToCurrency(v, &out.cyVal); break;
      case VT_BOOL: hr = ToBool(v, &out.boolVal); break;
      case VT_BSTR: hr = ToText(v, flags, &out.bstrVal); break;
      default: hr = DISP_E_BADVARTYPE; break;
    }
  }
  if (SUCCEEDED(hr)) out.vt = vt;
  return hr;
}

HRESULT ToInterface(const VARIANT& s, VARTYPE vt, VARIANT& out) {
  if (s.vt != VT_DISPATCH && s.vt != VT_UNKNOWN) return DISP_E_TYPEMISMATCH;
  IUnknown* p = s.punkVal;
  out.punkVal = nullptr;
  if (p && s.vt == vt) {
    p->AddRef();
    out.punkVal = p;
  } else if (p) {
    HRESULT hr = p->QueryInterface(vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown,
                                   reinterpret_cast<void**>(&out.punkVal));
    if (FAILED(hr)) return hr;
  }
  out.vt = vt;
  return S_OK;
}

HRESULT Coerce(const VARIANT& src, LCID lcid, WORD flags, VARTYPE vt, int depth, VARIANT& out);

// An object converts through its value property (DISPID_VALUE).
HRESULT FromValueProperty(IDispatch* object, LCID lcid, WORD flags, VARTYPE vt, int depth,
                          VARIANT& out) {
  if (!object || (flags & VARIANT_NOVALUEPROP) || depth >= kMaxValueDepth)
    return DISP_E_TYPEMISMATCH;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  VARIANT value;
  VariantInit(&value);
  HRESULT hr = object->Invoke(DISPID_VALUE, IID_NULL, lcid, DISPATCH_PROPERTYGET, &none, &value,
                              nullptr, nullptr);
  if (SUCCEEDED(hr))
    hr = Coerce(value, lcid, flags, vt, depth + 1, out);
  else
    hr = DISP_E_TYPEMISMATCH;
  VariantClear(&value);
  return hr;
}

// Writes the converted value into out (VT_EMPTY on entry); out holds nothing on
// failure.
HRESULT Coerce(const VARIANT& src, LCID lcid, WORD flags, VARTYPE vt, int depth, VARIANT& out) {
  if (!IsSupportedSource(src.vt)) return DISP_E_BADVARTYPE;
  if ((vt & ~(VT_BYREF | VT_ARRAY)) != (vt & VT_TYPEMASK) ||
      Classify(vt & VT_TYPEMASK) == Target::Bad)
    return DISP_E_BADVARTYPE;
  VARIANT plain;
  const VARIANT* s = &src;
  if (src.vt & VT_BYREF) {
    HRESULT hr = Dereference(src, &plain);
    if (FAILED(hr)) return hr;
    s = &plain;
  }
  if (vt & (VT_BYREF | VT_ARRAY)) return DISP_E_BADVARTYPE;

  const VARTYPE from = s->vt;
  switch (Classify(vt)) {
    case Target::Bad: return DISP_E_BADVARTYPE;
    case Target::Mismatch: return DISP_E_TYPEMISMATCH;
    case Target::Empty:
    case Target::Null:
      if (from == VT_ERROR || (from == VT_NULL && vt == VT_EMPTY)) return DISP_E_TYPEMISMATCH;
      out.vt = vt;
      return S_OK;
    case Target::Error:
      if (from != VT_ERROR) return DISP_E_TYPEMISMATCH;
      out.scode = s->scode;
      out.vt = VT_ERROR;
      return S_OK;
    case Target::Interface: return ToInterface(*s, vt, out);
    case Target::Value: break;
  }
  if (from == VT_NULL || from == VT_ERROR || from == VT_UNKNOWN) return DISP_E_TYPEMISMATCH;
  if (from == VT_DISPATCH) return FromValueProperty(s->pdispVal, lcid, flags, vt, depth, out);
  return Encode(Read(*s), vt, flags, out);
}

}  // namespace

HRESULT VariantChangeTypeEx(VARIANTARG* dest, const VARIANTARG* src, LCID lcid, WORD flags,
                            VARTYPE vt) {
  if (!dest || !src) return E_INVALIDARG;
  VARIANT result;
  VariantInit(&result);
  HRESULT hr = Coerce(*src, lcid, flags, vt, 0, result);
  if (FAILED(hr)) return hr;
  // Only now is the old value freed: dest may be src, and a failure above
  // leaves it as it was.
  hr = VariantClear(dest);
  if (FAILED(hr)) {
    VariantClear(&result);
    return hr;
  }
  *dest = result;
  return S_OK;
}

HRESULT VariantChangeType(VARIANTARG* dest, const VARIANTARG* src, WORD flags, VARTYPE vt) {
  return VariantChangeTypeEx(dest, src, LOCALE_USER_DEFAULT, flags, vt);
}

HRESULT CComVariant::ChangeType(VARTYPE type, const VARIANT* src) {
  return VariantChangeType(this, src ? src : this, 0, type);
}
