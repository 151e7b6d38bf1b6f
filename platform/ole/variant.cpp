#include "ole/variant.h"

#include <string>

#include "ole/interfaces.h"

namespace ole {

bool IsValidVariantType(VARTYPE vt) {
  if (vt & (VT_VECTOR | VT_RESERVED)) return false;
  VARTYPE base = vt & VT_TYPEMASK;
  bool byref = (vt & VT_BYREF) != 0;
  bool array = (vt & VT_ARRAY) != 0;
  switch (base) {
    case VT_EMPTY:
    case VT_NULL:
      return !byref && !array;
    case VT_VARIANT:
      return byref || array;  // a VARIANT holds another only by reference
    case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_CY: case VT_DATE: case VT_BSTR:
    case VT_DISPATCH: case VT_ERROR: case VT_BOOL: case VT_UNKNOWN: case VT_DECIMAL:
    case VT_I1: case VT_UI1: case VT_UI2: case VT_UI4: case VT_I8: case VT_UI8:
    case VT_INT: case VT_UINT: case VT_RECORD:
      return true;
    default:
      return false;
  }
}

std::string VarTypeName(VARTYPE vt) {
  static const char* const names[] = {
      "VT_EMPTY", "VT_NULL", "VT_I2", "VT_I4", "VT_R4", "VT_R8", "VT_CY", "VT_DATE",
      "VT_BSTR", "VT_DISPATCH", "VT_ERROR", "VT_BOOL", "VT_VARIANT", "VT_UNKNOWN",
      "VT_DECIMAL", nullptr, "VT_I1", "VT_UI1", "VT_UI2", "VT_UI4", "VT_I8", "VT_UI8",
      "VT_INT", "VT_UINT", "VT_VOID", "VT_HRESULT", "VT_PTR", "VT_SAFEARRAY", "VT_CARRAY",
      "VT_USERDEFINED", "VT_LPSTR", "VT_LPWSTR"};
  std::string out;
  if (vt & VT_RESERVED) out += "VT_RESERVED|";
  if (vt & VT_BYREF) out += "VT_BYREF|";
  if (vt & VT_ARRAY) out += "VT_ARRAY|";
  if (vt & VT_VECTOR) out += "VT_VECTOR|";
  VARTYPE base = vt & VT_TYPEMASK;
  if (base < std::size(names) && names[base])
    out += names[base];
  else if (base == VT_RECORD)
    out += "VT_RECORD";
  else
    out += "VT_" + std::to_string(base);
  return out;
}

}  // namespace ole

void VariantInit(VARIANTARG* v) {
  if (!v) return;
  v->vt = VT_EMPTY;
  v->wReserved1 = v->wReserved2 = v->wReserved3 = 0;
  v->llVal = 0;
}

HRESULT VariantClear(VARIANTARG* v) {
  if (!v) return E_INVALIDARG;
  if (!ole::IsValidVariantType(v->vt)) return DISP_E_BADVARTYPE;
  if (!(v->vt & (VT_BYREF | VT_ARRAY))) {
    switch (v->vt) {
      case VT_BSTR:
        SysFreeString(v->bstrVal);
        break;
      case VT_DISPATCH:
      case VT_UNKNOWN:
        if (v->punkVal) v->punkVal->Release();
        break;
      default:
        break;
    }
  } else if (v->vt & VT_ARRAY && !(v->vt & VT_BYREF)) {
    // This runtime creates no safe arrays; one that arrives cannot be freed here.
    return DISP_E_BADVARTYPE;
  }
  VariantInit(v);
  return S_OK;
}

namespace {

// A deep copy of src's value into raw (uninitialised) dest.
HRESULT CopyValue(VARIANT* dest, const VARIANT* src) {
  if (src->vt & VT_ARRAY && !(src->vt & VT_BYREF)) return DISP_E_BADVARTYPE;
  VARIANT tmp = *src;
  if (!(src->vt & VT_BYREF)) {
    switch (src->vt) {
      case VT_BSTR:
        tmp.bstrVal = CComBSTR::Copy(src->bstrVal);
        if (src->bstrVal && !tmp.bstrVal) return E_OUTOFMEMORY;
        break;
      case VT_DISPATCH:
      case VT_UNKNOWN:
        if (tmp.punkVal) tmp.punkVal->AddRef();
        break;
      case VT_RECORD:
        return DISP_E_BADVARTYPE;
      default:
        break;
    }
  }
  *dest = tmp;
  return S_OK;
}

}  // namespace

HRESULT VariantCopy(VARIANTARG* dest, const VARIANTARG* src) {
  if (!dest || !src) return E_INVALIDARG;
  if (dest == src) return S_OK;
  if (!ole::IsValidVariantType(src->vt)) return DISP_E_BADVARTYPE;
  HRESULT hr = VariantClear(dest);
  if (FAILED(hr)) return hr;
  return CopyValue(dest, src);
}

HRESULT VariantCopyInd(VARIANT* dest, const VARIANTARG* src) {
  if (!dest || !src) return E_INVALIDARG;
  if (!(src->vt & VT_BYREF)) return VariantCopy(dest, src);
  if (!ole::IsValidVariantType(src->vt)) return DISP_E_BADVARTYPE;
  if (!src->byref) return E_INVALIDARG;

  VARTYPE base = src->vt & ~VT_BYREF;
  VARIANT value;
  VariantInit(&value);
  if (base == VT_VARIANT) {
    const VARIANT* inner = src->pvarVal;
    if (inner->vt == (VT_BYREF | VT_VARIANT)) return E_INVALIDARG;  // one level only
    value = *inner;
  } else {
    value.vt = base;
    switch (base) {
      case VT_I1: value.cVal = *src->pcVal; break;
      case VT_UI1: value.bVal = *src->pbVal; break;
      case VT_I2: value.iVal = *src->piVal; break;
      case VT_UI2: value.uiVal = *src->puiVal; break;
      case VT_BOOL: value.boolVal = *src->pboolVal; break;
      case VT_I4: value.lVal = *src->plVal; break;
      case VT_UI4: value.ulVal = *src->pulVal; break;
      case VT_INT: value.intVal = *src->pintVal; break;
      case VT_UINT: value.uintVal = *src->puintVal; break;
      case VT_ERROR: value.scode = *src->pscode; break;
      case VT_I8: value.llVal = *src->pllVal; break;
      case VT_UI8: value.ullVal = *src->pullVal; break;
      case VT_R4: value.fltVal = *src->pfltVal; break;
      case VT_R8: value.dblVal = *src->pdblVal; break;
      case VT_DATE: value.date = *src->pdate; break;
      case VT_CY: value.cyVal = *src->pcyVal; break;
      case VT_BSTR: value.bstrVal = *src->pbstrVal; break;
      case VT_DISPATCH: value.pdispVal = *src->ppdispVal; break;
      case VT_UNKNOWN: value.punkVal = *src->ppunkVal; break;
      default: return DISP_E_BADVARTYPE;
    }
  }
  // Copy before clearing dest: src may point into dest.
  VARIANT copy;
  HRESULT hr = CopyValue(&copy, &value);
  if (FAILED(hr)) return hr;
  if (dest != src) {
    hr = VariantClear(dest);
    if (FAILED(hr)) {
      VariantClear(&copy);
      return hr;
    }
  }
  *dest = copy;
  return S_OK;
}

void ClearExcepInfo(EXCEPINFO* info) {
  if (!info) return;
  SysFreeString(info->bstrSource);
  SysFreeString(info->bstrDescription);
  SysFreeString(info->bstrHelpFile);
  *info = EXCEPINFO{};
}

CComVariant CComVariant::FromDispatch(IDispatch* d) {
  CComVariant r;
  r.vt = VT_DISPATCH;
  r.pdispVal = d;
  if (d) d->AddRef();
  return r;
}

CComVariant CComVariant::FromUnknown(IUnknown* u) {
  CComVariant r;
  r.vt = VT_UNKNOWN;
  r.punkVal = u;
  if (u) u->AddRef();
  return r;
}
