// Dispatch tables: the declarative IDispatch implementation of an automation
// class. A class lists its members once, in order; members take dispids by
// their position (1, 2, 3 ...) unless given one explicitly, and Invoke checks
// the call, coerces the arguments and the result, and turns exceptions thrown
// by a member into the automation error a client expects.
//
//   class Server : public ole::DispatchObject<Server> {
//    public:
//     static const ole::DispatchTable<Server>& DispatchMap() {
//       static const ole::DispatchTable<Server> table{
//           ole::Property<Server>("FullName", VT_BSTR, &Server::FullName, &Server::SetFullName),
//           ole::ReadOnly<Server>("Company", VT_BSTR, [](Server& s) { return s.company; }),
//           ole::Method<Server>("LoadQRX", VT_BOOL, {{"QRXName", VT_BSTR}, {"Parameters", VT_BSTR}},
//                               [](Server& s, const ole::DispArgs& a) {
//                                 return s.Load(a.Str(0), a.Str(1));
//                               }),
//           ole::Method<Server>("AboutBox", VT_EMPTY, &Server::AboutBox).Id(DISPID_ABOUTBOX),
//       };
//       return table;
//     }
//   };
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "ole/interfaces.h"
#include "ole/object.h"
#include "ole/variant.h"

namespace ole {

// One declared parameter. Types: VT_BSTR, VT_I2, VT_I4, VT_UI4, VT_BOOL, VT_R8,
// VT_DATE, VT_DISPATCH, VT_UNKNOWN, VT_VARIANT. Optional parameters follow the
// required ones.
struct DispParam {
  const char* name;
  VARTYPE vt;
  bool optional = false;
};

enum class DispKind { Method, Property };

// An HRESULT that Invoke returns to the caller as it is.
struct ComError : std::exception {
  explicit ComError(HRESULT h) : hr(h) {}
  const char* what() const noexcept override { return "automation error"; }
  HRESULT hr;
};

// An automation exception raised by a member: Invoke returns DISP_E_EXCEPTION
// and fills the caller's EXCEPINFO. With neither code nor scode set, the
// caller sees scode E_FAIL; with both set, the code wins. A missing
// description is the standard text of the scode, when it has one.
struct DispatchException : std::exception {
  static DispatchException FromCode(WORD code, std::string description = {},
                                    std::string helpFile = {}, DWORD helpContext = 0);
  static DispatchException FromScode(SCODE scode, std::string description = {},
                                     std::string helpFile = {}, DWORD helpContext = 0);
  const char* what() const noexcept override { return description.c_str(); }

  WORD code = 0;
  SCODE scode = 0;
  std::string description;  // UTF-8, as are the other texts
  std::string source;
  std::string helpFile;
  DWORD helpContext = 0;
};

// The framework's description of a standard control error; empty for others.
std::string_view StandardErrorText(SCODE scode);

// The arguments of one call, coerced to their declared types, first argument
// at index 0. A left-out optional argument reads as VT_ERROR with
// DISP_E_PARAMNOTFOUND; a VT_VARIANT parameter is the VARIANT as the caller
// passed it, by reference included. The typed accessors read a value of their
// type (through a reference, for VT_VARIANT parameters) and throw
// std::logic_error for anything else, a missing argument included.
class DispArgs {
 public:
  DispArgs() = default;
  DispArgs(const VARIANT* const* args, std::size_t count) : args_(args), count_(count) {}

  std::size_t size() const { return count_; }
  const VARIANT& operator[](std::size_t i) const;  // std::out_of_range past the end
  bool IsMissing(std::size_t i) const;

  std::string Str(std::size_t i) const;  // the text of a VT_BSTR argument, UTF-8
  BSTR Bstr(std::size_t i) const;        // valid for the duration of the call
  SHORT I2(std::size_t i) const;
  LONG I4(std::size_t i) const;
  ULONG UI4(std::size_t i) const;
  bool Bool(std::size_t i) const;
  double R8(std::size_t i) const;
  DATE Date(std::size_t i) const;
  IDispatch* Dispatch(std::size_t i) const;  // no reference added
  const VARIANT& Var(std::size_t i) const { return (*this)[i]; }

 private:
  const VARIANT& Typed(std::size_t i, VARTYPE vt) const;

  const VARIANT* const* args_ = nullptr;
  std::size_t count_ = 0;
};

// What a member is, for Invoke and for the type library builder.
struct DispMemberInfo {
  std::string name;
  DISPID dispid = DISPID_UNKNOWN;  // DISPID_UNKNOWN until the table assigns one
  DispKind kind = DispKind::Method;
  VARTYPE type = VT_EMPTY;  // result or property type; VT_EMPTY: no result
  std::vector<DispParam> params;
  bool canGet = true;  // false for a write-only property
  bool canPut = false;

  bool ReadOnly() const { return kind == DispKind::Property && !canPut; }
};

template <class T>
struct DispMember : DispMemberInfo {
  using Getter = std::function<CComVariant(T&, const DispArgs&)>;
  using Putter = std::function<void(T&, const DispArgs&, const VARIANT& value)>;

  // An explicit dispid; the member still takes its position's slot.
  DispMember& Id(DISPID id) & {
    dispid = id;
    return *this;
  }
  DispMember&& Id(DISPID id) && { return std::move(Id(id)); }

  Getter get;  // a method's body, a property's get
  // The value has the property's type; for a VT_VARIANT property it is what
  // the caller passed, possibly by reference, so a put that keeps it copies it
  // with VariantCopyInd.
  Putter put;
};

// The non-template part of a table: member lookup, GetIDsOfNames and Invoke.
class DispatchTableBase {
 public:
  DispatchTableBase(const DispatchTableBase&) = delete;
  DispatchTableBase& operator=(const DispatchTableBase&) = delete;

  const std::vector<DispMemberInfo>& Members() const { return members_; }
  const DispMemberInfo* Find(DISPID dispid) const;
  const DispMemberInfo* FindName(std::u16string_view name) const;

  HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                        DISPID* dispids) const;

 protected:
  DispatchTableBase() = default;
  ~DispatchTableBase() = default;

  // Appends a member, assigning its positional dispid when it has none. A
  // malformed table (a duplicate dispid or name, an unsupported type, a
  // required parameter after an optional one) aborts: it is a programming
  // error, found the first time the table is built.
  void Add(DispMemberInfo info);
  [[noreturn]] static void TableError(std::string_view member, std::string_view what);

  HRESULT InvokeOn(void* self, DISPID dispid, REFIID riid, LCID lcid, WORD flags,
                   DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepinfo,
                   UINT* argErr) const;

  virtual CComVariant CallGet(void* self, std::size_t index, const DispArgs& args) const = 0;
  virtual void CallPut(void* self, std::size_t index, const DispArgs& args,
                       const VARIANT& value) const = 0;

 private:
  std::ptrdiff_t IndexOf(DISPID dispid) const;
  HRESULT Dispatch(void* self, std::size_t index, WORD flags, const DISPPARAMS& params,
                   VARIANT* result, UINT* argErr) const;

  std::vector<DispMemberInfo> members_;
  std::vector<std::u16string> names16_;
  std::vector<std::pair<DISPID, std::size_t>> byId_;  // sorted by dispid
};

template <class T>
class DispatchTable final : public DispatchTableBase {
 public:
  DispatchTable(std::initializer_list<DispMember<T>> members) {
    calls_.reserve(members.size());
    for (const DispMember<T>& m : members) {
      if ((m.canGet && !m.get) || (m.canPut && !m.put)) TableError(m.name, "no function");
      Add(m);
      calls_.push_back({m.get, m.put});
    }
  }

  HRESULT Invoke(T& self, DISPID dispid, REFIID riid, LCID lcid, WORD flags,
                 DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepinfo,
                 UINT* argErr) const {
    return InvokeOn(&self, dispid, riid, lcid, flags, params, result, excepinfo, argErr);
  }

 private:
  CComVariant CallGet(void* self, std::size_t i, const DispArgs& args) const override {
    return calls_[i].first(*static_cast<T*>(self), args);
  }
  void CallPut(void* self, std::size_t i, const DispArgs& args,
               const VARIANT& value) const override {
    calls_[i].second(*static_cast<T*>(self), args, value);
  }

  std::vector<std::pair<typename DispMember<T>::Getter, typename DispMember<T>::Putter>> calls_;
};

namespace detail {

template <class R>
CComVariant ToVariant(R&& r) {
  using D = std::remove_cvref_t<R>;
  if constexpr (std::is_same_v<D, CComBSTR>) {
    return CComVariant::FromBstr(r);
  } else if constexpr (std::is_same_v<D, VARIANT>) {
    return CComVariant(static_cast<const VARIANT&>(r));
  } else {
    static_assert(std::is_constructible_v<CComVariant, R&&>,
                  "a dispatch member must return something a CComVariant can hold");
    return CComVariant(std::forward<R>(r));
  }
}

// Calls f and makes a VARIANT of what it returns (VT_EMPTY for void).
template <class F, class... Args>
CComVariant CallToVariant(F& f, Args&&... args) {
  if constexpr (std::is_void_v<std::invoke_result_t<F&, Args&&...>>) {
    std::invoke(f, std::forward<Args>(args)...);
    return CComVariant();
  } else {
    return ToVariant(std::invoke(f, std::forward<Args>(args)...));
  }
}

// A getter or body invocable as (T&, const DispArgs&) or as (T&).
template <class T, class F>
typename DispMember<T>::Getter MakeGetter(F f) {
  if constexpr (std::is_invocable_v<F&, T&, const DispArgs&>) {
    return [f = std::move(f)](T& self, const DispArgs& args) mutable {
      return CallToVariant(f, self, args);
    };
  } else {
    static_assert(std::is_invocable_v<F&, T&>,
                  "a getter is invocable as (T&, const DispArgs&) or (T&)");
    return [f = std::move(f)](T& self, const DispArgs&) mutable { return CallToVariant(f, self); };
  }
}

// A put invocable as (T&, const DispArgs&, const VARIANT&) or (T&, const VARIANT&).
template <class T, class F>
typename DispMember<T>::Putter MakePutter(F f) {
  if constexpr (std::is_invocable_v<F&, T&, const DispArgs&, const VARIANT&>) {
    return [f = std::move(f)](T& self, const DispArgs& args, const VARIANT& value) mutable {
      std::invoke(f, self, args, value);
    };
  } else {
    static_assert(std::is_invocable_v<F&, T&, const VARIANT&>,
                  "a put is invocable as (T&, const DispArgs&, const VARIANT&) or (T&, const VARIANT&)");
    return [f = std::move(f)](T& self, const DispArgs&, const VARIANT& value) mutable {
      std::invoke(f, self, value);
    };
  }
}

template <class T>
DispMember<T> MakeMember(const char* name, DispKind kind, VARTYPE type,
                         std::vector<DispParam> params) {
  DispMember<T> m;
  m.name = name;
  m.kind = kind;
  m.type = type;
  m.params = std::move(params);
  return m;
}

}  // namespace detail

// A method; result VT_EMPTY when it returns nothing.
template <class T, class F>
DispMember<T> Method(const char* name, VARTYPE result, std::vector<DispParam> params, F body) {
  DispMember<T> m = detail::MakeMember<T>(name, DispKind::Method, result, std::move(params));
  m.get = detail::MakeGetter<T>(std::move(body));
  return m;
}
template <class T, class F>
DispMember<T> Method(const char* name, VARTYPE result, F body) {
  return Method<T>(name, result, {}, std::move(body));
}

// A read-write property, optionally with parameters (Parameters(name) = value).
template <class T, class G, class P>
DispMember<T> Property(const char* name, VARTYPE type, std::vector<DispParam> params, G get,
                       P put) {
  DispMember<T> m = detail::MakeMember<T>(name, DispKind::Property, type, std::move(params));
  m.get = detail::MakeGetter<T>(std::move(get));
  m.put = detail::MakePutter<T>(std::move(put));
  m.canPut = true;
  return m;
}
template <class T, class G, class P>
DispMember<T> Property(const char* name, VARTYPE type, G get, P put) {
  return Property<T>(name, type, {}, std::move(get), std::move(put));
}

// A property a client may read but not set (setting it raises
// CTL_E_SETNOTSUPPORTED).
template <class T, class G>
DispMember<T> ReadOnly(const char* name, VARTYPE type, std::vector<DispParam> params, G get) {
  DispMember<T> m = detail::MakeMember<T>(name, DispKind::Property, type, std::move(params));
  m.get = detail::MakeGetter<T>(std::move(get));
  return m;
}
template <class T, class G>
DispMember<T> ReadOnly(const char* name, VARTYPE type, G get) {
  return ReadOnly<T>(name, type, {}, std::move(get));
}

// A property a client may set but not read (reading it raises
// CTL_E_GETNOTSUPPORTED).
template <class T, class P>
DispMember<T> WriteOnly(const char* name, VARTYPE type, P put) {
  DispMember<T> m = detail::MakeMember<T>(name, DispKind::Property, type, {});
  m.put = detail::MakePutter<T>(std::move(put));
  m.canGet = false;
  m.canPut = true;
  return m;
}

// IDispatch served from `static const DispatchTable<T>& T::DispatchMap()`.
// Primary is IDispatch or a dual interface derived from it; More are further
// interfaces the object implements. There is no type information unless a
// derived class overrides GetTypeInfoCount and GetTypeInfo.
template <class T, class Primary = IDispatch, class... More>
class DispatchObject : public ComObject<Primary, More...> {
  static_assert(std::is_base_of_v<IDispatch, Primary>, "the primary interface is a dispatch one");

 public:
  HRESULT GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    if (info) *info = nullptr;
    return DISP_E_BADINDEX;
  }
  HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                        DISPID* dispids) override {
    return T::DispatchMap().GetIDsOfNames(riid, names, count, lcid, dispids);
  }
  HRESULT Invoke(DISPID dispid, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                 VARIANT* result, EXCEPINFO* excepinfo, UINT* argErr) override {
    return T::DispatchMap().Invoke(static_cast<T&>(*this), dispid, riid, lcid, flags, params,
                                   result, excepinfo, argErr);
  }

 protected:
  DispatchObject() = default;
};

}  // namespace ole
