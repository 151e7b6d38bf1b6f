// The server side of an in-process module: its class factories, its lock
// count, and the building blocks of its exports. Linked into each module as
// the static library ole_server, built with hidden visibility, so that every
// module has its own instance of this state.
#pragma once

#include <atomic>
#include <optional>
#include <functional>
#include <string>
#include <vector>

#include "ole/com.h"
#include "ole/interfaces.h"
#include "ole/typelib_model.h"

#define OLE_EXPORT extern "C" __attribute__((visibility("default")))

namespace ole::server {

// One creatable class of the module.
struct ClassInfo {
  CLSID clsid;
  std::string progid;  // may be empty
  std::string typeName;
  // Creates a new object and answers riid from it.
  std::function<HRESULT(REFIID riid, void** object)> create;
  // Writes (true) or removes (false) the class's registry entries; null for
  // the standard ones (CLSID key with InprocServer32 and ProgID).
  std::function<bool(bool registering)> updateRegistry;
};

class Module {
 public:
  static Module& Get();

  void AddClass(ClassInfo info);
  const std::vector<ClassInfo>& Classes() const { return classes_; }

  // Every live object and every LockServer(TRUE) holds one lock.
  void Lock() { ++locks_; }
  void Unlock() { --locks_; }
  long LockCount() const { return locks_.load(); }

  HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** object);
  HRESULT CanUnloadNow() const { return locks_.load() == 0 ? S_OK : S_FALSE; }
  // Runs every class's registry update; false when one fails.
  bool UpdateRegistryAll(bool registering);

  // The absolute path of the module's file.
  static std::string FilePath();

  // Resources handed out by the module's export OleModuleResource.
  void AddResource(std::string type, unsigned id, std::string bytes);
  const void* Resource(const char* type, unsigned id, std::size_t* size) const;
  // The module's type library, kept as its resource TYPELIB 1.
  void SetTypeLib(const tlb::Library& lib);
  const tlb::Library* TypeLib() const { return typeLib_ ? &*typeLib_ : nullptr; }

 private:
  struct Res {
    std::string type;
    unsigned id;
    std::string bytes;
  };
  Module() = default;
  std::vector<ClassInfo> classes_;
  std::vector<Res> resources_;
  std::optional<tlb::Library> typeLib_;
  std::atomic<long> locks_{0};
};

// A base for objects of the module: holds a module lock while alive.
class ModuleLock {
 public:
  ModuleLock() { Module::Get().Lock(); }
  ModuleLock(const ModuleLock&) : ModuleLock() {}
  ModuleLock& operator=(const ModuleLock&) = default;
  ~ModuleLock() { Module::Get().Unlock(); }
};

// The standard entries of a creatable class:
//   CLSID\{clsid}                   @ = type name
//   CLSID\{clsid}\InprocServer32    @ = module path, ThreadingModel = threading
//   CLSID\{clsid}\ProgID            @ = progid
//   PROGID                          @ = type name; PROGID\CLSID @ = {clsid}
bool RegisterStandardClass(const ClassInfo& info, const std::string& threading = "Apartment");
// Removes the CLSID and ProgID keys of the class (category registrations of
// other classes stay, as on Windows).
bool UnregisterStandardClass(const ClassInfo& info);

// Registers the module's own type library (RegisterTypeLib with the module's
// path) and removes it again; SELFREG_E_TYPELIB when that fails.
HRESULT RegisterModuleTypeLib();
HRESULT UnregisterModuleTypeLib();

// Declares a creatable class T (constructible without arguments, answering
// QueryInterface) at static-initialisation time.
template <class T>
struct ClassRegistrar {
  ClassRegistrar(REFCLSID clsid, std::string progid, std::string typeName,
                 std::function<bool(bool)> updateRegistry = {}) {
    Module::Get().AddClass(ClassInfo{
        clsid, std::move(progid), std::move(typeName),
        [](REFIID riid, void** object) -> HRESULT {
          T* obj = new (std::nothrow) T();
          if (!obj) return E_OUTOFMEMORY;
          HRESULT hr = obj->QueryInterface(riid, object);
          obj->Release();  // the new object's own reference
          return hr;
        },
        std::move(updateRegistry)});
  }
};

}  // namespace ole::server

// Defines DllGetClassObject, DllCanUnloadNow and OleModuleResource of the
// module. The module writes DllRegisterServer and DllUnregisterServer itself
// (OLE_EXPORT), usually with Module::UpdateRegistryAll and the type library
// helpers above.
#define OLE_DEFINE_MODULE_EXPORTS()                                                       \
  OLE_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {      \
    return ::ole::server::Module::Get().GetClassObject(clsid, riid, object);              \
  }                                                                                       \
  OLE_EXPORT HRESULT DllCanUnloadNow() { return ::ole::server::Module::Get().CanUnloadNow(); } \
  OLE_EXPORT const void* OleModuleResource(const char* type, unsigned id, std::size_t* size) { \
    return ::ole::server::Module::Get().Resource(type, id, size);                         \
  }
