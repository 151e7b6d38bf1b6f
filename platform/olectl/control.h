// The control base: what an automation control derives from. COleControl<T>
// gives the control its COM identity: IDispatch from T's dispatch table and a
// module lock. COleControlBase holds the behaviour, the overridables, and the
// control's other interfaces (IOleObject, IViewObject, IPersistStreamInit,
// IPersistPropertyBag, ISpecifyPropertyPages) as nested objects that share
// the control's reference count, so their method names never collide with
// the control's own.
#pragma once

#include <QColor>
#include <QRect>
#include <QString>
#include <functional>
#include <string>
#include <vector>

#include "ole/dispatch.h"
#include "ole/server.h"
#include "ole/typelib.h"
#include "olectl/convert.h"
#include "olectl/ocidl.h"
#include "olectl/propexchange.h"

class QPainter;
class QWidget;

namespace ole::ctl {

// A verb of the control's own verb table.
struct OleVerb {
  QString name;
  std::function<void(QWidget* parent)> handler;
};

class COleControlBase {
 public:
  COleControlBase();
  virtual ~COleControlBase();
  COleControlBase(const COleControlBase&) = delete;
  COleControlBase& operator=(const COleControlBase&) = delete;

  // ---- services for the control ----
  // The container's ambient user mode; TRUE when it does not report one.
  BOOL AmbientUserMode() const;
  // The container's ambient background colour; COLOR_WINDOW when it reports
  // none.
  OLE_COLOR AmbientBackColor() const;
  void SetModifiedFlag(bool modified = true) { modified_ = modified; }
  bool IsModified() const { return modified_; }
  // Tells the container that a bound property changed.
  void BoundPropertyChanged(DISPID dispid);
  void InvalidateControl();
  IOleClientSite* ClientSite() const { return site_.Get(); }
  SIZEL Extent() const { return extent_; }
  // Sets the initial size in pixels at the screen's resolution.
  void SetInitialSize(int cx, int cy);

  // Raises an automation exception: a code in the low 16 bits of sc (with no
  // facility) is reported as the 16-bit error code, anything else as the
  // SCODE. The source is the framework's (the module's name).
  [[noreturn]] void ThrowError(SCODE sc, const std::string& description, DWORD helpContext = 0) const;
  [[noreturn]] static void SetNotSupported();
  [[noreturn]] static void ThrowMemoryException();

  // ---- persistence helpers for DoPropExchange ----
  void ExchangeVersion(CPropExchange* px, DWORD version, bool convert = true);
  void ExchangeExtent(CPropExchange* px);
  void ExchangeStockProps(CPropExchange* px);

  // ---- overridables ----
  virtual void DoPropExchange(CPropExchange* px);  // extent and stock properties
  virtual void OnResetState();                     // DoPropExchange with defaults
  virtual void OnDraw(QPainter& p, const QRect& bounds, const QRect& invalid);
  virtual CLSID GetClassID() const = 0;
  // May refuse (FALSE) or replace the requested extent; the base accepts it.
  virtual BOOL OnSetExtent(SIZEL* size);
  virtual BOOL OnMapPropertyToPage(DISPID dispid, CLSID* page, BOOL* pageOptional);
  virtual std::vector<CLSID> GetPropPageIDs() const { return {}; }
  virtual QString GetUserTypeName() const { return {}; }
  virtual DWORD GetMiscStatus() const { return 0; }
  virtual std::vector<OleVerb> Verbs() { return {}; }
  // Shows the property frame with the control's pages.
  virtual void OnProperties(QWidget* parent);
  // Type information of the primary dispatch interface.
  virtual UINT TypeInfoCount() { return 0; }
  virtual HRESULT TypeLib(LCID lcid, ITypeLib** lib);

  // The primary dispatch interface (answered as IDispatch) and the event
  // interface.
  void SetInterfaceIds(const IID& primary, const IID& events) { primaryIid_ = primary, eventsIid_ = events; }
  const IID& PrimaryIid() const { return primaryIid_; }
  const IID& EventsIid() const { return eventsIid_; }

  // The nested interface answering riid, or null; no reference added.
  void* QueryControlInterface(REFIID riid);
  HRESULT TypeInfoGet(UINT index, LCID lcid, ITypeInfo** info);

 protected:
  // The control's IUnknown, for the property frame.
  virtual IUnknown* ControlUnknown() = 0;
  // The framework's source text of raised exceptions.
  virtual std::string ErrorSource() const { return {}; }

 private:
  struct Interfaces;  // the nested interface objects
  friend struct Interfaces;
  HRESULT Exchange(CPropExchange& px);
  bool Ambient(DISPID dispid, VARTYPE vt, CComVariant* out) const;
  HRESULT SetSite(IOleClientSite* site);
  HRESULT DoVerb(LONG verb, QWidget* parent);
  HRESULT SetExtentRequest(SIZEL* size);
  HRESULT Draw(QPainter* painter, const RECTL* bounds, const RECTL* invalid);
  HRESULT LoadStream(IStream* stream);
  HRESULT SaveStream(IStream* stream, BOOL clearDirty);
  HRESULT InitNew();
  HRESULT LoadBag(IPropertyBag* bag);
  HRESULT SaveBag(IPropertyBag* bag, BOOL clearDirty);
  HRESULT Pages(CAUUID* pages);
  HRESULT UserType(LPOLESTR* name);

  ComPtr<IOleClientSite> site_;
  SIZEL extent_{0, 0};
  bool modified_ = false;
  IID primaryIid_ = IID_IDispatch;
  IID eventsIid_ = GUID_NULL;
  Interfaces* interfaces_;  // owned
};

// A control class T: IDispatch from T::DispatchMap(), the framework's
// interfaces, and a module lock while the object lives.
template <class T>
class COleControl : public ole::DispatchObject<T>, public COleControlBase, private ole::server::ModuleLock {
 public:
  HRESULT GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = TypeInfoCount();
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override { return TypeInfoGet(index, lcid, info); }

 protected:
  COleControl() = default;
  IUnknown* ControlUnknown() override { return static_cast<IDispatch*>(this); }
  void* QueryExtra(REFIID riid) override {
    if (riid == PrimaryIid()) return static_cast<IDispatch*>(this);
    return QueryControlInterface(riid);
  }
  std::string ErrorSource() const override {
    std::string path = ole::server::Module::FilePath();
    std::string name = path.substr(path.find_last_of('/') + 1);
    return name.substr(0, name.find('.'));
  }
};

}  // namespace ole::ctl
