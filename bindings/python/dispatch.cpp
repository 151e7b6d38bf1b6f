// cvole.Dispatch, its bound members, cvole.Unknown and cvole.Enumerator.
#include <cstdio>
#include <set>

#include "cvole.h"
#include "ole/bstr.h"
#include "ole/com.h"

namespace cvole {
namespace {

// A member bound to its object: calling it invokes the member with
// DISPATCH_METHOD | DISPATCH_PROPERTYGET, as a late-binding host calls
// methods and properties that take arguments.
struct PyMember {
  py::object owner;  // the cvole.Dispatch
  DISPID dispid;
  std::string name;
};

// cvole.Enumerator: the items of an IEnumVARIANT.
struct PyEnumerator {
  ComPtr<IEnumVARIANT> e;
};

struct ExcepInfoGuard {
  EXCEPINFO info{};
  ~ExcepInfoGuard() { ClearExcepInfo(&info); }
};

IUnknown* IdentityOf(IUnknown* p) {
  ComPtr<IUnknown> u;
  if (!p || FAILED(p->QueryInterface(IID_IUnknown, u.PpvOut()))) return p;
  return u.Get();  // the reference goes, the pointer stays comparable
}

std::vector<py::handle> Handles(const py::args& args, std::size_t from = 0) {
  std::vector<py::handle> out;
  for (std::size_t i = from; i < args.size(); ++i) out.push_back(args[i]);
  return out;
}

void NoKeywords(const py::kwargs& kwargs, const std::string& what) {
  if (!kwargs.empty()) {
    PyErr_SetString(PyExc_TypeError, (what + ": automation calls take positional arguments only").c_str());
    throw py::error_already_set();
  }
}

// Results that mean "this member wants arguments" when an object without
// type information is read as a property.
bool WantsArguments(HRESULT hr) {
  return hr == DISP_E_MEMBERNOTFOUND || hr == DISP_E_BADPARAMCOUNT || hr == DISP_E_PARAMNOTOPTIONAL ||
         hr == DISP_E_PARAMNOTFOUND;
}

ComPtr<IEnumVARIANT> EnumeratorOf(const CComVariant& v, const std::string& what) {
  IUnknown* u = nullptr;
  if (v.vt == VT_UNKNOWN) u = v.punkVal;
  if (v.vt == VT_DISPATCH) u = v.pdispVal;
  ComPtr<IEnumVARIANT> e;
  if (u) u->QueryInterface(IID_IEnumVARIANT, e.PpvOut());
  if (!e) {
    PyErr_SetString(PyExc_TypeError, (what + " is no enumerator (" + ole::VarTypeName(v.vt) + ")").c_str());
    throw py::error_already_set();
  }
  return e;
}

py::object WrapEnumerator(ComPtr<IEnumVARIANT> e) { return py::cast(PyEnumerator{std::move(e)}); }

py::object Next(PyEnumerator& self) {
  CComVariant item;
  ULONG fetched = 0;
  HRESULT hr = self.e->Next(1, &item, &fetched);
  if (FAILED(hr)) RaiseComError(hr, "IEnumVARIANT::Next");
  if (hr == S_FALSE || fetched == 0) throw py::stop_iteration();
  return FromVariant(item);
}

std::string PointerText(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%p", p);
  return buf;
}

}  // namespace

// ---- PyDispatch --------------------------------------------------------------------------

IUnknown* PyDispatch::Identity() const { return IdentityOf(disp_.Get()); }

ITypeInfo* PyDispatch::TypeInfo() {
  if (!typeInfoTried_) {
    typeInfoTried_ = true;
    UINT count = 0;
    if (SUCCEEDED(disp_->GetTypeInfoCount(&count)) && count > 0)
      disp_->GetTypeInfo(0, kLcid, typeInfo_.ReleaseAndGetAddressOf());
  }
  return typeInfo_.Get();
}

namespace {

// Tells a property read without arguments from a member that is called.
MemberKind Classify(ITypeInfo* info, DISPID dispid) {
  if (!info) return MemberKind::Unknown;
  TYPEATTR* attr = nullptr;
  if (FAILED(info->GetTypeAttr(&attr)) || !attr) return MemberKind::Unknown;
  bool found = false, callable = false;
  for (UINT i = 0; i < attr->cFuncs; ++i) {
    FUNCDESC* f = nullptr;
    if (FAILED(info->GetFuncDesc(i, &f)) || !f) continue;
    if (f->memid == dispid) {
      found = true;
      if ((f->invkind & INVOKE_FUNC) || ((f->invkind & INVOKE_PROPERTYGET) && f->cParams > 0)) callable = true;
    }
    info->ReleaseFuncDesc(f);
  }
  for (UINT i = 0; i < attr->cVars && !found; ++i) {
    VARDESC* v = nullptr;
    if (FAILED(info->GetVarDesc(i, &v)) || !v) continue;
    found = v->memid == dispid;
    info->ReleaseVarDesc(v);
  }
  info->ReleaseTypeAttr(attr);
  if (!found) return MemberKind::Unknown;
  return callable ? MemberKind::Callable : MemberKind::Property;
}

}  // namespace

const MemberInfo& PyDispatch::Member(const std::string& name) {
  auto it = members_.find(name);
  if (it != members_.end()) return it->second;
  std::u16string wide = ole::Utf8ToUtf16(name);
  LPOLESTR names[1] = {wide.data()};
  DISPID dispid = DISPID_UNKNOWN;
  HRESULT hr = disp_->GetIDsOfNames(IID_NULL, names, 1, kLcid, &dispid);
  if (hr == DISP_E_UNKNOWNNAME || hr == DISP_E_MEMBERNOTFOUND) {
    PyErr_SetString(PyExc_AttributeError,
                    ("the object has no member '" + name + "' (" + std::string(ole::ErrorMessage(hr)) + ", " +
                     Hex(static_cast<std::uint32_t>(hr)) + ")")
                        .c_str());
    throw py::error_already_set();
  }
  if (FAILED(hr)) RaiseComError(hr, "GetIDsOfNames '" + name + "'");
  MemberInfo info{dispid, Classify(TypeInfo(), dispid)};
  return members_.emplace(name, info).first->second;
}

std::vector<std::string> PyDispatch::MemberNames() {
  std::set<std::string> names;
  ITypeInfo* info = TypeInfo();
  TYPEATTR* attr = nullptr;
  if (!info || FAILED(info->GetTypeAttr(&attr)) || !attr) return {};
  auto add = [&](MEMBERID memid) {
    BSTR name = nullptr;
    UINT got = 0;
    if (SUCCEEDED(info->GetNames(memid, &name, 1, &got)) && got == 1) names.insert(ole::BstrToUtf8(name));
    SysFreeString(name);
  };
  for (UINT i = 0; i < attr->cFuncs; ++i) {
    FUNCDESC* f = nullptr;
    if (SUCCEEDED(info->GetFuncDesc(i, &f)) && f) {
      add(f->memid);
      info->ReleaseFuncDesc(f);
    }
  }
  for (UINT i = 0; i < attr->cVars; ++i) {
    VARDESC* v = nullptr;
    if (SUCCEEDED(info->GetVarDesc(i, &v)) && v) {
      add(v->memid);
      info->ReleaseVarDesc(v);
    }
  }
  info->ReleaseTypeAttr(attr);
  return {names.begin(), names.end()};
}

namespace {

// One Invoke. With probing, a result that means the member wants arguments
// is returned as that HRESULT instead of being raised.
HRESULT InvokeVariant(IDispatch* d, DISPID dispid, WORD flags, const std::vector<py::handle>& args,
                      const std::string& what, CComVariant* result, bool probing = false) {
  const bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
  if (put && args.empty()) {
    PyErr_SetString(PyExc_TypeError, (what + ": a put needs the value to set").c_str());
    throw py::error_already_set();
  }
  ArgPack pack(args, put);
  ExcepInfoGuard error;
  constexpr UINT kNoArgument = ~0u;  // the object names no argument unless it changes this
  UINT argErr = kNoArgument;
  HRESULT hr = d->Invoke(dispid, IID_NULL, kLcid, flags, pack.Params(), put ? nullptr : result,
                         &error.info, &argErr);
  pack.WriteBack();
  if (hr == DISP_E_EXCEPTION) {
    if (error.info.pfnDeferredFillIn) error.info.pfnDeferredFillIn(&error.info);
    RaiseDispatchError(error.info);
  }
  if (FAILED(hr)) {
    if (probing && WantsArguments(hr)) return hr;
    std::string context = what;
    if ((hr == DISP_E_TYPEMISMATCH || hr == DISP_E_PARAMNOTFOUND || hr == DISP_E_OVERFLOW ||
         hr == DISP_E_BADVARTYPE) &&
        argErr != kNoArgument && argErr < pack.Params()->cArgs)
      context += ", argument " + std::to_string(pack.Position(argErr));
    RaiseComError(hr, context);
  }
  return hr;
}

std::string Describe(const std::string& name, WORD flags) {
  if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) return "setting '" + name + "'";
  return "'" + name + "'";
}

}  // namespace

py::object PyDispatch::Invoke(DISPID dispid, WORD flags, const std::vector<py::handle>& args,
                              const std::string& what) {
  CComVariant result;
  InvokeVariant(disp_.Get(), dispid, flags, args, what, &result);
  return FromVariant(result);
}

py::object WrapDispatch(IDispatch* d) {
  if (!d) return py::none();
  return py::cast(PyDispatch(ComPtr<IDispatch>(d)));
}

py::object WrapUnknown(IUnknown* u) {
  if (!u) return py::none();
  return py::cast(PyUnknown{ComPtr<IUnknown>(u)});
}

namespace {

py::object GetAttribute(py::object selfObj, const std::string& name) {
  if (name.starts_with("__")) throw py::attribute_error(name);
  PyDispatch& self = selfObj.cast<PyDispatch&>();
  const MemberInfo m = self.Member(name);
  if (m.kind == MemberKind::Callable) return py::cast(PyMember{selfObj, m.dispid, name});
  CComVariant result;
  HRESULT hr = InvokeVariant(self.Get(), m.dispid, DISPATCH_PROPERTYGET, {}, Describe(name, DISPATCH_PROPERTYGET),
                             &result, m.kind == MemberKind::Unknown);
  if (FAILED(hr)) return py::cast(PyMember{selfObj, m.dispid, name});  // a method, by its answer
  return FromVariant(result);
}

void SetAttribute(PyDispatch& self, const std::string& name, py::object value) {
  if (name.starts_with("__")) throw py::attribute_error(name);
  const MemberInfo m = self.Member(name);
  self.Invoke(m.dispid, DISPATCH_PROPERTYPUT, {value}, Describe(name, DISPATCH_PROPERTYPUT));
}

py::object Iterate(PyDispatch& self) {
  CComVariant result;
  ExcepInfoGuard unused;
  // _NewEnum is looked for by its dispid; an object without it is not iterable.
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  HRESULT hr = self.Get()->Invoke(DISPID_NEWENUM, IID_NULL, kLcid,
                                  DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none, &result, &unused.info, nullptr);
  if (hr == DISP_E_MEMBERNOTFOUND || hr == DISP_E_UNKNOWNNAME) {
    PyErr_SetString(PyExc_TypeError, "the automation object is not iterable: it has no _NewEnum");
    throw py::error_already_set();
  }
  if (hr == DISP_E_EXCEPTION) {
    if (unused.info.pfnDeferredFillIn) unused.info.pfnDeferredFillIn(&unused.info);
    RaiseDispatchError(unused.info);
  }
  if (FAILED(hr)) RaiseComError(hr, "_NewEnum");
  return WrapEnumerator(EnumeratorOf(result, "_NewEnum's result"));
}

std::string ReprOf(PyDispatch& self) {
  std::string type = "object";
  if (ITypeInfo* info = self.TypeInfo()) {
    BSTR name = nullptr;
    if (SUCCEEDED(info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr)) && name)
      type = ole::BstrToUtf8(name);
    SysFreeString(name);
  }
  return "<cvole.Dispatch " + type + " at " + PointerText(self.Identity()) + ">";
}

bool SameObject(IUnknown* a, py::handle other) {
  if (py::isinstance<PyDispatch>(other)) return IdentityOf(a) == other.cast<PyDispatch&>().Identity();
  if (py::isinstance<PyUnknown>(other)) return IdentityOf(a) == IdentityOf(other.cast<PyUnknown&>().unk.Get());
  return false;
}

std::unique_ptr<PyDispatch> NewDispatch(py::object what, bool userMode) {
  if (py::isinstance<py::str>(what)) return std::make_unique<PyDispatch>(CreateObject(what.cast<std::string>(), userMode));
  IUnknown* u = nullptr;
  if (py::isinstance<PyDispatch>(what)) u = what.cast<PyDispatch&>().Get();
  if (py::isinstance<PyUnknown>(what)) u = what.cast<PyUnknown&>().unk.Get();
  if (!u) {
    PyErr_SetString(PyExc_TypeError, "cvole.Dispatch takes a ProgID, a \"{CLSID}\", a cvole.Unknown or a cvole.Dispatch");
    throw py::error_already_set();
  }
  ComPtr<IDispatch> d;
  HRESULT hr = u->QueryInterface(IID_IDispatch, d.PpvOut());
  if (FAILED(hr)) RaiseComError(hr, "QueryInterface for IDispatch");
  return std::make_unique<PyDispatch>(std::move(d));
}

}  // namespace

void InitDispatch(py::module_& m) {
  py::class_<PyDispatch>(m, "Dispatch",
                         "An automation object. Dispatch(progid_or_clsid, user_mode=True) creates one through the\n"
                         "registry (a control gets a client site reporting user_mode); Dispatch(unknown) asks an\n"
                         "object for its IDispatch. Attributes are the object's members: properties are read and\n"
                         "set, methods and properties with arguments are called.")
      .def(py::init(&NewDispatch), py::arg("object"), py::arg("user_mode") = true)
      .def("__getattr__", &GetAttribute)
      .def("__setattr__", &SetAttribute)
      .def(
          "__call__",
          [](PyDispatch& self, py::args args, py::kwargs kwargs) {
            NoKeywords(kwargs, "the default member");
            return self.Invoke(DISPID_VALUE, DISPATCH_METHOD | DISPATCH_PROPERTYGET, Handles(args), "the default member");
          },
          "Calls the default member (dispid 0).")
      .def("__getitem__",
           [](PyDispatch& self, py::object key) {
             std::vector<py::handle> args;
             if (py::isinstance<py::tuple>(key)) {
               for (py::handle k : key.cast<py::tuple>()) args.push_back(k);
             } else {
               args.push_back(key);
             }
             return self.Invoke(DISPID_VALUE, DISPATCH_METHOD | DISPATCH_PROPERTYGET, args, "the default member");
           })
      .def("__iter__", &Iterate)
      .def(
          "set",
          [](PyDispatch& self, const std::string& name, py::args args) {
            const MemberInfo m = self.Member(name);
            self.Invoke(m.dispid, DISPATCH_PROPERTYPUT, Handles(args), Describe(name, DISPATCH_PROPERTYPUT));
          },
          py::arg("name"),
          "set(name, *args, value): sets a property that takes arguments, such as\n"
          "set('Parameters', 'Maximum Packet Receive Buffers', 600).")
      .def(
          "invoke",
          [](PyDispatch& self, DISPID dispid, WORD flags, py::args args) {
            return self.Invoke(dispid, flags, Handles(args), "dispid " + std::to_string(dispid));
          },
          py::arg("dispid"), py::arg("flags"),
          "invoke(dispid, flags, *args): one IDispatch::Invoke; with DISPATCH_PROPERTYPUT the last\n"
          "argument is the value.")
      .def("__eq__", [](PyDispatch& self, py::object other) { return SameObject(self.Get(), other); })
      .def("__hash__", [](PyDispatch& self) { return reinterpret_cast<std::uintptr_t>(self.Identity()); })
      .def("__repr__", &ReprOf)
      .def("__dir__", [](PyDispatch& self) {
        py::list names;
        for (const std::string& n : self.MemberNames()) names.append(n);
        names.append("invoke");
        names.append("set");
        return names;
      });

  py::class_<PyMember>(m, "Method", "A member of an automation object, bound to it; calling it invokes the member.")
      .def("__call__",
           [](PyMember& self, py::args args, py::kwargs kwargs) {
             NoKeywords(kwargs, "'" + self.name + "'");
             return self.owner.cast<PyDispatch&>().Invoke(self.dispid, DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                                                         Handles(args), "'" + self.name + "'");
           })
      .def_readonly("dispid", &PyMember::dispid)
      .def_readonly("name", &PyMember::name)
      .def("__repr__", [](const PyMember& self) {
        return "<cvole.Method " + self.name + " (dispid " + std::to_string(self.dispid) + ")>";
      });

  py::class_<PyUnknown>(m, "Unknown",
                        "An interface reference passed as VT_UNKNOWN; iterable when the object is an enumerator.")
      .def("__iter__",
           [](PyUnknown& self) {
             CComVariant v = CComVariant::FromUnknown(self.unk.Get());
             return WrapEnumerator(EnumeratorOf(v, "the object"));
           })
      .def("__eq__", [](PyUnknown& self, py::object other) { return SameObject(self.unk.Get(), other); })
      .def("__hash__", [](PyUnknown& self) { return reinterpret_cast<std::uintptr_t>(IdentityOf(self.unk.Get())); })
      .def("__repr__", [](PyUnknown& self) { return "<cvole.Unknown at " + PointerText(IdentityOf(self.unk.Get())) + ">"; });

  py::class_<PyEnumerator>(m, "Enumerator", "The items of an IEnumVARIANT, one Next at a time.")
      .def("__iter__", [](py::object self) { return self; })
      .def("__next__", &Next)
      .def("reset",
           [](PyEnumerator& self) {
             HRESULT hr = self.e->Reset();
             if (FAILED(hr)) RaiseComError(hr, "IEnumVARIANT::Reset");
           })
      .def(
          "skip",
          [](PyEnumerator& self, ULONG count) {
            HRESULT hr = self.e->Skip(count);
            if (FAILED(hr)) RaiseComError(hr, "IEnumVARIANT::Skip");
            return hr == S_OK;
          },
          py::arg("count"), "Skips count items; False when fewer were left.")
      .def("clone", [](PyEnumerator& self) {
        ComPtr<IEnumVARIANT> copy;
        HRESULT hr = self.e->Clone(copy.ReleaseAndGetAddressOf());
        if (FAILED(hr) || !copy) RaiseComError(FAILED(hr) ? hr : E_POINTER, "IEnumVARIANT::Clone");
        return WrapEnumerator(std::move(copy));
      });
}

}  // namespace cvole
