// Dispatch tables: member lookup, argument checking and coercion, and the
// mapping of member exceptions onto automation errors.
#include "ole/dispatch.h"
#include "ole/factory.h"
#include "ole/variant_convert.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <stdexcept>

namespace ole {

namespace {

bool IsMissingMarker(const VARIANT& v) {
  return v.vt == VT_ERROR && v.scode == DISP_E_PARAMNOTFOUND;
}

// What a left-out optional argument reads as.
const VARIANT kMissing = [] {
  VARIANT v{};
  v.vt = VT_ERROR;
  v.scode = DISP_E_PARAMNOTFOUND;
  return v;
}();

bool IsParamType(VARTYPE vt) {
  switch (vt) {
    case VT_BSTR:
    case VT_I2:
    case VT_I4:
    case VT_UI4:
    case VT_BOOL:
    case VT_R8:
    case VT_DATE:
    case VT_DISPATCH:
    case VT_UNKNOWN:
    case VT_VARIANT:
      return true;
    default:
      return false;
  }
}

// A few elements in place, more on the heap: most calls have a handful of
// arguments and should not allocate for them.
template <class V, std::size_t N>
class SmallArray {
 public:
  explicit SmallArray(std::size_t n) : data_(n > N ? (heap_ = std::make_unique<V[]>(n)).get() : local_) {}
  V& operator[](std::size_t i) { return data_[i]; }
  V* data() { return data_; }

 private:
  V local_[N] = {};
  std::unique_ptr<V[]> heap_;
  V* data_;
};

// Points `use` at src when it already has type vt (or vt is VT_VARIANT, which
// takes the argument as given); otherwise converts src into store. A
// by-reference source is read through its reference.
HRESULT Coerce(const VARIANT& src, VARTYPE vt, CComVariant& store, const VARIANT*& use) {
  if (vt == VT_VARIANT || src.vt == vt) {
    use = &src;
    return S_OK;
  }
  const VARIANT* from = &src;
  if (src.vt & VT_BYREF) {
    HRESULT hr = VariantCopyInd(&store, &src);
    if (FAILED(hr)) return hr;
    from = &store;
  }
  if (from->vt != vt) {
    HRESULT hr = VariantChangeType(&store, from, 0, vt);
    if (FAILED(hr)) return hr;
  }
  use = &store;
  return S_OK;
}

// Fills the caller's EXCEPINFO; automation requires wCode or scode nonzero.
void FillExcepInfo(EXCEPINFO* info, const DispatchException& e) noexcept {
  if (!info) return;
  *info = EXCEPINFO{};
  if (e.code != 0) {
    info->wCode = e.code;
  } else {
    info->scode = e.scode != 0 ? e.scode : E_FAIL;
  }
  info->dwHelpContext = e.helpContext;
  try {
    std::string_view description = e.description;
    if (description.empty() && info->scode != 0) description = StandardErrorText(info->scode);
    if (!description.empty()) info->bstrDescription = BstrFromUtf8(description);
    if (!e.source.empty()) info->bstrSource = BstrFromUtf8(e.source);
    if (!e.helpFile.empty()) info->bstrHelpFile = BstrFromUtf8(e.helpFile);
  } catch (...) {
    // Out of memory while describing the error: the codes alone must do.
  }
}

void FillUnexpected(EXCEPINFO* info, const char* what) noexcept {
  if (!info) return;
  *info = EXCEPINFO{};
  info->scode = E_UNEXPECTED;
  try {
    if (what && *what) info->bstrDescription = BstrFromUtf8(what);
  } catch (...) {
  }
}

}  // namespace

// ---- exceptions ------------------------------------------------------------

DispatchException DispatchException::FromCode(WORD code, std::string description,
                                              std::string helpFile, DWORD helpContext) {
  DispatchException e;
  e.code = code;
  e.description = std::move(description);
  e.helpFile = std::move(helpFile);
  e.helpContext = helpContext;
  return e;
}

DispatchException DispatchException::FromScode(SCODE scode, std::string description,
                                               std::string helpFile, DWORD helpContext) {
  DispatchException e;
  e.scode = scode;
  e.description = description.empty() ? std::string(StandardErrorText(scode))
                                      : std::move(description);
  e.helpFile = std::move(helpFile);
  e.helpContext = helpContext;
  return e;
}

std::string_view StandardErrorText(SCODE scode) {
  switch (scode) {
    case CTL_E_SETNOTSUPPORTED: return "Property is read-only";
    case CTL_E_GETNOTSUPPORTED: return "Property is write-only";
    case CTL_E_INVALIDPROPERTYVALUE: return "Invalid property value";
    case CTL_E_ILLEGALFUNCTIONCALL: return "Invalid procedure call or argument";
    case CTL_E_OVERFLOW: return "Overflow";
    case CTL_E_OUTOFMEMORY: return "Out of memory";
    default: return {};
  }
}

// ---- arguments -------------------------------------------------------------

const VARIANT& DispArgs::operator[](std::size_t i) const {
  if (i >= count_) {
    throw std::out_of_range("dispatch argument " + std::to_string(i) + " of " +
                            std::to_string(count_));
  }
  return *args_[i];
}

bool DispArgs::IsMissing(std::size_t i) const { return IsMissingMarker((*this)[i]); }

const VARIANT& DispArgs::Typed(std::size_t i, VARTYPE vt) const {
  const VARIANT* v = &(*this)[i];
  if (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal) v = v->pvarVal;
  if (v->vt == vt || v->vt == (vt | VT_BYREF)) return *v;
  throw std::logic_error("dispatch argument " + std::to_string(i) + " is " + VarTypeName(v->vt) +
                         ", read as " + VarTypeName(vt));
}

BSTR DispArgs::Bstr(std::size_t i) const {
  const VARIANT& v = Typed(i, VT_BSTR);
  return V_ISBYREF(&v) ? *v.pbstrVal : v.bstrVal;
}
std::string DispArgs::Str(std::size_t i) const { return BstrToUtf8(Bstr(i)); }
SHORT DispArgs::I2(std::size_t i) const {
  const VARIANT& v = Typed(i, VT_I2);
  return V_ISBYREF(&v) ? *v.piVal : v.iVal;
}
LONG DispArgs::I4(std::size_t i) const {
  const VARIANT& v = Typed(i, VT_I4);
  return V_ISBYREF(&v) ? *v.plVal : v.lVal;
}
ULONG DispArgs::UI4(std::size_t i) const {
  const VARIANT& v = Typed(i, VT_UI4);
  return V_ISBYREF(&v) ? *v.pulVal : v.ulVal;
}
bool DispArgs::Bool(std::size_t i) const {
  const VARIANT& v = Typed(i, VT_BOOL);
  return (V_ISBYREF(&v) ? *v.pboolVal : v.boolVal) != VARIANT_FALSE;
}
double DispArgs::R8(std::size_t i) const {
  const VARIANT& v = Typed(i, VT_R8);
  return V_ISBYREF(&v) ? *v.pdblVal : v.dblVal;
}
DATE DispArgs::Date(std::size_t i) const {
  const VARIANT& v = Typed(i, VT_DATE);
  return V_ISBYREF(&v) ? *v.pdate : v.date;
}
IDispatch* DispArgs::Dispatch(std::size_t i) const {
  const VARIANT& v = Typed(i, VT_DISPATCH);
  return V_ISBYREF(&v) ? *v.ppdispVal : v.pdispVal;
}

// ---- table -----------------------------------------------------------------

void DispatchTableBase::TableError(std::string_view member, std::string_view what) {
  std::fprintf(stderr, "dispatch table: member \"%.*s\": %.*s\n", static_cast<int>(member.size()),
               member.data(), static_cast<int>(what.size()), what.data());
  std::abort();
}

void DispatchTableBase::Add(DispMemberInfo info) {
  const std::string& name = info.name;
  if (name.empty()) TableError(name, "no name");
  if (info.kind == DispKind::Method) {
    if (info.type != VT_EMPTY && !IsParamType(info.type)) TableError(name, "unsupported result type");
    if (info.canPut || !info.canGet) TableError(name, "a method is called, not set");
  } else {
    if (!IsParamType(info.type)) TableError(name, "unsupported property type");
    if (!info.canGet && !info.canPut) TableError(name, "neither get nor put");
  }
  bool optionalSeen = false;
  for (std::size_t i = 0; i < info.params.size(); ++i) {
    const DispParam& p = info.params[i];
    if (!p.name || !*p.name) TableError(name, "a parameter without a name");
    if (!IsParamType(p.vt)) TableError(name, std::string("unsupported type of parameter ") + p.name);
    if (optionalSeen && !p.optional) TableError(name, std::string("required parameter after an optional one: ") + p.name);
    optionalSeen = optionalSeen || p.optional;
    for (std::size_t j = 0; j < i; ++j) {
      if (EqualsNoCaseUtf8(info.params[j].name, p.name)) TableError(name, std::string("duplicate parameter ") + p.name);
    }
  }

  if (info.dispid == DISPID_UNKNOWN) info.dispid = static_cast<DISPID>(members_.size() + 1);
  std::u16string name16 = Utf8ToUtf16(name);
  for (std::size_t i = 0; i < members_.size(); ++i) {
    if (members_[i].dispid == info.dispid) {
      TableError(name, "dispid " + std::to_string(info.dispid) + " already taken by " + members_[i].name);
    }
    if (EqualsNoCase(names16_[i], name16)) TableError(name, "duplicate name");
  }

  std::pair<DISPID, std::size_t> entry{info.dispid, members_.size()};
  byId_.insert(std::upper_bound(byId_.begin(), byId_.end(), entry), entry);
  members_.push_back(std::move(info));
  names16_.push_back(std::move(name16));
}

std::ptrdiff_t DispatchTableBase::IndexOf(DISPID dispid) const {
  // Positional dispids index the table directly.
  if (dispid >= 1 && static_cast<std::size_t>(dispid) <= members_.size() &&
      members_[static_cast<std::size_t>(dispid) - 1].dispid == dispid) {
    return dispid - 1;
  }
  auto it = std::lower_bound(byId_.begin(), byId_.end(), dispid,
                             [](const auto& e, DISPID id) { return e.first < id; });
  if (it == byId_.end() || it->first != dispid) return -1;
  return static_cast<std::ptrdiff_t>(it->second);
}

const DispMemberInfo* DispatchTableBase::Find(DISPID dispid) const {
  std::ptrdiff_t i = IndexOf(dispid);
  return i < 0 ? nullptr : &members_[static_cast<std::size_t>(i)];
}

const DispMemberInfo* DispatchTableBase::FindName(std::u16string_view name) const {
  for (std::size_t i = 0; i < members_.size(); ++i) {
    if (EqualsNoCase(names16_[i], name)) return &members_[i];
  }
  return nullptr;
}

HRESULT DispatchTableBase::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID,
                                         DISPID* dispids) const {
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  if (count == 0) return S_OK;
  if (!names || !dispids) return E_POINTER;

  HRESULT hr = S_OK;
  const DispMemberInfo* member = names[0] ? FindName(names[0]) : nullptr;
  dispids[0] = member ? member->dispid : DISPID_UNKNOWN;
  if (!member) hr = DISP_E_UNKNOWNNAME;
  for (UINT n = 1; n < count; ++n) {
    dispids[n] = DISPID_UNKNOWN;
    if (member && names[n]) {
      for (std::size_t p = 0; p < member->params.size(); ++p) {
        if (EqualsNoCase(Utf8ToUtf16(member->params[p].name), names[n])) {
          dispids[n] = static_cast<DISPID>(p);
          break;
        }
      }
    }
    if (dispids[n] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

HRESULT DispatchTableBase::InvokeOn(void* self, DISPID dispid, REFIID riid, LCID, WORD flags,
                                    DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepinfo,
                                    UINT* argErr) const {
  if (result) VariantInit(result);
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  std::ptrdiff_t index = IndexOf(dispid);
  if (index < 0) return DISP_E_MEMBERNOTFOUND;
  if (!params || (params->cArgs != 0 && !params->rgvarg) ||
      (params->cNamedArgs != 0 && !params->rgdispidNamedArgs) ||
      params->cNamedArgs > params->cArgs) {
    return E_INVALIDARG;
  }

  try {
    return Dispatch(self, static_cast<std::size_t>(index), flags, *params, result, argErr);
  } catch (const DispatchException& e) {
    FillExcepInfo(excepinfo, e);
    return DISP_E_EXCEPTION;
  } catch (const ComError& e) {
    return e.hr;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::exception& e) {
    FillUnexpected(excepinfo, e.what());
    return DISP_E_EXCEPTION;
  } catch (...) {
    FillUnexpected(excepinfo, "Unexpected error");
    return DISP_E_EXCEPTION;
  }
}

HRESULT DispatchTableBase::Dispatch(void* self, std::size_t index, WORD flags,
                                    const DISPPARAMS& params, VARIANT* result,
                                    UINT* argErr) const {
  const DispMemberInfo& m = members_[index];
  const bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
  const UINT cArgs = params.cArgs;
  UINT given = cArgs;  // arguments for the declared parameters
  if (put) {
    if (m.kind == DispKind::Method) return DISP_E_MEMBERNOTFOUND;
    if (!m.canPut) throw DispatchException::FromScode(CTL_E_SETNOTSUPPORTED);
    // The value is rgvarg[0], named DISPID_PROPERTYPUT; nothing else is named.
    if (params.cNamedArgs == 0 || params.rgdispidNamedArgs[0] != DISPID_PROPERTYPUT) {
      return DISP_E_PARAMNOTOPTIONAL;
    }
    if (params.cNamedArgs > 1) return DISP_E_NONAMEDARGS;
    given = cArgs - 1;
  } else {
    if (!(flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET))) return DISP_E_MEMBERNOTFOUND;
    if (!m.canGet) throw DispatchException::FromScode(CTL_E_GETNOTSUPPORTED);
    if (params.cNamedArgs != 0) return DISP_E_NONAMEDARGS;
  }
  if (given > m.params.size()) return DISP_E_BADPARAMCOUNT;

  // Parameter i is rgvarg[cArgs - 1 - i], with or without a put value at 0.
  const std::size_t n = m.params.size();
  SmallArray<CComVariant, 6> store(n);
  SmallArray<const VARIANT*, 6> use(n);
  for (std::size_t i = 0; i < n; ++i) {
    const UINT at = static_cast<UINT>(cArgs - 1 - i);
    const VARIANT* src = i < given ? &params.rgvarg[at] : nullptr;
    if (!src || IsMissingMarker(*src)) {
      if (!m.params[i].optional) return DISP_E_PARAMNOTOPTIONAL;
      use[i] = &kMissing;
      continue;
    }
    HRESULT hr = Coerce(*src, m.params[i].vt, store[i], use[i]);
    if (FAILED(hr)) {
      if (argErr) *argErr = at;
      return hr;
    }
  }
  const DispArgs args(use.data(), n);

  if (put) {
    CComVariant valueStore;
    const VARIANT* value = nullptr;
    HRESULT hr = Coerce(params.rgvarg[0], m.type, valueStore, value);
    if (FAILED(hr)) {
      if (argErr) *argErr = 0;
      return hr;
    }
    CallPut(self, index, args, *value);
    return S_OK;
  }

  CComVariant r = CallGet(self, index, args);
  if (m.type == VT_EMPTY || !result) return S_OK;
  if (m.type != VT_VARIANT && r.vt != m.type) {
    HRESULT hr = VariantChangeType(&r, &r, 0, m.type);
    if (FAILED(hr)) return hr;
  }
  return r.Detach(result);
}

}  // namespace ole

namespace ole {

HRESULT CreateCatching(const std::function<HRESULT()>& create) {
  try {
    return create();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const DispatchException& e) {
    return e.scode ? e.scode : MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, e.code);
  } catch (const std::exception&) {
    return E_FAIL;
  }
}

}  // namespace ole
