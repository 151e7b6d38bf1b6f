#include "registration.h"

#include <algorithm>

#include "ids.h"
#include "ole/catreg.h"
#include "ole/com.h"
#include "ole/comptr.h"
#include "ole/registry.h"
#include "ole/server.h"
#include "resources.h"
#include "stringtable.h"

namespace cvsrva {
namespace {

constexpr LCID kCategoryLcid = 1033;

struct Category {
  CATID id;
  const char16_t* description;
};
constexpr Category kCategories[] = {
    {CATID_SafeForScripting, u"Controls that are safely scriptable"},
    {CATID_SafeForInitializing, u"Controls safely initializable from persistent data"},
};

ComPtr<ICatRegister> CategoryManager() {
  ComPtr<ICatRegister> cats;
  CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER, IID_ICatRegister, cats.PpvOut());
  return cats;
}

// Registers the category, and only when that succeeds the control as
// implementing it; a fresh manager for each step.
void RegisterCategory(const Category& c) {
  CATEGORYINFO info{c.id, kCategoryLcid, {}};
  std::u16string_view text(c.description);
  std::copy_n(text.begin(), std::min<std::size_t>(text.size(), 127), info.szDescription);
  {
    ComPtr<ICatRegister> cats = CategoryManager();
    if (!cats || FAILED(cats->RegisterCategories(1, &info))) return;
  }
  if (ComPtr<ICatRegister> cats = CategoryManager()) {
    CATID id = c.id;
    cats->RegisterClassImplCategories(CLSID_CvSrvAdm, 1, &id);
  }
}

}  // namespace

bool UpdateControlRegistry(bool registering) {
  ole::server::ClassInfo info;
  info.clsid = CLSID_CvSrvAdm;
  info.progid = kControlProgId;
  info.typeName = std::string(LoadString(IDS_CVSERVERADMIN));
  if (!registering) return ole::server::UnregisterStandardClass(info);

  if (!ole::server::RegisterStandardClass(info, "Apartment")) return false;
  std::string key = "CLSID\\" + GuidToString(CLSID_CvSrvAdm);
  std::string path = ole::server::Module::FilePath();
  bool ok = ole::RegSetString(key + "\\ToolboxBitmap32", "", path + ", " + std::to_string(IDB_CVSERVERADMIN)) ==
                ERROR_SUCCESS &&
            ole::RegSetString(key + "\\MiscStatus", "", "0") == ERROR_SUCCESS &&
            ole::RegSetString(key + "\\MiscStatus\\1", "", std::to_string(kMiscStatus)) == ERROR_SUCCESS &&
            ole::RegSetString(key + "\\Control", "", "") == ERROR_SUCCESS &&
            ole::RegSetString(key + "\\TypeLib", "", GuidToString(LIBID_CvSrvAdmLib)) == ERROR_SUCCESS &&
            ole::RegSetString(key + "\\Version", "", "1.3") == ERROR_SUCCESS;
  if (!ok) return false;
  for (const auto& c : kCategories) RegisterCategory(c);
  return true;
}

bool UpdatePageRegistry(bool registering) {
  ole::server::ClassInfo info;
  info.clsid = CLSID_CvServerAdminPropPage;
  info.progid = kPageProgId;
  info.typeName = std::string(LoadString(IDS_CVSERVERADMIN_PPG));
  if (!registering) return ole::server::UnregisterStandardClass(info);
  return ole::server::RegisterStandardClass(info, "Apartment");
}

HRESULT RegisterServer() {
  if (FAILED(ole::server::RegisterModuleTypeLib())) return SELFREG_E_TYPELIB;
  if (!ole::server::Module::Get().UpdateRegistryAll(true)) return SELFREG_E_CLASS;
  return S_OK;
}

HRESULT UnregisterServer() {
  if (FAILED(ole::server::UnregisterModuleTypeLib())) return SELFREG_E_TYPELIB;
  if (!ole::server::Module::Get().UpdateRegistryAll(false)) return SELFREG_E_CLASS;
  return S_OK;
}

}  // namespace cvsrva
