// Class objects that live as long as the program: the runtime's built-in
// classes, and classes a test serves without a registry entry.
#pragma once

#include <functional>

#include "ole/object.h"

namespace ole {

// Runs a creation, turning what it throws into the HRESULT a client expects:
// E_OUTOFMEMORY, a dispatch exception's SCODE (or its 16-bit code as a
// FACILITY_CONTROL error), E_FAIL for anything else.
HRESULT CreateCatching(const std::function<HRESULT()>& create);

// The class object of T, which it creates with MakeObject; it counts no
// references and ignores LockServer.
template <class T>
class StaticClassFactory final : public IClassFactory {
 public:
  HRESULT QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = (riid == IID_IUnknown || riid == IID_IClassFactory) ? static_cast<IClassFactory*>(this) : nullptr;
    return *object ? S_OK : E_NOINTERFACE;
  }
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }
  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return CreateCatching([&] { return MakeObject<T>()->QueryInterface(riid, object); });
  }
  HRESULT LockServer(BOOL) override { return S_OK; }
};

// A BuiltinClassObjectFn (see com.h) serving T.
template <class T>
HRESULT StaticClassObject(REFIID riid, void** object) {
  static StaticClassFactory<T> factory;
  return factory.QueryInterface(riid, object);
}

}  // namespace ole
