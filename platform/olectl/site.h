// The container's side: a widget that hosts one control created by its CLSID.
// It is the control's client site (user or design mode, background colour),
// keeps its own size equal to the control's extent, paints the control while
// it is visible, and keeps the control's state as bytes for a host document.
#pragma once

#include <QByteArray>
#include <QWidget>
#include <functional>

#include "ole/comptr.h"
#include "olectl/convert.h"
#include "olectl/ocidl.h"

namespace ole::ctl {

class OleControlSite : public QWidget {
 public:
  explicit OleControlSite(QWidget* parent = nullptr);
  ~OleControlSite() override;

  // Creates the control with CoCreateInstance, becomes its site and
  // initialises it anew, or from a saved state when one is given. Fails with
  // the HRESULT of the step that failed (REGDB_E_CLASSNOTREG for a control
  // that is not registered); no control is hosted then.
  HRESULT CreateControl(REFCLSID clsid, const QByteArray* state = nullptr);
  void DestroyControl();
  bool HasControl() const { return bool(control_); }
  // The control's dispatch interface (no reference added), null without one.
  IDispatch* Dispatch() const { return dispatch_.Get(); }
  IUnknown* Control() const { return control_.Get(); }
  DWORD MiscStatus() const { return misc_; }

  // Ambient properties the site reports.
  void SetUserMode(bool userMode);
  bool UserMode() const { return userMode_; }
  // Whether the site answers the ambient user mode at all.
  void SetReportsUserMode(bool reports) { reportsUserMode_ = reports; }
  void SetAmbientBackColor(OLE_COLOR color);
  OLE_COLOR AmbientBackColor() const { return backColor_; }

  // The control's persisted state (its IPersistStreamInit bytes).
  HRESULT SaveState(QByteArray* out);
  HRESULT LoadState(const QByteArray& state);
  bool IsDirty() const;

  // Runs a verb of the control (OLEIVERB_PROPERTIES: the property frame);
  // returns when the verb's UI closes.
  HRESULT DoVerb(LONG verb);

  // Whether the control is drawn: in design mode, or at run time unless it is
  // invisible at run time.
  bool ControlVisible() const;
  QSize sizeHint() const override;

  // Called when the control reports a bound property change.
  std::function<void(DISPID)> propertyChanged;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  class SiteObject;
  friend class SiteObject;
  void SnapToExtent();

  ComPtr<SiteObject> site_;
  ComPtr<IUnknown> control_;
  ComPtr<IDispatch> dispatch_;
  ComPtr<IOleObject> ole_;
  ComPtr<IViewObject> view_;
  DWORD misc_ = 0;
  bool userMode_ = true;
  bool reportsUserMode_ = true;
  OLE_COLOR backColor_ = 0x80000000u | COLOR_BTNFACE;
  bool snapping_ = false;
};

}  // namespace ole::ctl
