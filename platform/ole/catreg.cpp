#include "ole/catreg.h"

#include <cstdio>

#include "ole/com.h"
#include "ole/factory.h"
#include "ole/object.h"
#include "ole/registry.h"

namespace ole {
namespace {

std::string LcidName(LCID lcid) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%x", static_cast<unsigned>(lcid));
  return buf;
}

class CatRegister final : public ComObject<ICatRegister> {
 public:
  HRESULT RegisterCategories(ULONG count, CATEGORYINFO* infos) override {
    if (count && !infos) return E_POINTER;
    for (ULONG i = 0; i < count; ++i) {
      const CATEGORYINFO& c = infos[i];
      std::size_t n = 0;
      while (n < 127 && c.szDescription[n]) ++n;
      std::string text = Utf16ToUtf8(std::u16string_view(c.szDescription, n));
      std::string key = "Component Categories\\" + GuidToString(c.catid);
      if (RegSetString(key, LcidName(c.lcid), text) != ERROR_SUCCESS) return E_FAIL;
    }
    return S_OK;
  }
  HRESULT UnRegisterCategories(ULONG count, CATID* catids) override {
    if (count && !catids) return E_POINTER;
    for (ULONG i = 0; i < count; ++i)
      RegDeleteTree(HKEY_CLASSES_ROOT, ("Component Categories\\" + GuidToString(catids[i])).c_str());
    return S_OK;
  }
  HRESULT RegisterClassImplCategories(REFCLSID clsid, ULONG count, CATID* catids) override {
    return Register(clsid, "Implemented Categories", count, catids);
  }
  HRESULT UnRegisterClassImplCategories(REFCLSID clsid, ULONG count, CATID* catids) override {
    return Unregister(clsid, "Implemented Categories", count, catids);
  }
  HRESULT RegisterClassReqCategories(REFCLSID clsid, ULONG count, CATID* catids) override {
    return Register(clsid, "Required Categories", count, catids);
  }
  HRESULT UnRegisterClassReqCategories(REFCLSID clsid, ULONG count, CATID* catids) override {
    return Unregister(clsid, "Required Categories", count, catids);
  }

 private:
  static HRESULT Register(REFCLSID clsid, const char* kind, ULONG count, CATID* catids) {
    if (count && !catids) return E_POINTER;
    std::string base = "CLSID\\" + GuidToString(clsid) + "\\" + kind + "\\";
    for (ULONG i = 0; i < count; ++i) {
      RegKey k;
      std::string path = base + GuidToString(catids[i]);
      if (RegCreateKeyEx(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, k.put(), nullptr) !=
          ERROR_SUCCESS)
        return E_FAIL;
    }
    return S_OK;
  }
  static HRESULT Unregister(REFCLSID clsid, const char* kind, ULONG count, CATID* catids) {
    if (count && !catids) return E_POINTER;
    std::string base = "CLSID\\" + GuidToString(clsid) + "\\" + kind;
    for (ULONG i = 0; i < count; ++i)
      RegDeleteTree(HKEY_CLASSES_ROOT, (base + "\\" + GuidToString(catids[i])).c_str());
    if (RegKeyExists(base) && RegSubkeys(base).empty()) RegDeleteTree(HKEY_CLASSES_ROOT, base.c_str());
    return S_OK;
  }
};

const bool g_registered = [] {
  RegisterBuiltinClass(CLSID_StdComponentCategoriesMgr, StaticClassObject<CatRegister>);
  return true;
}();

}  // namespace
}  // namespace ole
