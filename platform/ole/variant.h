// VARIANT with the Windows VARTYPE numbers, and its life-cycle functions.
// Conversions between types are in variant_convert.h, which builds on this.
#pragma once

#include <concepts>
#include <string>
#include <string_view>
#include <utility>

#include "ole/bstr.h"
#include "ole/hresult.h"

struct IUnknown;
struct IDispatch;
struct SAFEARRAY;

enum VARENUM : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_VOID = 24,
  VT_HRESULT = 25,
  VT_PTR = 26,
  VT_SAFEARRAY = 27,
  VT_CARRAY = 28,
  VT_USERDEFINED = 29,
  VT_LPSTR = 30,
  VT_LPWSTR = 31,
  VT_RECORD = 36,
  VT_VECTOR = 0x1000,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
  VT_RESERVED = 0x8000,
  VT_TYPEMASK = 0x0FFF,
};

struct VARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONGLONG llVal;
    LONG lVal;
    BYTE bVal;
    SHORT iVal;
    FLOAT fltVal;
    DOUBLE dblVal;
    VARIANT_BOOL boolVal;
    SCODE scode;
    CY cyVal;
    DATE date;
    BSTR bstrVal;
    IUnknown* punkVal;
    IDispatch* pdispVal;
    SAFEARRAY* parray;
    BYTE* pbVal;
    SHORT* piVal;
    LONG* plVal;
    LONGLONG* pllVal;
    FLOAT* pfltVal;
    DOUBLE* pdblVal;
    VARIANT_BOOL* pboolVal;
    SCODE* pscode;
    CY* pcyVal;
    DATE* pdate;
    BSTR* pbstrVal;
    IUnknown** ppunkVal;
    IDispatch** ppdispVal;
    VARIANT* pvarVal;
    void* byref;
    CHAR cVal;
    USHORT uiVal;
    ULONG ulVal;
    ULONGLONG ullVal;
    INT intVal;
    UINT uintVal;
    CHAR* pcVal;
    USHORT* puiVal;
    ULONG* pulVal;
    ULONGLONG* pullVal;
    INT* pintVal;
    UINT* puintVal;
  };
};
using VARIANTARG = VARIANT;
using LPVARIANT = VARIANT*;

#define V_VT(v) ((v)->vt)
#define V_ISBYREF(v) (((v)->vt & VT_BYREF) != 0)
#define V_I1(v) ((v)->cVal)
#define V_I2(v) ((v)->iVal)
#define V_I4(v) ((v)->lVal)
#define V_I8(v) ((v)->llVal)
#define V_UI1(v) ((v)->bVal)
#define V_UI2(v) ((v)->uiVal)
#define V_UI4(v) ((v)->ulVal)
#define V_UI8(v) ((v)->ullVal)
#define V_INT(v) ((v)->intVal)
#define V_UINT(v) ((v)->uintVal)
#define V_R4(v) ((v)->fltVal)
#define V_R8(v) ((v)->dblVal)
#define V_CY(v) ((v)->cyVal)
#define V_DATE(v) ((v)->date)
#define V_BSTR(v) ((v)->bstrVal)
#define V_BOOL(v) ((v)->boolVal)
#define V_ERROR(v) ((v)->scode)
#define V_UNKNOWN(v) ((v)->punkVal)
#define V_DISPATCH(v) ((v)->pdispVal)
#define V_BYREF(v) ((v)->byref)
#define V_VARIANTREF(v) ((v)->pvarVal)

void VariantInit(VARIANTARG* v);
// Frees what v owns (a BSTR, an interface reference) and leaves it VT_EMPTY.
// DISP_E_BADVARTYPE for a type a VARIANT cannot hold; v is left unchanged then.
HRESULT VariantClear(VARIANTARG* v);
// Deep copy: strings are duplicated, interfaces AddRef'd; dest is cleared first.
HRESULT VariantCopy(VARIANTARG* dest, const VARIANTARG* src);
// Like VariantCopy, but a by-reference source is copied as the value it points to.
HRESULT VariantCopyInd(VARIANT* dest, const VARIANTARG* src);

namespace ole {
// True when vt (with VT_BYREF allowed) is a type a VARIANT may carry.
bool IsValidVariantType(VARTYPE vt);
// The VARTYPE's name ("VT_I4", "VT_BYREF|VT_BSTR", ...), for messages and tests.
std::string VarTypeName(VARTYPE vt);
}  // namespace ole

// Owns one VARIANT, in the manner of ATL's CComVariant.
class CComVariant : public VARIANT {
 public:
  CComVariant() { VariantInit(this); }
  CComVariant(const VARIANT& v) {  // deep copy
    VariantInit(this);
    VariantCopy(this, &v);
  }
  CComVariant(const CComVariant& v) : CComVariant(static_cast<const VARIANT&>(v)) {}
  CComVariant(CComVariant&& v) noexcept {
    *static_cast<VARIANT*>(this) = v;
    VariantInit(&v);
  }
  CComVariant& operator=(const CComVariant& v) {
    if (this != &v) VariantCopy(this, &v);
    return *this;
  }
  CComVariant& operator=(CComVariant&& v) noexcept {
    if (this != &v) {
      VariantClear(this);
      *static_cast<VARIANT*>(this) = v;
      VariantInit(&v);
    }
    return *this;
  }
  ~CComVariant() { VariantClear(this); }

  // Only a real bool becomes VT_BOOL (no pointer or integer converts to it).
  template <class B>
    requires std::same_as<B, bool>
  CComVariant(B b) : CComVariant() {
    vt = VT_BOOL;
    boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
  }
  CComVariant(SHORT i) : CComVariant() { vt = VT_I2, iVal = i; }
  CComVariant(LONG i) : CComVariant() { vt = VT_I4, lVal = i; }
  CComVariant(ULONG i) : CComVariant() { vt = VT_UI4, ulVal = i; }
  CComVariant(double d) : CComVariant() { vt = VT_R8, dblVal = d; }
  CComVariant(float f) : CComVariant() { vt = VT_R4, fltVal = f; }
  explicit CComVariant(std::string_view utf8) : CComVariant() {
    bstrVal = ole::BstrFromUtf8(utf8);
    vt = VT_BSTR;
  }
  explicit CComVariant(const char* utf8) : CComVariant(std::string_view(utf8 ? utf8 : "")) {}
  explicit CComVariant(std::u16string_view s) : CComVariant() {
    bstrVal = ole::BstrFromUtf16(s);
    vt = VT_BSTR;
  }
  // Copies the string; the caller keeps b.
  static CComVariant FromBstr(BSTR b) {
    CComVariant r;
    r.vt = VT_BSTR;
    r.bstrVal = CComBSTR::Copy(b);
    return r;
  }
  // Adds a reference; null stays a null dispatch pointer of type VT_DISPATCH.
  static CComVariant FromDispatch(IDispatch* d);
  static CComVariant FromUnknown(IUnknown* u);
  static CComVariant FromDate(DATE d) {
    CComVariant r;
    r.vt = VT_DATE;
    r.date = d;
    return r;
  }
  static CComVariant FromError(SCODE sc) {
    CComVariant r;
    r.vt = VT_ERROR;
    r.scode = sc;
    return r;
  }
  // The value of an optional parameter that was left out.
  static CComVariant Missing() { return FromError(DISP_E_PARAMNOTFOUND); }

  HRESULT Clear() { return VariantClear(this); }
  // VariantChangeType into this (from src, else from this); in variant_convert.cpp.
  HRESULT ChangeType(VARTYPE type, const VARIANT* src = nullptr);
  // Moves the value into dest (which is cleared first) and leaves this empty.
  HRESULT Detach(VARIANT* dest) {
    HRESULT hr = VariantClear(dest);
    if (FAILED(hr)) return hr;
    *dest = *this;
    VariantInit(this);
    return S_OK;
  }
  // Takes over src's value and leaves src empty.
  void Attach(VARIANT* src) {
    VariantClear(this);
    *static_cast<VARIANT*>(this) = *src;
    VariantInit(src);
  }

};
