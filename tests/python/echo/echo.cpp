// ECHO.OCX: an in-process server for cvole's tests. Echo hands arguments
// back as it received them and reports their types, writes through
// by-reference arguments, hands out collections, enumerators and bare
// interfaces, and raises exceptions on request. Echo has type information;
// its collections and items have none, so a host meets both kinds.
#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "ole/dispatch.h"
#include "ole/server.h"
#include "ole/typelib.h"
#include "ole/variant_convert.h"

namespace {

constexpr GUID LIBID_EchoLib = MakeGuid("{7C3E5A10-91B4-4F2D-8E6A-3B1D2C4E5F60}");
constexpr IID DIID_DEcho = MakeGuid("{7C3E5A11-91B4-4F2D-8E6A-3B1D2C4E5F60}");
constexpr CLSID CLSID_Echo = MakeGuid("{7C3E5A12-91B4-4F2D-8E6A-3B1D2C4E5F60}");
constexpr WORD kNotByReference = 1002;

IUnknown* IdentityOf(IUnknown* p) {
  ComPtr<IUnknown> u;
  if (!p || FAILED(p->QueryInterface(IID_IUnknown, u.PpvOut()))) return nullptr;
  return u.Get();
}

// "VT_BYREF|VT_VARIANT>VT_BYREF|VT_I4": the types along a chain of VARIANT
// references.
std::string TypeChain(const VARIANT& v) {
  std::string out = ole::VarTypeName(v.vt);
  const VARIANT* at = &v;
  for (int depth = 0; at->vt == (VT_BYREF | VT_VARIANT) && at->pvarVal && depth < 8; ++depth) {
    at = at->pvarVal;
    out += ">" + ole::VarTypeName(at->vt);
  }
  return out;
}

// The VARIANT a chain of VARIANT references ends at.
const VARIANT& Innermost(const VARIANT& v) {
  const VARIANT* at = &v;
  for (int depth = 0; at->vt == (VT_BYREF | VT_VARIANT) && at->pvarVal && depth < 8; ++depth) at = at->pvarVal;
  return *at;
}

CComVariant ValueOf(const VARIANT& v) {
  CComVariant out;
  if (FAILED(VariantCopyInd(&out, &Innermost(v)))) throw ole::ComError(DISP_E_BADVARTYPE);
  return out;
}

// The value read through any references, converted to vt.
CComVariant Converted(const VARIANT& value, VARTYPE vt) {
  CComVariant in = ValueOf(value);
  CComVariant out;
  HRESULT hr = VariantChangeType(&out, &in, 0, vt);
  if (FAILED(hr)) throw ole::ComError(hr);
  return out;
}

// Changes a value in place: numbers grow, texts get a '!', booleans flip,
// dates move a day on, interfaces become `self`, nothing becomes 1.
void Bump(VARTYPE vt, void* at, IUnknown* self, IDispatch* selfDispatch) {
  switch (vt) {
    case VT_I1: ++*static_cast<CHAR*>(at); break;
    case VT_UI1: ++*static_cast<BYTE*>(at); break;
    case VT_I2: ++*static_cast<SHORT*>(at); break;
    case VT_UI2: ++*static_cast<USHORT*>(at); break;
    case VT_I4: ++*static_cast<LONG*>(at); break;
    case VT_UI4: ++*static_cast<ULONG*>(at); break;
    case VT_INT: ++*static_cast<INT*>(at); break;
    case VT_UINT: ++*static_cast<UINT*>(at); break;
    case VT_I8: ++*static_cast<LONGLONG*>(at); break;
    case VT_UI8: ++*static_cast<ULONGLONG*>(at); break;
    case VT_R4: *static_cast<FLOAT*>(at) *= 2; break;
    case VT_R8: *static_cast<DOUBLE*>(at) *= 2; break;
    case VT_CY: static_cast<CY*>(at)->int64 += 10000; break;
    case VT_DATE: *static_cast<DATE*>(at) += 1; break;
    case VT_BOOL: {
      auto* b = static_cast<VARIANT_BOOL*>(at);
      *b = *b ? VARIANT_FALSE : VARIANT_TRUE;
      break;
    }
    case VT_ERROR: ++*static_cast<SCODE*>(at); break;
    case VT_BSTR: {
      auto* b = static_cast<BSTR*>(at);
      std::u16string text(ole::BstrView(*b));
      SysFreeString(*b);
      *b = ole::BstrFromUtf16(text + u"!");
      break;
    }
    case VT_DISPATCH: {
      auto* d = static_cast<IDispatch**>(at);
      if (*d) (*d)->Release();
      selfDispatch->AddRef();
      *d = selfDispatch;
      break;
    }
    case VT_UNKNOWN: {
      auto* u = static_cast<IUnknown**>(at);
      if (*u) (*u)->Release();
      self->AddRef();
      *u = self;
      break;
    }
    default:
      throw ole::DispatchException::FromCode(kNotByReference, "cannot increment a " + ole::VarTypeName(vt));
  }
}

// ---- enumerator, items and collection (no type information) -------------------------

using Items = std::shared_ptr<const std::vector<CComVariant>>;

class Enumerator final : public ole::ComObject<IEnumVARIANT>, ole::server::ModuleLock {
 public:
  explicit Enumerator(Items items, std::size_t at = 0) : items_(std::move(items)), at_(at) {}

  HRESULT Next(ULONG celt, VARIANT* out, ULONG* fetched) override {
    if (!out || (celt > 1 && !fetched)) return E_POINTER;
    ULONG n = 0;
    for (; n < celt && at_ < items_->size(); ++n, ++at_) {
      VariantInit(&out[n]);
      VariantCopy(&out[n], &(*items_)[at_]);
    }
    if (fetched) *fetched = n;
    return n == celt ? S_OK : S_FALSE;
  }
  HRESULT Skip(ULONG celt) override {
    const std::size_t left = items_->size() - at_;
    at_ += std::min<std::size_t>(celt, left);
    return celt <= left ? S_OK : S_FALSE;
  }
  HRESULT Reset() override {
    at_ = 0;
    return S_OK;
  }
  HRESULT Clone(IEnumVARIANT** copy) override {
    if (!copy) return E_POINTER;
    *copy = ole::MakeObject<Enumerator>(items_, at_).Detach();
    return S_OK;
  }

 private:
  Items items_;
  std::size_t at_;
};

class Item final : public ole::DispatchObject<Item>, ole::server::ModuleLock {
 public:
  explicit Item(LONG index) : index_(index) {}
  static const ole::DispatchTable<Item>& DispatchMap() {
    static const ole::DispatchTable<Item> table{
        ole::ReadOnly<Item>("Index", VT_I4, [](Item& i) { return i.index_; }),
        ole::ReadOnly<Item>("Name", VT_BSTR, [](Item& i) { return "Item " + std::to_string(i.index_); }),
        // 2 January 2001 03:04:05, one day later per index.
        ole::ReadOnly<Item>("Created", VT_DATE,
                            [](Item& i) { return CComVariant::FromDate(36893.127835648 + i.index_); }),
        ole::Property<Item>(
            "Tag", VT_VARIANT, [](Item& i) { return i.tag_; },
            [](Item& i, const VARIANT& v) { VariantCopyInd(&i.tag_, &v); }),
    };
    return table;
  }

 private:
  LONG index_;
  CComVariant tag_;
};

class Collection final : public ole::DispatchObject<Collection>, ole::server::ModuleLock {
 public:
  explicit Collection(LONG count) {
    auto items = std::make_shared<std::vector<CComVariant>>();
    for (LONG i = 1; i <= count; ++i) {
      ComPtr<Item> item = ole::MakeObject<Item>(i);
      items->push_back(CComVariant::FromDispatch(item.Get()));
    }
    items_ = std::move(items);
  }
  static const ole::DispatchTable<Collection>& DispatchMap() {
    static const ole::DispatchTable<Collection> table{
        ole::Method<Collection>("Item", VT_DISPATCH, {{"Index", VT_I4}},
                                [](Collection& c, const ole::DispArgs& a) {
                                  const LONG i = a.I4(0);
                                  if (i < 0 || static_cast<std::size_t>(i) >= c.items_->size())
                                    throw ole::ComError(DISP_E_BADINDEX);
                                  return (*c.items_)[static_cast<std::size_t>(i)];
                                })
            .Id(DISPID_VALUE),
        ole::ReadOnly<Collection>("_NewEnum", VT_UNKNOWN,
                                  [](Collection& c) {
                                    ComPtr<Enumerator> e = ole::MakeObject<Enumerator>(c.items_);
                                    return CComVariant::FromUnknown(e.Get());
                                  })
            .Id(DISPID_NEWENUM),
    };
    return table;
  }

 private:
  Items items_;
};

// ---- Echo ---------------------------------------------------------------------------

class Echo final : public ole::DispatchObject<Echo>, ole::server::ModuleLock {
 public:
  static const ole::DispatchTable<Echo>& DispatchMap();

  HRESULT GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT index, LCID, ITypeInfo** info) override;

 private:
  IUnknown* Self() { return static_cast<IDispatch*>(this); }

  void Increment(const VARIANT& arg) {
    const VARIANT& target = Innermost(arg);
    if (target.vt & VT_BYREF) {
      Bump(target.vt & ~VT_BYREF, target.byref, Self(), this);
    } else if (&target != &arg) {
      // A VARIANT the caller lent: its value changes, its type may too.
      auto& v = const_cast<VARIANT&>(target);
      if (v.vt == VT_EMPTY) {
        v.vt = VT_I4;
        v.lVal = 1;
      } else {
        Bump(v.vt, &v.llVal, Self(), this);
      }
    } else {
      throw ole::DispatchException::FromCode(kNotByReference, "Increment needs a reference");
    }
  }

  void Assign(const VARIANT& target, const VARIANT& value) {
    if (target.vt == (VT_BYREF | VT_VARIANT)) {
      CComVariant copy = ValueOf(value);
      VariantClear(target.pvarVal);
      copy.Detach(target.pvarVal);
      return;
    }
    if (!(target.vt & VT_BYREF))
      throw ole::DispatchException::FromCode(kNotByReference, "Assign needs a reference");
    const VARTYPE base = target.vt & ~VT_BYREF;
    CComVariant converted = Converted(value, base);
    switch (base) {
      // What the reference held is the callee's to free when it replaces it.
      case VT_BSTR:
        SysFreeString(*target.pbstrVal);
        *target.pbstrVal = converted.bstrVal;
        converted.vt = VT_EMPTY;  // the caller owns it now
        return;
      case VT_DISPATCH:
      case VT_UNKNOWN:
        if (*target.ppunkVal) (*target.ppunkVal)->Release();
        *target.ppunkVal = converted.punkVal;
        converted.vt = VT_EMPTY;
        return;
      case VT_I1: case VT_UI1: std::memcpy(target.byref, &converted.llVal, 1); return;
      case VT_I2: case VT_UI2: case VT_BOOL: std::memcpy(target.byref, &converted.llVal, 2); return;
      case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_ERROR: case VT_R4:
        std::memcpy(target.byref, &converted.llVal, 4);
        return;
      case VT_I8: case VT_UI8: case VT_R8: case VT_DATE: case VT_CY:
        std::memcpy(target.byref, &converted.llVal, 8);
        return;
      default:
        throw ole::ComError(DISP_E_BADVARTYPE);
    }
  }

  CComVariant Make(LONG vt, const VARIANT& value) {
    switch (vt) {
      case VT_EMPTY: return CComVariant();
      case VT_NULL: {
        CComVariant r;
        r.vt = VT_NULL;
        return r;
      }
      case VT_ERROR: return CComVariant::FromError(Converted(value, VT_I4).lVal);
      case VT_DISPATCH: return CComVariant::FromDispatch(this);
      case VT_UNKNOWN: return CComVariant::FromUnknown(Self());
      default: return Converted(value, static_cast<VARTYPE>(vt));
    }
  }

  std::string Describe(const ole::DispArgs& a) const {
    std::string out;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (i) out += ",";
      out += a.IsMissing(i) ? "missing" : TypeChain(a[i]);
    }
    return out;
  }

  CComVariant value_;
  std::map<LONG, CComVariant> slots_;
  std::string text_;
  LONG counter_ = 0;
};

const ole::DispatchTable<Echo>& Echo::DispatchMap() {
  using E = Echo;
  using ole::DispArgs;
  static const ole::DispatchTable<E> table{
      ole::Method<E>("Echo", VT_VARIANT, {{"Value", VT_VARIANT}},
                     [](E&, const DispArgs& a) { return ValueOf(a[0]); }),
      ole::Method<E>("TypeName", VT_BSTR, {{"Value", VT_VARIANT}},
                     [](E&, const DispArgs& a) { return TypeChain(a[0]); }),
      ole::Method<E>("Make", VT_VARIANT, {{"Type", VT_I4}, {"Value", VT_VARIANT, true}},
                     [](E& e, const DispArgs& a) { return e.Make(a.I4(0), a[1]); }),
      ole::Method<E>("Describe", VT_BSTR,
                     {{"P1", VT_VARIANT, true}, {"P2", VT_VARIANT, true}, {"P3", VT_VARIANT, true},
                      {"P4", VT_VARIANT, true}},
                     [](E& e, const DispArgs& a) { return e.Describe(a); }),
      ole::Method<E>("Increment", VT_EMPTY, {{"Value", VT_VARIANT}},
                     [](E& e, const DispArgs& a) { e.Increment(a[0]); }),
      ole::Method<E>("Assign", VT_EMPTY, {{"Target", VT_VARIANT}, {"Value", VT_VARIANT}},
                     [](E& e, const DispArgs& a) { e.Assign(a[0], a[1]); }),
      ole::Method<E>("Items", VT_DISPATCH, {{"Count", VT_I4}},
                     [](E&, const DispArgs& a) {
                       ComPtr<Collection> c = ole::MakeObject<Collection>(a.I4(0));
                       return CComVariant::FromDispatch(c.Get());
                     }),
      ole::Method<E>("Numbers", VT_UNKNOWN, {{"Count", VT_I4}},
                     [](E&, const DispArgs& a) {
                       auto items = std::make_shared<std::vector<CComVariant>>();
                       for (LONG i = 1; i <= a.I4(0); ++i) items->push_back(CComVariant(i));
                       ComPtr<Enumerator> e = ole::MakeObject<Enumerator>(std::move(items));
                       return CComVariant::FromUnknown(e.Get());
                     }),
      ole::ReadOnly<E>("Self", VT_UNKNOWN, [](E& e) { return CComVariant::FromUnknown(e.Self()); }),
      ole::Method<E>("IsSelf", VT_BOOL, {{"Value", VT_VARIANT}},
                     [](E& e, const DispArgs& a) {
                       CComVariant v = ValueOf(a[0]);
                       if (v.vt != VT_DISPATCH && v.vt != VT_UNKNOWN) return false;
                       return IdentityOf(v.punkVal) == IdentityOf(e.Self());
                     }),
      ole::Method<E>("Fail", VT_EMPTY, {{"Code", VT_I4}, {"Description", VT_BSTR}},
                     [](E&, const DispArgs& a) {
                       auto ex = ole::DispatchException::FromCode(static_cast<WORD>(a.I4(0)), a.Str(1), "echo.hlp", 42);
                       ex.source = "EchoLib";
                       throw ex;
                     }),
      ole::Method<E>("FailScode", VT_EMPTY, {{"Scode", VT_I4}, {"Description", VT_BSTR, true}},
                     [](E&, const DispArgs& a) {
                       auto ex = ole::DispatchException::FromScode(a.I4(0), a.IsMissing(1) ? std::string() : a.Str(1));
                       ex.source = "EchoLib";
                       throw ex;
                     }),
      ole::Method<E>("FailHresult", VT_EMPTY, {{"Hresult", VT_I4}},
                     [](E&, const DispArgs& a) { throw ole::ComError(a.I4(0)); }),
      ole::Property<E>(
          "Value", VT_VARIANT, [](E& e) { return e.value_; },
          [](E& e, const VARIANT& v) { e.value_ = ValueOf(v); }),
      ole::Property<E>(
          "Slot", VT_VARIANT, {{"Index", VT_I4}},
          [](E& e, const DispArgs& a) {
            auto it = e.slots_.find(a.I4(0));
            return it == e.slots_.end() ? CComVariant() : it->second;
          },
          [](E& e, const DispArgs& a, const VARIANT& v) { e.slots_[a.I4(0)] = ValueOf(v); }),
      ole::Property<E>(
          "Text", VT_BSTR, [](E& e) { return e.text_; },
          [](E& e, const VARIANT& v) { e.text_ = ole::BstrToUtf8(v.bstrVal); }),
      ole::ReadOnly<E>("Counter", VT_I4, [](E& e) { return e.counter_; }),
      ole::Method<E>("Bump", VT_EMPTY, [](E& e) { ++e.counter_; }),
      ole::ReadOnly<E>("LiveObjects", VT_I4,
                       [](E&) { return static_cast<LONG>(ole::server::Module::Get().LockCount()); }),
  };
  return table;
}

// The type library, made from the dispatch table so the two always agree.
ole::tlb::Library MakeLibrary() {
  ole::tlb::Library lib;
  lib.name = "EchoLib";
  lib.libid = LIBID_EchoLib;
  lib.major = 1;
  lib.minor = 0;
  lib.lcid = 0x0409;
  ole::tlb::Interface itf;
  itf.name = "_DEcho";
  itf.iid = DIID_DEcho;
  itf.flags = TYPEFLAG_FDISPATCHABLE;
  for (const ole::DispMemberInfo& m : Echo::DispatchMap().Members()) {
    ole::tlb::Member t;
    t.name = m.name;
    t.dispid = m.dispid;
    t.result = m.type;
    for (const ole::DispParam& p : m.params) t.params.push_back({p.name, p.vt, p.optional, ""});
    if (m.kind == ole::DispKind::Method) {
      itf.members.push_back(t);
    } else if (m.params.empty()) {
      t.isVariable = true;
      if (m.ReadOnly()) t.flags = VARFLAG_FREADONLY;
      itf.members.push_back(t);
    } else {
      t.invokeKind = INVOKE_PROPERTYGET;
      itf.members.push_back(t);
      t.invokeKind = INVOKE_PROPERTYPUT;
      t.params.push_back({"rhs", m.type, false, ""});
      t.result = VT_EMPTY;
      itf.members.push_back(t);
    }
  }
  lib.interfaces.push_back(itf);
  ole::tlb::CoClass cls;
  cls.name = "Echo";
  cls.clsid = CLSID_Echo;
  cls.flags = TYPEFLAG_FCANCREATE;
  cls.interfaces = {{"_DEcho", IMPLTYPEFLAG_FDEFAULT}};
  lib.coclasses.push_back(cls);
  return lib;
}

HRESULT Echo::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
  if (!info) return E_POINTER;
  *info = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  static ITypeLib* lib = [] {
    ITypeLib* l = nullptr;
    ole::CreateTypeLib(MakeLibrary(), &l);
    return l;  // kept for the life of the module
  }();
  if (!lib) return E_OUTOFMEMORY;
  return lib->GetTypeInfoOfGuid(DIID_DEcho, info);
}

ole::server::ClassRegistrar<Echo> g_echo(CLSID_Echo, "CvoleTest.Echo.1", "cvole test echo");

}  // namespace

OLE_DEFINE_MODULE_EXPORTS()

OLE_EXPORT HRESULT DllRegisterServer() {
  return ole::server::Module::Get().UpdateRegistryAll(true) ? S_OK : SELFREG_E_CLASS;
}

OLE_EXPORT HRESULT DllUnregisterServer() {
  return ole::server::Module::Get().UpdateRegistryAll(false) ? S_OK : SELFREG_E_CLASS;
}
