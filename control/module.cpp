// CVSRVA.OCX: the module's classes, resources and exports.
#include "browsepage.h"
#include "connections.h"
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
// The connection classes: creatable by their ProgIDs (the type name is the
// ProgID), registered and unregistered with the control.
ole::server::ClassRegistrar<cvsrva::CvConnections> g_connections(cvsrva::CLSID_CvConnections, cvsrva::kConnectionsProgId,
                                                                 cvsrva::kConnectionsProgId);
ole::server::ClassRegistrar<cvsrva::CvConnection> g_connection(cvsrva::CLSID_CvConnection, cvsrva::kConnectionProgId,
                                                               cvsrva::kConnectionProgId);
ole::server::ClassRegistrar<cvsrva::CCvServerAdminPropPage> g_page(
    cvsrva::CLSID_CvServerAdminPropPage, cvsrva::kPageProgId,
    std::string(cvsrva::LoadString(cvsrva::IDS_CVSERVERADMIN_PPG)), cvsrva::UpdatePageRegistry);

}  // namespace

OLE_DEFINE_MODULE_EXPORTS()

OLE_EXPORT HRESULT DllRegisterServer() { return cvsrva::RegisterServer(); }
OLE_EXPORT HRESULT DllUnregisterServer() { return cvsrva::UnregisterServer(); }
