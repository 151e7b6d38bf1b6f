#include "olectl/control.h"

#include <QPainter>
#include <cstring>

#include "ole/bstr.h"
#include "ole/com.h"
#include "ole/variant_convert.h"
#include "olectl/proppage.h"

namespace ole::ctl {

// The control's interfaces besides IDispatch. Each forwards IUnknown to the
// control, so they live and die with it.
struct COleControlBase::Interfaces {
  template <class I>
  struct Part : I {
    explicit Part(COleControlBase* c) : ctl(c) {}
    HRESULT QueryInterface(REFIID riid, void** out) override { return ctl->ControlUnknown()->QueryInterface(riid, out); }
    ULONG AddRef() override { return ctl->ControlUnknown()->AddRef(); }
    ULONG Release() override { return ctl->ControlUnknown()->Release(); }
    COleControlBase* ctl;
  };

  struct OleObject final : Part<IOleObject> {
    using Part::Part;
    HRESULT SetClientSite(IOleClientSite* site) override { return ctl->SetSite(site); }
    HRESULT GetClientSite(IOleClientSite** site) override {
      if (!site) return E_POINTER;
      return ctl->site_.CopyTo(site);
    }
    HRESULT Close(DWORD) override { return S_OK; }
    HRESULT DoVerb(LONG verb, IOleClientSite*, QWidget* parent) override { return ctl->DoVerb(verb, parent); }
    HRESULT GetUserClassID(CLSID* clsid) override {
      if (!clsid) return E_POINTER;
      *clsid = ctl->GetClassID();
      return S_OK;
    }
    HRESULT GetUserType(DWORD, LPOLESTR* name) override { return ctl->UserType(name); }
    HRESULT SetExtent(DWORD aspect, SIZEL* size) override {
      return aspect == DVASPECT_CONTENT ? ctl->SetExtentRequest(size) : E_INVALIDARG;
    }
    HRESULT GetExtent(DWORD aspect, SIZEL* size) override {
      if (!size) return E_POINTER;
      if (aspect != DVASPECT_CONTENT) return E_INVALIDARG;
      *size = ctl->extent_;
      return S_OK;
    }
    HRESULT GetMiscStatus(DWORD, DWORD* status) override {
      if (!status) return E_POINTER;
      *status = ctl->GetMiscStatus();
      return S_OK;
    }
  };

  struct ViewObject final : Part<IViewObject> {
    using Part::Part;
    HRESULT Draw(DWORD aspect, QPainter* p, const RECTL* bounds, const RECTL* invalid) override {
      return aspect == DVASPECT_CONTENT ? ctl->Draw(p, bounds, invalid) : E_INVALIDARG;
    }
  };

  struct PersistStream final : Part<IPersistStreamInit> {
    using Part::Part;
    HRESULT GetClassID(CLSID* clsid) override {
      if (!clsid) return E_POINTER;
      *clsid = ctl->GetClassID();
      return S_OK;
    }
    HRESULT IsDirty() override { return ctl->modified_ ? S_OK : S_FALSE; }
    HRESULT Load(IStream* s) override { return ctl->LoadStream(s); }
    HRESULT Save(IStream* s, BOOL clearDirty) override { return ctl->SaveStream(s, clearDirty); }
    HRESULT InitNew() override { return ctl->InitNew(); }
  };

  struct PersistBag final : Part<IPersistPropertyBag> {
    using Part::Part;
    HRESULT GetClassID(CLSID* clsid) override {
      if (!clsid) return E_POINTER;
      *clsid = ctl->GetClassID();
      return S_OK;
    }
    HRESULT InitNew() override { return ctl->InitNew(); }
    HRESULT Load(IPropertyBag* bag, void*) override { return ctl->LoadBag(bag); }
    HRESULT Save(IPropertyBag* bag, BOOL clearDirty, BOOL) override { return ctl->SaveBag(bag, clearDirty); }
  };

  struct SpecifyPages final : Part<ISpecifyPropertyPages> {
    using Part::Part;
    HRESULT GetPages(CAUUID* pages) override { return ctl->Pages(pages); }
  };

  explicit Interfaces(COleControlBase* c) : oleObject(c), view(c), stream(c), bag(c), pages(c) {}
  OleObject oleObject;
  ViewObject view;
  PersistStream stream;
  PersistBag bag;
  SpecifyPages pages;
};

COleControlBase::COleControlBase() : interfaces_(new Interfaces(this)) { SetInitialSize(100, 50); }

COleControlBase::~COleControlBase() { delete interfaces_; }

void* COleControlBase::QueryControlInterface(REFIID riid) {
  if (riid == IID_IOleObject) return static_cast<IOleObject*>(&interfaces_->oleObject);
  if (riid == IID_IViewObject) return static_cast<IViewObject*>(&interfaces_->view);
  if (riid == IID_IPersistStreamInit) return static_cast<IPersistStreamInit*>(&interfaces_->stream);
  if (riid == IID_IPersistPropertyBag) return static_cast<IPersistPropertyBag*>(&interfaces_->bag);
  if (riid == IID_ISpecifyPropertyPages) return static_cast<ISpecifyPropertyPages*>(&interfaces_->pages);
  return nullptr;
}

// ---- ambient properties and notifications ------------------------------------

bool COleControlBase::Ambient(DISPID dispid, VARTYPE vt, CComVariant* out) const {
  if (!site_) return false;
  ComPtr<IDispatch> ambient = site_.As<IDispatch>();
  if (!ambient) return false;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  CComVariant value;
  if (FAILED(ambient->Invoke(dispid, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &value, nullptr, nullptr)))
    return false;
  return SUCCEEDED(VariantChangeType(out, &value, 0, vt));
}

BOOL COleControlBase::AmbientUserMode() const {
  CComVariant v;
  return Ambient(DISPID_AMBIENT_USERMODE, VT_BOOL, &v) ? (v.boolVal != VARIANT_FALSE) : TRUE;
}

OLE_COLOR COleControlBase::AmbientBackColor() const {
  CComVariant v;
  return Ambient(DISPID_AMBIENT_BACKCOLOR, VT_I4, &v) ? static_cast<OLE_COLOR>(v.lVal)
                                                       : (0x80000000u | COLOR_WINDOW);
}

void COleControlBase::BoundPropertyChanged(DISPID dispid) {
  if (!site_) return;
  if (auto sink = site_.As<IPropertyNotifySink>()) sink->OnChanged(dispid);
}

void COleControlBase::InvalidateControl() {
  if (site_) site_->RequestNewObjectLayout();
}

void COleControlBase::SetInitialSize(int cx, int cy) { extent_ = PixelsToHimetric(QSize(cx, cy)); }

// ---- exceptions ----------------------------------------------------------------

void COleControlBase::ThrowError(SCODE sc, const std::string& description, DWORD helpContext) const {
  auto ex = (static_cast<std::uint32_t>(sc) & 0xFFFF0000u) == 0
                ? DispatchException::FromCode(static_cast<WORD>(sc), description, {}, helpContext)
                : DispatchException::FromScode(sc, description, {}, helpContext);
  ex.source = ErrorSource();
  throw ex;
}

void COleControlBase::SetNotSupported() { throw DispatchException::FromScode(CTL_E_SETNOTSUPPORTED); }

void COleControlBase::ThrowMemoryException() { throw std::bad_alloc(); }

// ---- persistence -----------------------------------------------------------------

void COleControlBase::ExchangeVersion(CPropExchange* px, DWORD version, bool convert) {
  DWORD v = version;
  px->ExchangeVersion(v, version, convert);
}

void COleControlBase::ExchangeExtent(CPropExchange* px) {
  SIZEL e = extent_;
  PX_Long(px, "_ExtentX", e.cx, extent_.cx);
  PX_Long(px, "_ExtentY", e.cy, extent_.cy);
  if (px->IsLoading() && px->Ok() && e.cx >= 0 && e.cy >= 0) extent_ = e;
}

void COleControlBase::ExchangeStockProps(CPropExchange* px) {
  LONG mask = 0;  // this framework has no stock properties
  // Data naming stock properties cannot be read past: their values follow.
  if (PX_Long(px, "_StockProps", mask, 0) && px->IsLoading() && mask != 0) px->Reject();
}

void COleControlBase::DoPropExchange(CPropExchange* px) {
  ExchangeExtent(px);
  ExchangeStockProps(px);
}

void COleControlBase::OnResetState() {
  CResetPropExchange reset;
  DoPropExchange(&reset);
}

HRESULT COleControlBase::Exchange(CPropExchange& px) {
  try {
    DoPropExchange(&px);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::exception&) {
    return E_FAIL;
  }
  return px.Ok() ? S_OK : STG_E_READFAULT;
}

HRESULT COleControlBase::LoadStream(IStream* stream) {
  if (!stream) return E_POINTER;
  std::string bytes;
  char buf[4096];
  while (true) {
    ULONG got = 0;
    HRESULT hr = stream->Read(buf, sizeof buf, &got);
    if (FAILED(hr)) return hr;
    bytes.append(buf, got);
    if (bytes.size() > kMaxStreamBytes) return STG_E_READFAULT;
    if (got < sizeof buf) break;
  }
  auto px = CBlobPropExchange::Loading(std::move(bytes));
  HRESULT hr = Exchange(px);
  if (SUCCEEDED(hr)) modified_ = false;
  return hr;
}

HRESULT COleControlBase::SaveStream(IStream* stream, BOOL clearDirty) {
  if (!stream) return E_POINTER;
  auto px = CBlobPropExchange::Saving();
  HRESULT hr = Exchange(px);
  if (FAILED(hr)) return hr;
  ULONG written = 0;
  hr = stream->Write(px.Bytes().data(), static_cast<ULONG>(px.Bytes().size()), &written);
  if (FAILED(hr)) return hr;
  if (written != px.Bytes().size()) return STG_E_WRITEFAULT;
  if (clearDirty) modified_ = false;
  return S_OK;
}

HRESULT COleControlBase::InitNew() {
  try {
    OnResetState();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::exception&) {
    return E_FAIL;
  }
  modified_ = false;
  return S_OK;
}

HRESULT COleControlBase::LoadBag(IPropertyBag* bag) {
  if (!bag) return E_POINTER;
  CPropbagPropExchange px(bag, true);
  HRESULT hr = Exchange(px);
  if (SUCCEEDED(hr)) modified_ = false;
  return hr;
}

HRESULT COleControlBase::SaveBag(IPropertyBag* bag, BOOL clearDirty) {
  if (!bag) return E_POINTER;
  CPropbagPropExchange px(bag, false);
  HRESULT hr = Exchange(px);
  if (SUCCEEDED(hr) && clearDirty) modified_ = false;
  return hr;
}

// ---- site, extent, drawing, verbs -----------------------------------------------

HRESULT COleControlBase::SetSite(IOleClientSite* site) {
  site_ = site;
  return S_OK;
}

BOOL COleControlBase::OnSetExtent(SIZEL*) { return TRUE; }

HRESULT COleControlBase::SetExtentRequest(SIZEL* size) {
  if (!size) return E_POINTER;
  SIZEL wanted = *size;
  if (wanted.cx < 0 || wanted.cy < 0) return E_INVALIDARG;
  if (!OnSetExtent(&wanted)) return E_FAIL;
  if (!(wanted == extent_)) {
    extent_ = wanted;
    modified_ = true;
  }
  return S_OK;
}

void COleControlBase::OnDraw(QPainter& p, const QRect& bounds, const QRect&) {
  QColor back;
  if (!TranslateColor(AmbientBackColor(), &back)) back = Qt::white;
  FillSolidRect(p, bounds, back);
}

HRESULT COleControlBase::Draw(QPainter* painter, const RECTL* bounds, const RECTL* invalid) {
  if (!painter || !bounds) return E_INVALIDARG;
  QRect b(QPoint(bounds->left, bounds->top), QPoint(bounds->right - 1, bounds->bottom - 1));
  QRect inv = invalid ? QRect(QPoint(invalid->left, invalid->top), QPoint(invalid->right - 1, invalid->bottom - 1)) : b;
  try {
    painter->save();
    OnDraw(*painter, b, inv);
    painter->restore();
  } catch (const std::exception&) {
    painter->restore();
    return E_FAIL;
  }
  return S_OK;
}

BOOL COleControlBase::OnMapPropertyToPage(DISPID, CLSID*, BOOL*) { return FALSE; }

void COleControlBase::OnProperties(QWidget* parent) {
  std::vector<CLSID> pages = GetPropPageIDs();
  IUnknown* self = ControlUnknown();
  OleCreatePropertyFrame(parent, GetUserTypeName(), 1, &self, static_cast<ULONG>(pages.size()), pages.data(), 0);
}

HRESULT COleControlBase::DoVerb(LONG verb, QWidget* parent) {
  try {
    if (verb == OLEIVERB_PROPERTIES) {
      OnProperties(parent);
      return S_OK;
    }
    std::vector<OleVerb> verbs = Verbs();
    if (verb >= 0) {
      if (static_cast<std::size_t>(verb) >= verbs.size()) return verbs.empty() ? OLEOBJ_E_NOVERBS : OLEOBJ_S_INVALIDVERB;
      verbs[static_cast<std::size_t>(verb)].handler(parent);
      return S_OK;
    }
    return verb == OLEIVERB_SHOW ? S_OK : E_NOTIMPL;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::exception&) {
    return E_OLEVERB_FAILED;
  }
}

HRESULT COleControlBase::UserType(LPOLESTR* name) {
  if (!name) return E_POINTER;
  std::u16string text = GetUserTypeName().toStdU16String();
  auto* out = static_cast<LPOLESTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(OLECHAR)));
  if (!out) return E_OUTOFMEMORY;
  std::memcpy(out, text.c_str(), (text.size() + 1) * sizeof(OLECHAR));
  *name = out;
  return S_OK;
}

HRESULT COleControlBase::Pages(CAUUID* pages) {
  if (!pages) return E_POINTER;
  std::vector<CLSID> ids = GetPropPageIDs();
  pages->cElems = static_cast<ULONG>(ids.size());
  pages->pElems = nullptr;
  if (ids.empty()) return S_OK;
  pages->pElems = static_cast<GUID*>(CoTaskMemAlloc(ids.size() * sizeof(GUID)));
  if (!pages->pElems) return E_OUTOFMEMORY;
  std::memcpy(pages->pElems, ids.data(), ids.size() * sizeof(GUID));
  return S_OK;
}

// ---- type information -------------------------------------------------------------

HRESULT COleControlBase::TypeLib(LCID, ITypeLib** lib) {
  if (lib) *lib = nullptr;
  return E_NOTIMPL;
}

HRESULT COleControlBase::TypeInfoGet(UINT index, LCID lcid, ITypeInfo** info) {
  if (!info) return E_POINTER;
  *info = nullptr;
  if (index != 0 || TypeInfoCount() == 0) return DISP_E_BADINDEX;
  ComPtr<ITypeLib> lib;
  HRESULT hr = TypeLib(lcid, lib.ReleaseAndGetAddressOf());
  if (FAILED(hr)) return hr;
  return lib->GetTypeInfoOfGuid(primaryIid_, info);
}

}  // namespace ole::ctl
