#include "ole/com.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "ole/bstr.h"
#include "ole/comptr.h"
#include "ole/registry.h"

namespace ole {
namespace {

struct LoadedModule {
  void* handle = nullptr;
  DllGetClassObjectFn getClassObject = nullptr;
  DllCanUnloadNowFn canUnloadNow = nullptr;
};

std::mutex g_mutex;
std::map<std::string, LoadedModule> g_modules;  // by the path registered
std::map<GUID, BuiltinClassObjectFn, GuidLess>& Builtins() {
  static std::map<GUID, BuiltinClassObjectFn, GuidLess> classes;
  return classes;
}
thread_local std::string t_loadError;

HRESULT LoadModule(const std::string& path, DllGetClassObjectFn* fn) {
  std::lock_guard lock(g_mutex);
  auto it = g_modules.find(path);
  if (it == g_modules.end()) {
    dlerror();
    void* h = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
      const char* why = dlerror();
      t_loadError = why ? why : path + ": cannot load";
      return CO_E_DLLNOTFOUND;
    }
    LoadedModule m;
    m.handle = h;
    m.getClassObject = reinterpret_cast<DllGetClassObjectFn>(::dlsym(h, "DllGetClassObject"));
    m.canUnloadNow = reinterpret_cast<DllCanUnloadNowFn>(::dlsym(h, "DllCanUnloadNow"));
    if (!m.getClassObject) {
      ::dlclose(h);
      t_loadError = path + ": no DllGetClassObject";
      return CO_E_ERRORINDLL;
    }
    it = g_modules.emplace(path, m).first;
  }
  *fn = it->second.getClassObject;
  return S_OK;
}

}  // namespace

std::string LastLoadError() { return t_loadError; }

std::string_view ErrorMessage(HRESULT hr) {
  switch (hr) {
    case E_NOTIMPL: return "Not implemented";
    case E_NOINTERFACE: return "No such interface supported";
    case E_POINTER: return "Invalid pointer";
    case E_ABORT: return "Operation aborted";
    case E_FAIL: return "Unspecified error";
    case E_UNEXPECTED: return "Catastrophic failure";
    case E_ACCESSDENIED: return "Access is denied";
    case E_OUTOFMEMORY: return "Not enough memory";
    case E_INVALIDARG: return "The parameter is incorrect";
    case DISP_E_UNKNOWNINTERFACE: return "Unknown interface";
    case DISP_E_MEMBERNOTFOUND: return "Member not found";
    case DISP_E_PARAMNOTFOUND: return "Parameter not found";
    case DISP_E_TYPEMISMATCH: return "Type mismatch";
    case DISP_E_UNKNOWNNAME: return "Unknown name";
    case DISP_E_NONAMEDARGS: return "No named arguments";
    case DISP_E_BADVARTYPE: return "Bad variable type";
    case DISP_E_EXCEPTION: return "Exception occurred";
    case DISP_E_OVERFLOW: return "Out of present range";
    case DISP_E_BADINDEX: return "Invalid index";
    case DISP_E_BADPARAMCOUNT: return "Invalid number of parameters";
    case DISP_E_PARAMNOTOPTIONAL: return "Parameter not optional";
    case TYPE_E_LIBNOTREGISTERED: return "Library not registered";
    case TYPE_E_ELEMENTNOTFOUND: return "Element not found";
    case CLASS_E_NOAGGREGATION: return "Class does not support aggregation";
    case CLASS_E_CLASSNOTAVAILABLE: return "ClassFactory cannot supply requested class";
    case REGDB_E_CLASSNOTREG: return "Class not registered";
    case REGDB_E_READREGDB: return "Could not read key from registry";
    case CO_E_CLASSSTRING: return "Invalid class string";
    case CO_E_DLLNOTFOUND: return "DLL for class not found";
    case CO_E_ERRORINDLL: return "Error in the DLL";
    default: return {};
  }
}

std::string ErrorText(HRESULT hr) {
  std::string_view text = ErrorMessage(hr);
  if (text.empty()) text = "Error";
  char code[16];
  std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
  std::string out = std::string(text) + " (" + code + ")";
  if ((hr == CO_E_DLLNOTFOUND || hr == CO_E_ERRORINDLL) && !t_loadError.empty()) out += ": " + t_loadError;
  return out;
}

std::size_t LoadedModuleCount() {
  std::lock_guard lock(g_mutex);
  return g_modules.size();
}

void RegisterBuiltinClass(REFCLSID clsid, BuiltinClassObjectFn get) {
  std::lock_guard lock(g_mutex);
  Builtins()[clsid] = get;
}

HRESULT ClsidFromProgIdOrString(std::string_view text, CLSID* clsid) {
  if (!clsid) return E_INVALIDARG;
  if (text.starts_with('{')) {
    auto g = GuidFromString(text);
    if (!g) return CO_E_CLASSSTRING;
    *clsid = *g;
    return S_OK;
  }
  std::u16string wide = Utf8ToUtf16(text);
  return CLSIDFromProgID(wide.c_str(), clsid);
}

}  // namespace ole

using namespace ole;

HRESULT CoInitialize(void*) { return S_OK; }
HRESULT CoInitializeEx(void*, DWORD) { return S_OK; }
void CoUninitialize() {}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void*, REFIID riid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (!(context & (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER))) return REGDB_E_CLASSNOTREG;
  BuiltinClassObjectFn builtin = nullptr;
  {
    std::lock_guard lock(g_mutex);
    auto it = Builtins().find(clsid);
    if (it != Builtins().end()) builtin = it->second;
  }
  if (builtin) return builtin(riid, object);

  std::string key = "CLSID\\" + GuidToString(clsid);
  if (!RegKeyExists(key)) return REGDB_E_CLASSNOTREG;
  auto path = RegGetString(key + "\\InprocServer32", "");
  if (!path || path->empty()) return REGDB_E_CLASSNOTREG;
  DllGetClassObjectFn get = nullptr;
  HRESULT hr = LoadModule(*path, &get);
  if (FAILED(hr)) return hr;
  return get(clsid, riid, object);
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  ComPtr<IClassFactory> factory;
  HRESULT hr = CoGetClassObject(clsid, context, nullptr, IID_IClassFactory, factory.PpvOut());
  if (FAILED(hr)) return hr;
  return factory->CreateInstance(outer, riid, object);
}

void CoFreeUnusedLibraries() {
  std::lock_guard lock(g_mutex);
  for (auto it = g_modules.begin(); it != g_modules.end();) {
    const LoadedModule& m = it->second;
    if (m.canUnloadNow && m.canUnloadNow() == S_OK) {
      ::dlclose(m.handle);
      it = g_modules.erase(it);
    } else {
      ++it;
    }
  }
}

HRESULT CLSIDFromProgID(LPCOLESTR progid, CLSID* clsid) {
  if (!progid || !clsid) return E_INVALIDARG;
  std::string name = Utf16ToUtf8(progid);
  if (name.empty()) return CO_E_CLASSSTRING;
  // A version-independent ProgID names its current version.
  for (int hops = 0; hops < 4; ++hops) {
    if (auto cur = RegGetString(name + "\\CurVer", ""); cur && !cur->empty() && *cur != name) {
      name = *cur;
      continue;
    }
    break;
  }
  auto text = RegGetString(name + "\\CLSID", "");
  if (!text) return CO_E_CLASSSTRING;
  auto g = GuidFromString(*text);
  if (!g) return CO_E_CLASSSTRING;
  *clsid = *g;
  return S_OK;
}

HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* progid) {
  if (!progid) return E_INVALIDARG;
  *progid = nullptr;
  auto name = RegGetString("CLSID\\" + GuidToString(clsid) + "\\ProgID", "");
  if (!name) return REGDB_E_CLASSNOTREG;
  std::u16string wide = Utf8ToUtf16(*name);
  auto* out = static_cast<LPOLESTR>(CoTaskMemAlloc((wide.size() + 1) * sizeof(OLECHAR)));
  if (!out) return E_OUTOFMEMORY;
  std::memcpy(out, wide.c_str(), (wide.size() + 1) * sizeof(OLECHAR));
  *progid = out;
  return S_OK;
}

void* CoTaskMemAlloc(std::size_t bytes) { return std::malloc(bytes ? bytes : 1); }
void CoTaskMemFree(void* p) { std::free(p); }
