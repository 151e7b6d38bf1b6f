#include "olectl/site.h"

#include <QPaintEvent>
#include <QPainter>

#include "ole/com.h"
#include "ole/object.h"
#include "olectl/propexchange.h"

namespace ole::ctl {

// The COM face of the site: the client site, its ambient properties and the
// property change notifications. It outlives the widget only while a control
// still holds it; the widget then is gone and it answers as an empty site.
class OleControlSite::SiteObject final : public ComObject<IOleClientSite, IDispatch, IPropertyNotifySink> {
 public:
  explicit SiteObject(OleControlSite* owner) : owner_(owner) {}
  void Detach() { owner_ = nullptr; }

  HRESULT SaveObject() override { return S_OK; }
  HRESULT ShowObject() override { return S_OK; }
  HRESULT RequestNewObjectLayout() override {
    if (owner_) owner_->update();
    return S_OK;
  }

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
    for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT Invoke(DISPID dispid, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                 UINT*) override {
    if (!owner_ || !(flags & DISPATCH_PROPERTYGET)) return DISP_E_MEMBERNOTFOUND;
    CComVariant value;
    switch (dispid) {
      case DISPID_AMBIENT_USERMODE:
        if (!owner_->reportsUserMode_) return DISP_E_MEMBERNOTFOUND;
        value = CComVariant(owner_->userMode_);
        break;
      case DISPID_AMBIENT_BACKCOLOR:
        value = CComVariant(static_cast<LONG>(owner_->backColor_));
        break;
      default:
        return DISP_E_MEMBERNOTFOUND;
    }
    if (result) {
      VariantInit(result);
      value.Detach(result);
    }
    return S_OK;
  }

  HRESULT OnChanged(DISPID dispid) override {
    if (owner_ && owner_->propertyChanged) owner_->propertyChanged(dispid);
    return S_OK;
  }
  HRESULT OnRequestEdit(DISPID) override { return S_OK; }

 private:
  OleControlSite* owner_;
};

OleControlSite::OleControlSite(QWidget* parent) : QWidget(parent), site_(MakeObject<SiteObject>(this)) {}

OleControlSite::~OleControlSite() {
  DestroyControl();
  site_->Detach();
}

HRESULT OleControlSite::CreateControl(REFCLSID clsid, const QByteArray* state) {
  DestroyControl();
  ComPtr<IUnknown> control;
  HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, control.PpvOut());
  if (FAILED(hr)) return hr;
  ComPtr<IOleObject> ole = control.As<IOleObject>();
  ComPtr<IPersistStreamInit> persist = control.As<IPersistStreamInit>();
  if (!ole || !persist) return E_NOINTERFACE;
  ole->GetMiscStatus(DVASPECT_CONTENT, &misc_);
  if (FAILED(hr = ole->SetClientSite(site_.Get()))) return hr;
  if (state) {
    ComPtr<CMemoryStream> stream = MakeObject<CMemoryStream>(state->toStdString());
    hr = persist->Load(stream.Get());
  } else {
    hr = persist->InitNew();
  }
  if (FAILED(hr)) {
    ole->SetClientSite(nullptr);
    return hr;
  }
  control_ = control;
  ole_ = ole;
  dispatch_ = control.As<IDispatch>();
  view_ = control.As<IViewObject>();
  SnapToExtent();
  update();
  return S_OK;
}

void OleControlSite::DestroyControl() {
  if (ole_) ole_->SetClientSite(nullptr);
  view_.Reset();
  dispatch_.Reset();
  ole_.Reset();
  control_.Reset();
  misc_ = 0;
}

void OleControlSite::SetUserMode(bool userMode) {
  userMode_ = userMode;
  update();
}

void OleControlSite::SetAmbientBackColor(OLE_COLOR color) {
  backColor_ = color;
  update();
}

HRESULT OleControlSite::SaveState(QByteArray* out) {
  if (!out) return E_POINTER;
  ComPtr<IPersistStreamInit> persist = control_.As<IPersistStreamInit>();
  if (!persist) return E_UNEXPECTED;
  ComPtr<CMemoryStream> stream = MakeObject<CMemoryStream>();
  HRESULT hr = persist->Save(stream.Get(), TRUE);
  if (SUCCEEDED(hr)) *out = QByteArray::fromStdString(stream->Bytes());
  return hr;
}

HRESULT OleControlSite::LoadState(const QByteArray& state) {
  ComPtr<IPersistStreamInit> persist = control_.As<IPersistStreamInit>();
  if (!persist) return E_UNEXPECTED;
  ComPtr<CMemoryStream> stream = MakeObject<CMemoryStream>(state.toStdString());
  HRESULT hr = persist->Load(stream.Get());
  SnapToExtent();
  update();
  return hr;
}

bool OleControlSite::IsDirty() const {
  ComPtr<IPersistStreamInit> persist = control_.As<IPersistStreamInit>();
  return persist && persist->IsDirty() == S_OK;
}

HRESULT OleControlSite::DoVerb(LONG verb) {
  if (!ole_) return E_UNEXPECTED;
  ComPtr<IOleObject> keep = ole_;  // the verb's UI may run the event loop
  return keep->DoVerb(verb, site_.Get(), window());
}

bool OleControlSite::ControlVisible() const {
  return control_ && (!userMode_ || !(misc_ & OLEMISC_INVISIBLEATRUNTIME));
}

QSize OleControlSite::sizeHint() const {
  SIZEL e{0, 0};
  if (ole_ && SUCCEEDED(ole_->GetExtent(DVASPECT_CONTENT, &e))) return HimetricToPixels(e);
  return QWidget::sizeHint();
}

void OleControlSite::SnapToExtent() {
  if (!ole_ || snapping_) return;
  SIZEL e{0, 0};
  if (FAILED(ole_->GetExtent(DVASPECT_CONTENT, &e))) return;
  QSize px = HimetricToPixels(e);
  if (px == size()) return;
  snapping_ = true;
  resize(px);
  snapping_ = false;
}

void OleControlSite::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  if (!ole_ || snapping_) return;
  // Offer the new size; the control may refuse or replace it, and the site
  // follows whatever extent the control keeps.
  SIZEL wanted = PixelsToHimetric(size());
  ole_->SetExtent(DVASPECT_CONTENT, &wanted);
  SnapToExtent();
}

void OleControlSite::paintEvent(QPaintEvent* event) {
  if (!view_ || !ControlVisible()) return;
  QPainter p(this);
  RECTL bounds{0, 0, width(), height()};
  QRect r = event->rect();
  RECTL invalid{r.left(), r.top(), r.right() + 1, r.bottom() + 1};
  view_->Draw(DVASPECT_CONTENT, &p, &bounds, &invalid);
}

}  // namespace ole::ctl
