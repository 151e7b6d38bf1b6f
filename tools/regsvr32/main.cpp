// regsvr32 [/u] [/s] FILE
//
// Loads an in-process server module and calls its DllRegisterServer (or
// DllUnregisterServer with /u). Messages go to standard output (success) and
// standard error (failure); /s silences the success message. Exit status, as on
// Windows: 0 success, 1 bad arguments, 3 the module cannot be loaded, 4 the
// entry point is missing, 5 the entry point failed (with the file, line and
// reason when the registry file is malformed).
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "ole/com.h"
#include "ole/registry.h"
#include "regsvr32/resolve.h"

namespace {

enum Exit { kOk = 0, kUsage = 1, kLoad = 3, kEntry = 4, kFailed = 5 };

int Usage() {
  std::fprintf(stderr, "usage: regsvr32 [/u] [/s] FILE\n");
  return kUsage;
}

}  // namespace

int main(int argc, char** argv) {
  bool unregister = false, silent = false;
  std::string file;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a.size() == 2 && (a[0] == '/' || a[0] == '-')) {
      char o = static_cast<char>(a[1] | 0x20);
      if (o == 'u') {
        unregister = true;
        continue;
      }
      if (o == 's') {
        silent = true;
        continue;
      }
      return Usage();
    }
    if (!file.empty()) return Usage();
    file = a;
  }
  if (file.empty()) return Usage();

  const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
  auto path = ResolveModuleFile(file);
  if (!path) {
    std::fprintf(stderr, "The module \"%s\" failed to load.\nNo such file.\n", file.c_str());
    return kLoad;
  }
  void* module = ::dlopen(path->c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    std::fprintf(stderr, "The module \"%s\" failed to load.\n%s\n", file.c_str(), dlerror());
    return kLoad;
  }
  auto fn = reinterpret_cast<DllRegisterServerFn>(::dlsym(module, entry));
  if (!fn) {
    std::fprintf(stderr, "The module \"%s\" was loaded but the entry-point %s was not found.\n", file.c_str(),
                 entry);
    return kEntry;
  }
  CoInitialize(nullptr);
  HRESULT hr = fn();
  CoUninitialize();
  if (FAILED(hr)) {
    std::fprintf(stderr, "The module \"%s\" was loaded but the call to %s failed with error code 0x%08X.\n",
                 file.c_str(), entry, static_cast<unsigned>(hr));
    // The usual cause besides the module itself: a registry file that the
    // module's entries cannot be written into.
    if (const std::string why = ole::RegistryFileError(); !why.empty())
      std::fprintf(stderr, "The registry cannot be read: %s\n", why.c_str());
    return kFailed;
  }
  if (!silent) std::printf("%s in %s succeeded.\n", entry, file.c_str());
  return kOk;
}
