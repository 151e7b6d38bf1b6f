// Property pages and the property frame.
//
// A page is an automation object of its module (IPropertyPage), created by
// its CLSID; its widgets are built by the derived class. Data exchange reads
// and writes the edited objects' properties by name through IDispatch.
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "ole/comptr.h"
#include "ole/object.h"
#include "ole/server.h"
#include "olectl/ocidl.h"

class QLineEdit;

namespace ole::ctl {

class COlePropertyPageBase;

// One direction of a page's data exchange: loading the widgets from the
// objects, or saving the widgets into the objects.
class CDataExchange {
 public:
  CDataExchange(COlePropertyPageBase& page, bool saving) : page_(page), saving_(saving) {}
  ~CDataExchange() { ClearExcepInfo(&error_); }
  CDataExchange(const CDataExchange&) = delete;
  CDataExchange& operator=(const CDataExchange&) = delete;
  bool IsSaving() const { return saving_; }
  COlePropertyPageBase& Page() const { return page_; }
  // The first failure of a save (the exception an object raised); saving
  // stops at it. Fail takes ownership of info's strings (a later failure's
  // are freed); TakeError hands the recorded ones to the caller.
  bool Failed() const { return failed_; }
  void Fail(HRESULT hr, EXCEPINFO info);
  HRESULT Result() const { return hr_; }
  EXCEPINFO TakeError();

 private:
  COlePropertyPageBase& page_;
  bool saving_;
  bool failed_ = false;
  HRESULT hr_ = S_OK;
  EXCEPINFO error_{};
};

// Exchanges the text of edit with the text property `property` of the page's
// objects: read from the first object, written to every object. User edits of
// the field mark the page modified. As in MFC, saving writes only a field the
// user changed since it was loaded or last saved.
void DDP_Text(CDataExchange& dx, QLineEdit* edit, const char* property);
// Exchanges a page's own copy of a text property: loading reads it from the
// first object, saving writes it to every object (a page is saved only while
// it is modified).
void DDP_Text(CDataExchange& dx, QString& value, const char* property);

// The behaviour of a property page, independent of its COM identity.
class COlePropertyPageBase {
 public:
  explicit COlePropertyPageBase(QString caption);
  virtual ~COlePropertyPageBase();
  COlePropertyPageBase(const COlePropertyPageBase&) = delete;
  COlePropertyPageBase& operator=(const COlePropertyPageBase&) = delete;

  const QString& Caption() const { return caption_; }
  // The objects being edited, as their IDispatch.
  const std::vector<ComPtr<IDispatch>>& Objects() const { return objects_; }
  bool IsModified() const { return modified_; }
  // Marks the page modified (the frame enables Apply) or clean.
  void SetModifiedFlag(bool modified = true);
  QWidget* Content() const { return content_.data(); }

  // IPropertyPage, implemented here and forwarded by COlePropertyPage.
  HRESULT PageSetPageSite(IPropertyPageSite* site);
  HRESULT PageActivate(QWidget* parent);
  HRESULT PageDeactivate();
  // Before Activate, the size is that of widgets built for measuring only.
  HRESULT PageGetPageInfo(PROPPAGEINFO* info);
  HRESULT PageSetObjects(ULONG count, IUnknown** objects);
  HRESULT PageIsPageDirty() { return modified_ ? S_OK : S_FALSE; }
  HRESULT PageApply(EXCEPINFO* error);

 protected:
  // Builds the page's widgets inside parent and returns the top one.
  virtual QWidget* CreateContent(QWidget* parent) = 0;
  // Called once the widgets exist and the objects' values are loaded.
  virtual void OnInitDialog() {}
  // The DDP_ calls of the page, run for loading and for saving.
  virtual void DoDataExchange(CDataExchange& dx) = 0;

 private:
  QString caption_;
  std::vector<ComPtr<IDispatch>> objects_;
  ComPtr<IPropertyPageSite> site_;
  QPointer<QWidget> content_;  // owned by the frame's tab while active
  bool modified_ = false;
};

// A creatable property page class T (register it with
// ole::server::ClassRegistrar<T>).
template <class T>
class COlePropertyPage : public ole::ComObject<IPropertyPage>,
                         public COlePropertyPageBase,
                         private ole::server::ModuleLock {
 public:
  explicit COlePropertyPage(QString caption) : COlePropertyPageBase(std::move(caption)) {}
  HRESULT SetPageSite(IPropertyPageSite* site) override { return PageSetPageSite(site); }
  HRESULT Activate(QWidget* parent) override { return PageActivate(parent); }
  HRESULT Deactivate() override { return PageDeactivate(); }
  HRESULT GetPageInfo(PROPPAGEINFO* info) override { return PageGetPageInfo(info); }
  HRESULT SetObjects(ULONG count, IUnknown** objects) override { return PageSetObjects(count, objects); }
  HRESULT IsPageDirty() override { return PageIsPageDirty(); }
  HRESULT Apply(EXCEPINFO* error) override { return PageApply(error); }
};

// Shows the property frame, modal: a dialog titled "<caption> Properties" with
// one tab per page (created by CLSID), and OK, Cancel and Apply. Apply is
// enabled while a page is modified. Applying writes every modified page; when
// an object raises an exception its description is shown and the frame stays
// open. Returns when the frame closes.
HRESULT OleCreatePropertyFrame(QWidget* parent, const QString& caption, ULONG objectCount,
                               IUnknown** objects, ULONG pageCount, const CLSID* pages, LCID lcid);

// How the frame reports a failed apply; tests replace it. The default is a
// warning message box.
using ErrorBoxFn = std::function<void(QWidget* parent, const QString& title, const QString& text)>;
void SetErrorBox(ErrorBoxFn fn);
// Shows an error as the frame does, through the box SetErrorBox installed;
// for pages that report a failure of their own.
void ShowErrorBox(QWidget* parent, const QString& title, const QString& text);

}  // namespace ole::ctl
