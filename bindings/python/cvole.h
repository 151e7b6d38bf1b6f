// cvole: a late-binding automation host for Python. Objects are reached only
// through IDispatch (GetIDsOfNames, then Invoke), as a scripting host does;
// type information, when an object offers it, only tells properties from
// methods.
#pragma once

#include <pybind11/pybind11.h>

#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ole/comptr.h"
#include "ole/interfaces.h"
#include "ole/typelib.h"
#include "ole/variant.h"

namespace cvole {

namespace py = pybind11;

// The locale of every call. The runtime keeps no user locale to resolve
// LOCALE_USER_DEFAULT against, and registered type libraries are found by
// a real LCID (or its language, or neutral), so the host names US English.
inline constexpr LCID kLcid = 0x0409;

// ---- errors.cpp ------------------------------------------------------------------

void InitErrors(py::module_& m);
// "0x80020003"
std::string Hex(std::uint32_t value);
// Raises cvole.ComError: "<context>: <text> (0x...)".
[[noreturn]] void RaiseComError(HRESULT hr, const std::string& context);
// Raises cvole.DispatchError from what an object reported.
[[noreturn]] void RaiseDispatchError(const EXCEPINFO& info);

// ---- convert.cpp -----------------------------------------------------------------

// cvole.Variant: a value with an explicit VARTYPE, kept as the VARIANT that
// is sent.
struct TypedValue {
  CComVariant value;
};

// cvole.ByRef: a by-reference argument; the callee's changes are written
// back to .value when the call returns.
struct ByRef {
  py::object value;
  bool variant = false;  // sent as VT_BYREF|VT_VARIANT whatever the value
};

// cvole.Missing: an optional argument left out.
struct MissingType {};

void InitConvert(py::module_& m);

// Python value -> VARIANT. out is empty on entry; on failure a Python error
// is raised and out stays empty.
void ToVariant(py::handle obj, VARIANT* out);
// VARIANT -> Python value; a reference is read through.
py::object FromVariant(const VARIANT& v);

// The arguments of one Invoke: rgvarg in the callee's (reversed) order, the
// storage that by-reference arguments point at, and what to write back.
class ArgPack {
 public:
  // args in the caller's order; with put, the last one is the value to set.
  ArgPack(const std::vector<py::handle>& args, bool put);
  ~ArgPack();
  ArgPack(const ArgPack&) = delete;
  ArgPack& operator=(const ArgPack&) = delete;

  DISPPARAMS* Params() { return &params_; }
  // Copies what the callee left in by-reference storage into the ByRef
  // objects.
  void WriteBack();
  // The caller's 1-based position of rgvarg[index].
  std::size_t Position(UINT index) const;

 private:
  void MakeReference(py::handle ref, VARIANT* arg, int depth);

  struct Back {
    py::object ref;         // the ByRef
    CComVariant* slot;      // what it points at
    bool variantSlot;       // VT_BYREF|VT_VARIANT: the slot may change type
    VARIANT asSent;         // the slot's content as sent, for a nested reference
  };
  std::vector<VARIANT> args_;       // reversed: rgvarg; cleared by the destructor
  std::deque<CComVariant> slots_;   // stable addresses
  std::vector<Back> backs_;
  DISPID putId_ = DISPID_PROPERTYPUT;
  DISPPARAMS params_{};
};

// ---- dispatch.cpp ----------------------------------------------------------------

// cvole.Unknown: any interface reference.
struct PyUnknown {
  ComPtr<IUnknown> unk;
};

// What an attribute name stands for on one object.
enum class MemberKind { Unknown, Property, Callable };
struct MemberInfo {
  DISPID dispid = DISPID_UNKNOWN;
  MemberKind kind = MemberKind::Unknown;
};

// cvole.Dispatch: an automation object.
class PyDispatch {
 public:
  explicit PyDispatch(ComPtr<IDispatch> d) : disp_(std::move(d)) {}

  IDispatch* Get() const { return disp_.Get(); }
  // The identity of the object (its IUnknown), for comparisons.
  IUnknown* Identity() const;

  const MemberInfo& Member(const std::string& name);
  py::object Invoke(DISPID dispid, WORD flags, const std::vector<py::handle>& args, const std::string& what);
  ITypeInfo* TypeInfo();
  std::vector<std::string> MemberNames();

 private:
  ComPtr<IDispatch> disp_;
  std::unordered_map<std::string, MemberInfo> members_;
  ComPtr<ITypeInfo> typeInfo_;
  bool typeInfoTried_ = false;
};

void InitDispatch(py::module_& m);
py::object WrapDispatch(IDispatch* d);  // adds a reference; null -> None
py::object WrapUnknown(IUnknown* u);    // adds a reference; null -> None

// ---- site.cpp --------------------------------------------------------------------

// A client site for a control: its ambient properties report userMode.
ComPtr<IUnknown> MakeClientSite(bool userMode);
// Creates the object of a ProgID or "{CLSID}" through the registry, sets the
// site first when the object is a control, and initialises it.
ComPtr<IDispatch> CreateObject(const std::string& progidOrClsid, bool userMode);

}  // namespace cvole
