#include "console/cvsrvadm.h"

#include <array>

#include "console/errors.h"
#include "ole/bstr.h"
#include "ole/com.h"
#include "ole/variant_convert.h"
#include "olectl/site.h"

namespace console {
namespace {

QString FromBstr(BSTR b) {
  const std::u16string_view v = ole::BstrView(b);
  return QString::fromUtf16(v.data(), static_cast<qsizetype>(v.size()));
}

CComVariant BstrArg(const QString& text) {
  return CComVariant(std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()), static_cast<std::size_t>(text.size())));
}

// Calls dispid with args in the caller's order and returns the result.
CComVariant Invoke(IDispatch* dispatch, DISPID dispid, WORD flags, std::initializer_list<CComVariant> args) {
  // DISPPARAMS lists arguments last first.
  std::array<VARIANTARG, 4> reversed{};
  UINT count = 0;
  for (auto it = std::rbegin(args); it != std::rend(args); ++it) reversed.at(count++) = *it;  // shallow: args own
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{reversed.data(), nullptr, count, 0};
  if (flags & DISPATCH_PROPERTYPUT) {
    params.rgdispidNamedArgs = &named;
    params.cNamedArgs = 1;
  }
  CComVariant result;
  EXCEPINFO info{};
  UINT argErr = 0;
  const HRESULT hr = dispatch->Invoke(dispid, IID_NULL, 0, flags, &params, &result, &info, &argErr);
  if (FAILED(hr)) RaiseInvokeError(hr, info);
  return result;
}

bool AsBool(CComVariant v) {
  if (FAILED(v.ChangeType(VT_BOOL))) throw EOleSysError(QString::fromStdString(ole::ErrorText(DISP_E_TYPEMISMATCH)), DISP_E_TYPEMISMATCH);
  return v.boolVal != VARIANT_FALSE;
}

}  // namespace

void RaiseInvokeError(HRESULT hr, EXCEPINFO& info) {
  if (hr == DISP_E_EXCEPTION) {
    if (info.pfnDeferredFillIn) info.pfnDeferredFillIn(&info);
    QString description = FromBstr(info.bstrDescription);
    const QString source = FromBstr(info.bstrSource);
    const WORD code = info.wCode;
    const SCODE scode = info.scode;
    ClearExcepInfo(&info);
    if (description.isEmpty()) description = QString::fromStdString(ole::ErrorText(scode ? scode : hr));
    throw EOleException(description, code, scode, source);
  }
  ClearExcepInfo(&info);
  throw EOleSysError(QString::fromStdString(ole::ErrorText(hr)), hr);
}

TCvSrvAdm::TCvSrvAdm(QWidget* parent, const QRect& geometry) : site_(new ole::ctl::OleControlSite(parent)) {
  site_->setObjectName(QStringLiteral("CvSrvAdm1"));
  site_->setGeometry(geometry);
  const HRESULT hr = site_->CreateControl(kClsid);
  if (FAILED(hr) || !site_->Dispatch()) {
    const std::string why = ole::ErrorText(FAILED(hr) ? hr : E_NOINTERFACE);
    delete site_;
    site_ = nullptr;
    throw EOleSysError(QString::fromStdString(why), FAILED(hr) ? hr : E_NOINTERFACE);
  }
  site_->resize(geometry.size());
}

IDispatch* TCvSrvAdm::Dispatch() const { return site_->Dispatch(); }

void TCvSrvAdm::SetFullName(const QString& name) {
  Invoke(Dispatch(), dispidFullName, DISPATCH_PROPERTYPUT, {BstrArg(name)});
}

QString TCvSrvAdm::ShortName() {
  CComVariant v = Invoke(Dispatch(), dispidShortName, DISPATCH_PROPERTYGET, {});
  if (v.vt != VT_BSTR && FAILED(v.ChangeType(VT_BSTR)))
    throw EOleSysError(QString::fromStdString(ole::ErrorText(DISP_E_TYPEMISMATCH)), DISP_E_TYPEMISMATCH);
  return FromBstr(v.bstrVal);
}

QString TCvSrvAdm::FullName() {
  CComVariant v = Invoke(Dispatch(), dispidFullName, DISPATCH_PROPERTYGET, {});
  if (v.vt != VT_BSTR && FAILED(v.ChangeType(VT_BSTR)))
    throw EOleSysError(QString::fromStdString(ole::ErrorText(DISP_E_TYPEMISMATCH)), DISP_E_TYPEMISMATCH);
  return FromBstr(v.bstrVal);
}

bool TCvSrvAdm::ExecuteProfile(const QString& qbtFileName) {
  return AsBool(Invoke(Dispatch(), dispidExecuteProfile, DISPATCH_METHOD, {BstrArg(qbtFileName)}));
}

bool TCvSrvAdm::LoadQRX(const QString& qrxName, const QString& parameters) {
  return AsBool(Invoke(Dispatch(), dispidLoadQRX, DISPATCH_METHOD, {BstrArg(qrxName), BstrArg(parameters)}));
}

bool TCvSrvAdm::UnloadQRX(const QString& qrxName) {
  return AsBool(Invoke(Dispatch(), dispidUnloadQRX, DISPATCH_METHOD, {BstrArg(qrxName)}));
}

void TCvSrvAdm::ShowProperties() {
  const HRESULT hr = site_->DoVerb(OLEIVERB_PROPERTIES);
  if (FAILED(hr)) throw EOleSysError(QString::fromStdString(ole::ErrorText(hr)), hr);
}

}  // namespace console
