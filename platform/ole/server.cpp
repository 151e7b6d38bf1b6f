#include "ole/server.h"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>

#include <cstring>

#include "ole/bstr.h"
#include "ole/factory.h"
#include "ole/object.h"
#include "ole/registry.h"
#include "ole/typelib.h"

namespace ole::server {
namespace {

// The class object of one class; it lives as long as the module and does not
// count its references (LockServer holds the module instead).
class ClassFactory final : public IClassFactory {
 public:
  explicit ClassFactory(const ClassInfo* info) : info_(info) {}

  HRESULT QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *object = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }

  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    // A constructor that raises makes the creation fail with what it raised.
    return CreateCatching([&] { return info_->create(riid, object); });
  }
  HRESULT LockServer(BOOL lock) override {
    if (lock)
      Module::Get().Lock();
    else
      Module::Get().Unlock();
    return S_OK;
  }

 private:
  const ClassInfo* info_;
};

std::vector<std::unique_ptr<ClassFactory>>& Factories() {
  static std::vector<std::unique_ptr<ClassFactory>> f;
  return f;
}

}  // namespace

Module& Module::Get() {
  static Module m;
  return m;
}

void Module::AddClass(ClassInfo info) { classes_.push_back(std::move(info)); }

HRESULT Module::GetClassObject(REFCLSID clsid, REFIID riid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  for (std::size_t i = 0; i < classes_.size(); ++i) {
    if (classes_[i].clsid != clsid) continue;
    auto& factories = Factories();
    if (factories.size() < classes_.size()) factories.resize(classes_.size());
    if (!factories[i]) factories[i] = std::make_unique<ClassFactory>(&classes_[i]);
    return factories[i]->QueryInterface(riid, object);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

bool Module::UpdateRegistryAll(bool registering) {
  bool ok = true;
  for (const auto& c : classes_) {
    bool done = c.updateRegistry ? c.updateRegistry(registering)
                                 : (registering ? RegisterStandardClass(c) : UnregisterStandardClass(c));
    ok = ok && done;
  }
  return ok;
}

std::string Module::FilePath() {
  Dl_info info{};
  if (!::dladdr(reinterpret_cast<void*>(&Module::Get), &info) || !info.dli_fname) return {};
  std::error_code ec;
  auto p = std::filesystem::canonical(info.dli_fname, ec);
  return ec ? std::filesystem::absolute(info.dli_fname).string() : p.string();
}

void Module::AddResource(std::string type, unsigned id, std::string bytes) {
  for (auto& r : resources_)
    if (r.type == type && r.id == id) {
      r.bytes = std::move(bytes);
      return;
    }
  resources_.push_back(Res{std::move(type), id, std::move(bytes)});
}

const void* Module::Resource(const char* type, unsigned id, std::size_t* size) const {
  if (!type) return nullptr;
  for (const auto& r : resources_)
    if (r.id == id && r.type == type) {
      if (size) *size = r.bytes.size();
      return r.bytes.data();
    }
  return nullptr;
}

void Module::SetTypeLib(const tlb::Library& lib) {
  typeLib_ = lib;
  AddResource("TYPELIB", 1, tlb::Serialize(lib));
}

HRESULT RegisterModuleTypeLib() {
  const tlb::Library* model = Module::Get().TypeLib();
  std::string path = Module::FilePath();
  if (!model || path.empty()) return SELFREG_E_TYPELIB;
  ComPtr<ITypeLib> lib;
  if (FAILED(CreateTypeLib(*model, lib.ReleaseAndGetAddressOf()))) return SELFREG_E_TYPELIB;
  std::u16string wide = Utf8ToUtf16(path);
  return SUCCEEDED(RegisterTypeLib(lib.Get(), wide.c_str(), nullptr)) ? S_OK : SELFREG_E_TYPELIB;
}

HRESULT UnregisterModuleTypeLib() {
  const tlb::Library* m = Module::Get().TypeLib();
  if (!m) return SELFREG_E_TYPELIB;
  return SUCCEEDED(UnRegisterTypeLib(m->libid, m->major, m->minor, m->lcid, SYS_WIN32)) ? S_OK : SELFREG_E_TYPELIB;
}

bool RegisterStandardClass(const ClassInfo& info, const std::string& threading) {
  std::string key = "CLSID\\" + GuidToString(info.clsid);
  std::string path = Module::FilePath();
  if (path.empty()) return false;
  bool ok = RegSetString(key, "", info.typeName) == ERROR_SUCCESS &&
            RegSetString(key + "\\InprocServer32", "", path) == ERROR_SUCCESS &&
            RegSetString(key + "\\InprocServer32", "ThreadingModel", threading) == ERROR_SUCCESS;
  if (ok && !info.progid.empty()) {
    ok = RegSetString(key + "\\ProgID", "", info.progid) == ERROR_SUCCESS &&
         RegSetString(info.progid, "", info.typeName) == ERROR_SUCCESS &&
         RegSetString(info.progid + "\\CLSID", "", GuidToString(info.clsid)) == ERROR_SUCCESS;
  }
  return ok;
}

bool UnregisterStandardClass(const ClassInfo& info) {
  std::string key = "CLSID\\" + GuidToString(info.clsid);
  LONG a = RegDeleteTree(HKEY_CLASSES_ROOT, key.c_str());
  LONG b = info.progid.empty() ? ERROR_SUCCESS : RegDeleteTree(HKEY_CLASSES_ROOT, info.progid.c_str());
  auto ok = [](LONG rc) { return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND; };
  return ok(a) && ok(b);
}

}  // namespace ole::server
