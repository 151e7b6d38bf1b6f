#include "result.h"

#include <mutex>
#include <unordered_set>

#include "ole/bstr.h"
#include "ole/guid.h"
#include "ole/variant_convert.h"

namespace cvsrva {
namespace {

using cvattobj::Area;
using cvattobj::Att;

// The live result objects, so that an object parameter can be recognised as
// one without asking the object anything.
std::mutex& LiveMutex() {
  static std::mutex m;
  return m;
}
std::unordered_set<const IDispatch*>& Live() {
  static std::unordered_set<const IDispatch*> s;
  return s;
}

}  // namespace

CCvResultObject::CCvResultObject() {
  std::lock_guard lock(LiveMutex());
  Live().insert(this);
}

CCvResultObject::~CCvResultObject() {
  // Nested result objects are released with the values that hold them.
  std::lock_guard lock(LiveMutex());
  Live().erase(this);
}

CCvResultObject* CCvResultObject::FromDispatch(IDispatch* d) {
  if (!d) return nullptr;
  std::lock_guard lock(LiveMutex());
  return Live().count(d) ? static_cast<CCvResultObject*>(d) : nullptr;
}

ComPtr<CCvResultObject> CCvResultObject::Fill(Area area) {
  std::uint16_t count = cvattobj::Count(area);
  if (count == 0) return {};
  ComPtr<CCvResultObject> obj = ole::MakeObject<CCvResultObject>();
  obj->props_.reserve(10);  // grows by need: a hostile count allocates nothing up front
  Att att;
  for (std::uint16_t i = 0; i < count; ++i) {
    att = i == 0 ? cvattobj::FirstAtt(nullptr, area) : cvattobj::NextAtt(nullptr, area, att);
    if (!att) return {};
    ResultProperty p;
    std::string_view name = att.Name();
    p.name.assign(name.substr(0, kMaxAttributeName));
    if (!DecodeAttribute(att, &p.value, &p.ansi)) return {};
    p.type = att.Type();
    p.access = att.Access();
    p.dispid = static_cast<DISPID>(i) + 1;
    obj->props_.push_back(std::move(p));
  }
  return obj;
}

bool DecodeAttribute(const Att& att, CComVariant* value, std::string* ansi) {
  value->Clear();
  const bool readable = att.Access() != cvattobj::kAccessWriteOnly;
  std::int32_t number = 0;
  switch (att.Type()) {
    case cvattobj::kTypeBool:
      if (readable) cvattobj::ReadInt(att, &number);
      value->vt = VT_BOOL;
      value->boolVal = static_cast<VARIANT_BOOL>(static_cast<std::uint16_t>(number & 0xFFFF));
      return true;
    case cvattobj::kTypeUnsigned:
      if (readable) cvattobj::ReadInt(att, &number);
      value->vt = VT_UI4;
      value->ulVal = static_cast<ULONG>(number);
      return true;
    case cvattobj::kTypeInt:
      if (readable) cvattobj::ReadInt(att, &number);
      value->vt = VT_I4;
      value->lVal = number;
      return true;
    case cvattobj::kTypeReal: {
      double d = 0;
      if (readable) cvattobj::ReadReal(att, &d);
      value->vt = VT_R8;
      value->dblVal = d;
      return true;
    }
    case cvattobj::kTypeString: {
      std::string text;
      if (readable) text.assign(reinterpret_cast<const char*>(att.Value().data()), att.Value().size());
      *value = CComVariant(std::string_view(text));
      if (ansi) *ansi = std::move(text);
      return true;
    }
    case cvattobj::kTypeObject: {
      if (!readable) {
        *value = CComVariant::FromDispatch(nullptr);
        return true;
      }
      ComPtr<CCvResultObject> nested = CCvResultObject::Fill(att.Value());
      if (!nested) return false;
      *value = CComVariant::FromDispatch(nested.Get());
      return true;
    }
    default:
      return true;  // VT_EMPTY
  }
}

// ---- IDispatch --------------------------------------------------------------------

HRESULT CCvResultObject::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 0;
  return S_OK;
}

HRESULT CCvResultObject::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
  if (info) *info = nullptr;
  return E_NOTIMPL;
}

HRESULT CCvResultObject::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* dispids) {
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  if (count == 0 || !names || !dispids || !names[0]) return E_INVALIDARG;
  dispids[0] = DISPID_UNKNOWN;
  std::u16string_view wanted(names[0]);
  for (const ResultProperty& p : props_) {
    if (ole::EqualsNoCase(ole::Utf8ToUtf16(p.name), wanted)) {
      dispids[0] = p.dispid;
      return S_OK;
    }
  }
  return DISP_E_UNKNOWNNAME;
}

HRESULT CCvResultObject::Invoke(DISPID dispid, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                EXCEPINFO*, UINT* argErr) {
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  ResultProperty* prop =
      dispid >= 1 && static_cast<std::size_t>(dispid) <= props_.size() ? &props_[dispid - 1] : nullptr;
  if (flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)) {
    if (!result) return E_INVALIDARG;
    VariantInit(result);
    if (dispid == DISPID_VALUE) {
      AddRef();
      result->vt = VT_DISPATCH;
      result->pdispVal = this;
      return S_OK;
    }
    return prop ? VariantCopy(result, &prop->value) : S_OK;
  }

  if (!params || params->cArgs != 1 || !params->rgvarg) return DISP_E_BADPARAMCOUNT;
  if (params->cNamedArgs != 1 || !params->rgdispidNamedArgs || params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)
    return DISP_E_PARAMNOTOPTIONAL;
  if (!prop) return DISP_E_MEMBERNOTFOUND;
  VARTYPE target;
  switch (prop->value.vt) {
    case VT_I2:
    case VT_I4: target = VT_I4; break;
    case VT_R4:
    case VT_R8: target = VT_R8; break;
    case VT_BSTR: target = VT_BSTR; break;
    case VT_BOOL: target = VT_BOOL; break;
    default: return E_INVALIDARG;
  }
  CComVariant source;
  HRESULT hr = VariantCopyInd(&source, &params->rgvarg[0]);
  CComVariant converted;
  if (SUCCEEDED(hr)) hr = VariantChangeType(&converted, &source, 0, target);
  if (FAILED(hr)) {
    if (argErr) *argErr = 0;
    return hr;
  }
  prop->value = std::move(converted);
  if (target == VT_BSTR) prop->ansi = ole::BstrToUtf8(prop->value.bstrVal);
  return S_OK;
}

// ---- encoding -----------------------------------------------------------------------

namespace {

void EncodeUnder(const CCvResultObject& result, const std::string& prefix, cvattobj::ObjectPtr* object) {
  for (const ResultProperty& p : result.Properties()) {
    std::string name = prefix + p.name;
    const VARIANT& v = p.value;
    if (v.vt == VT_DISPATCH) {
      if (const CCvResultObject* inner = CCvResultObject::FromDispatch(v.pdispVal))
        EncodeUnder(*inner, name + ".", object);
      continue;
    }
    if (name.size() > kMaxEncodedName) continue;
    std::int32_t number = 0;
    const void* value = &number;
    std::size_t length = 0;
    switch (p.type) {
      case cvattobj::kTypeInt:
        if (v.vt != VT_I4) continue;
        number = v.lVal;
        break;
      case cvattobj::kTypeReal:
        if (v.vt != VT_R8) continue;
        value = &v.dblVal;
        break;
      case cvattobj::kTypeString:
        if (v.vt != VT_BSTR) continue;
        value = p.ansi.data();
        length = p.ansi.size();
        break;
      case cvattobj::kTypeBool:
        if (v.vt != VT_BOOL) continue;
        number = v.boolVal;  // sign-extended: true is -1
        break;
      case cvattobj::kTypeUnsigned:
        if (v.vt != VT_UI4) continue;
        number = static_cast<std::int32_t>(v.ulVal);
        break;
      default:
        continue;
    }
    cvattobj::AddAtt(nullptr, object, name, value, length, p.type, p.access);  // a failure leaves it out
  }
}

}  // namespace

void EncodeResultObject(const CCvResultObject& result, cvattobj::ObjectPtr* object) {
  EncodeUnder(result, std::string(), object);
}

}  // namespace cvsrva
