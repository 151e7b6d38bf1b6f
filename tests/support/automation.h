// Late-bound calls through IDispatch, as an automation client makes them.
#pragma once

#include <string>
#include <vector>

#include "ole/interfaces.h"
#include "ole/variant.h"

namespace testsupport {

// Resolves name with GetIDsOfNames and invokes it; the arguments are given in
// order (they are reversed into DISPPARAMS). A put passes the single named
// argument DISPID_PROPERTYPUT. result may be null.
inline HRESULT CallByName(IDispatch* d, const char16_t* name, WORD flags, std::vector<CComVariant> args,
                          CComVariant* result, EXCEPINFO* info = nullptr) {
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  HRESULT hr = d->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
  if (FAILED(hr)) return hr;
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPID put = DISPID_PROPERTYPUT;
  bool isPut = flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF);
  DISPPARAMS p{reversed.data(), isPut ? &put : nullptr, static_cast<UINT>(reversed.size()), isPut ? 1u : 0u};
  UINT err = 0;
  if (result) result->Clear();  // Invoke takes the result as uninitialised
  return d->Invoke(id, IID_NULL, 0, flags, &p, result, info, &err);
}

inline CComVariant Get(IDispatch* d, const char16_t* name) {
  CComVariant r;
  CallByName(d, name, DISPATCH_PROPERTYGET, {}, &r);
  return r;
}

inline HRESULT Put(IDispatch* d, const char16_t* name, CComVariant value, EXCEPINFO* info = nullptr) {
  return CallByName(d, name, DISPATCH_PROPERTYPUT, {std::move(value)}, nullptr, info);
}

}  // namespace testsupport
