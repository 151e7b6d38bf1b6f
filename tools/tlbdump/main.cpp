// tlbdump {GUID} [MAJOR.MINOR [LCID]]   a registered type library; LCID in
//                                       hex, by default 409, else neutral
// tlbdump FILE                   the library of a module or a serialized file
#include <cstdio>
#include <string>

#include "ole/bstr.h"
#include "ole/comptr.h"
#include "tlbdump/dump.h"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 4) {
    std::fprintf(stderr, "usage: tlbdump {GUID} [MAJOR.MINOR [LCID]] | tlbdump FILE\n");
    return 1;
  }
  std::string what = argv[1];
  ComPtr<ITypeLib> lib;
  HRESULT hr;
  if (what.starts_with('{')) {
    auto libid = GuidFromString(what);
    if (!libid) {
      std::fprintf(stderr, "tlbdump: %s is not a GUID\n", what.c_str());
      return 1;
    }
    unsigned major = 1, minor = 0, lcid = 0x409;
    if (argc >= 3 && std::sscanf(argv[2], "%u.%u", &major, &minor) != 2) {
      std::fprintf(stderr, "tlbdump: version must be MAJOR.MINOR\n");
      return 1;
    }
    if (argc == 4 && std::sscanf(argv[3], "%x", &lcid) != 1) {
      std::fprintf(stderr, "tlbdump: LCID must be hexadecimal\n");
      return 1;
    }
    hr = LoadRegTypeLib(*libid, static_cast<WORD>(major), static_cast<WORD>(minor), lcid, lib.ReleaseAndGetAddressOf());
  } else {
    std::u16string path = ole::Utf8ToUtf16(what);
    hr = LoadTypeLib(path.c_str(), lib.ReleaseAndGetAddressOf());
  }
  if (FAILED(hr)) {
    std::string why = ole::LastTypeLibError();
    std::fprintf(stderr, "tlbdump: cannot load %s: 0x%08X%s%s\n", what.c_str(), static_cast<unsigned>(hr),
                 why.empty() ? "" : ": ", why.c_str());
    return 2;
  }
  std::fputs(DumpTypeLib(lib.Get()).c_str(), stdout);
  return 0;
}
