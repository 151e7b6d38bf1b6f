// Creating objects through the registry, and the client site a control gets:
// an IOleClientSite whose IDispatch answers the ambient user mode. The host
// has no windows, so the site has nothing to show or lay out.
#include "cvole.h"
#include "ole/com.h"
#include "ole/object.h"
#include "ole/registry.h"
#include "olectl/ocidl.h"

namespace cvole {
namespace {

class ClientSite final : public ole::ComObject<IOleClientSite, IDispatch> {
 public:
  explicit ClientSite(bool userMode) : userMode_(userMode) {}

  HRESULT SaveObject() override { return S_OK; }
  HRESULT ShowObject() override { return S_OK; }
  HRESULT RequestNewObjectLayout() override { return S_OK; }

  HRESULT GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    if (info) *info = nullptr;
    return DISP_E_BADINDEX;
  }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT count, LCID, DISPID* ids) override {
    if (!ids && count) return E_POINTER;
    for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT Invoke(DISPID dispid, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                 UINT*) override {
    if (dispid != DISPID_AMBIENT_USERMODE || !(flags & DISPATCH_PROPERTYGET)) return DISP_E_MEMBERNOTFOUND;
    if (result) {
      VariantInit(result);
      result->vt = VT_BOOL;
      result->boolVal = userMode_ ? VARIANT_TRUE : VARIANT_FALSE;
    }
    return S_OK;
  }

 private:
  const bool userMode_;
};

}  // namespace

ComPtr<IUnknown> MakeClientSite(bool userMode) {
  ComPtr<ClientSite> site = ole::MakeObject<ClientSite>(userMode);
  return ComPtr<IUnknown>(static_cast<IOleClientSite*>(site.Get()));
}

namespace {

// Every lookup fails while the registry file cannot be read: where it is
// broken, for the message, or nothing when it can be read.
std::string RegistryReason() {
  const std::string why = ole::RegistryFileError();
  return why.empty() ? std::string() : " (the registry cannot be read: " + why + ")";
}

}  // namespace

ComPtr<IDispatch> CreateObject(const std::string& progidOrClsid, bool userMode) {
  const std::string quoted = "'" + progidOrClsid + "'";
  CLSID clsid{};
  HRESULT hr = ole::ClsidFromProgIdOrString(progidOrClsid, &clsid);
  if (FAILED(hr)) RaiseComError(hr, quoted + " is neither a registered ProgID nor a {CLSID}" + RegistryReason());

  ComPtr<IUnknown> object;
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, object.PpvOut());
  if (FAILED(hr)) {
    std::string context = "creating " + quoted;
    if (hr == CO_E_DLLNOTFOUND || hr == CO_E_ERRORINDLL) {
      const std::string why = ole::LastLoadError();
      if (!why.empty()) context += " (" + why + ")";
    }
    if (hr == REGDB_E_CLASSNOTREG || hr == CLASS_E_CLASSNOTAVAILABLE) context += RegistryReason();
    RaiseComError(hr, context);
  }

  // A control reads its container's ambient properties from the start, so
  // the site comes before the initialisation.
  ComPtr<IOleObject> control = object.As<IOleObject>();
  if (control) {
    ComPtr<IOleClientSite> site = MakeClientSite(userMode).As<IOleClientSite>();
    hr = control->SetClientSite(site.Get());
    if (FAILED(hr)) RaiseComError(hr, "giving " + quoted + " its client site");
  }
  if (ComPtr<IPersistStreamInit> persist = object.As<IPersistStreamInit>()) {
    hr = persist->InitNew();
    if (FAILED(hr)) {
      if (control) control->SetClientSite(nullptr);
      RaiseComError(hr, "initialising " + quoted);
    }
  }

  ComPtr<IDispatch> dispatch = object.As<IDispatch>();
  if (!dispatch) {
    if (control) control->SetClientSite(nullptr);
    RaiseComError(E_NOINTERFACE, quoted + " has no IDispatch");
  }
  return dispatch;
}

}  // namespace cvole
