// CVSRVA.OCX: the module's classes, resources and exports.
#include "ctrl.h"
#include "registration.h"
#include "resources.h"
#include "stringtable.h"

namespace {

const bool g_resources = [] {
  cvsrva::AddModuleResources();
  return true;
}();

ole::server::ClassRegistrar<cvsrva::CCvServerAdminCtrl> g_control(cvsrva::CLSID_CvSrvAdm, cvsrva::kControlProgId,
                                                                   std::string(cvsrva::LoadString(cvsrva::IDS_CVSERVERADMIN)),
                                                                   cvsrva::UpdateControlRegistry);

}  // namespace

OLE_DEFINE_MODULE_EXPORTS()

OLE_EXPORT HRESULT DllRegisterServer() { return cvsrva::RegisterServer(); }
OLE_EXPORT HRESULT DllUnregisterServer() { return cvsrva::UnregisterServer(); }
