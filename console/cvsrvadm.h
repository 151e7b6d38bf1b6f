// The console's wrapper of the administration control CVSRVA, as a type
// library import would generate it: it hosts one instance in a control site
// and calls the members the console uses by their dispids. A dispatch
// exception comes back as EOleException, any other failure as EOleSysError.
#pragma once

#include <QRect>
#include <QString>

#include "console/apache.h"
#include "ole/guid.h"
#include "ole/interfaces.h"

class QWidget;

namespace ole::ctl {
class OleControlSite;
}

namespace console {

class TCvSrvAdm final : public ServerAdmin {
 public:
  static constexpr CLSID kClsid = MakeGuid("{EC747AF1-8EF6-11D0-B375-0000E20315E2}");
  enum Dispid : DISPID {
    dispidFullName = 1,
    dispidShortName = 5,
    dispidExecuteProfile = 10,
    dispidLoadQRX = 11,
    dispidUnloadQRX = 12,
  };

  // Creates the control by its class identifier in a site at geometry on
  // parent (named "CvSrvAdm1"); throws EOleSysError when it cannot.
  TCvSrvAdm(QWidget* parent, const QRect& geometry);
  TCvSrvAdm(const TCvSrvAdm&) = delete;
  TCvSrvAdm& operator=(const TCvSrvAdm&) = delete;

  void SetFullName(const QString& name) override;
  QString ShortName();
  // The name the control is bound by; empty while it is bound to none.
  QString FullName();
  bool ExecuteProfile(const QString& qbtFileName) override;
  bool LoadQRX(const QString& qrxName, const QString& parameters) override;
  bool UnloadQRX(const QString& qrxName) override;
  // The properties verb: shows the control's property page and returns when
  // it closes.
  void ShowProperties();

  ole::ctl::OleControlSite* Site() const { return site_; }

 private:
  IDispatch* Dispatch() const;

  ole::ctl::OleControlSite* site_;  // owned by its parent widget
};

// Throws the exception for a failed IDispatch::Invoke; takes the strings of
// info.
[[noreturn]] void RaiseInvokeError(HRESULT hr, EXCEPINFO& info);

}  // namespace console
