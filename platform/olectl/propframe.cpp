// The property frame: a modal dialog holding a control's property pages.
#include <QDialog>
#include <QDialogButtonBox>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>
#include <memory>
#include <vector>

#include "ole/bstr.h"
#include "ole/com.h"
#include "olectl/proppage.h"

namespace ole::ctl {
namespace {

ErrorBoxFn& ErrorBox() {
  static ErrorBoxFn fn;
  return fn;
}

void ShowError(QWidget* parent, const QString& title, const QString& text) { ShowErrorBox(parent, title, text); }

// What the frame shows for a failed apply: the object's description, else the
// error's number (the exception's code when the object raised one).
QString ErrorText(HRESULT hr, const EXCEPINFO& info) {
  QString description = QString::fromUtf16(BstrView(info.bstrDescription).data(),
                                           static_cast<qsizetype>(SysStringLen(info.bstrDescription)));
  if (!description.isEmpty()) return description;
  HRESULT shown = hr;
  if (info.scode != 0) {
    shown = info.scode;
  } else if (info.wCode != 0) {
    shown = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, info.wCode);
  }
  return QString::asprintf("Error 0x%08X", static_cast<unsigned>(shown));
}

class PropertyFrame;

// The frame's side of its pages: a page reports a change of its state here.
class FrameSite final : public ComObject<IPropertyPageSite> {
 public:
  explicit FrameSite(PropertyFrame* frame) : frame_(frame) {}
  void Detach() { frame_ = nullptr; }
  HRESULT OnStatusChange(DWORD flags) override;

 private:
  PropertyFrame* frame_;
};

class PropertyFrame {
 public:
  PropertyFrame(QWidget* parent, const QString& caption)
      : caption_(caption), site_(MakeObject<FrameSite>(this)) {
    dialog_ = new QDialog(parent);
    // Over a stay-on-top owner the frame must stay on top as well, or the
    // owner would hide the frame that blocks it.
    if (parent && parent->window()->windowFlags().testFlag(Qt::WindowStaysOnTopHint))
      dialog_->setWindowFlag(Qt::WindowStaysOnTopHint, true);
    dialog_->setObjectName("OlePropertyFrame");
    dialog_->setWindowTitle(caption + " Properties");
    tabs_ = new QTabWidget(dialog_);
    tabs_->setObjectName("OlePropertyTabs");
    buttons_ = new QDialogButtonBox(
        QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Apply, dialog_);
    buttons_->button(QDialogButtonBox::Ok)->setObjectName("OK");
    buttons_->button(QDialogButtonBox::Cancel)->setObjectName("Cancel");
    apply_ = buttons_->button(QDialogButtonBox::Apply);
    apply_->setObjectName("Apply");
    apply_->setEnabled(false);
    auto* layout = new QVBoxLayout(dialog_);
    layout->addWidget(tabs_);
    layout->addWidget(buttons_);

    QObject::connect(buttons_, &QDialogButtonBox::accepted, dialog_, [this] {
      if (ApplyAll()) dialog_->accept();
    });
    QObject::connect(buttons_, &QDialogButtonBox::rejected, dialog_, &QDialog::reject);
    QObject::connect(apply_, &QPushButton::clicked, dialog_, [this] { ApplyAll(); });
  }

  ~PropertyFrame() {
    for (Page& page : pages_) {
      page.page->Deactivate();
      page.page->SetPageSite(nullptr);
      page.page->SetObjects(0, nullptr);
    }
    pages_.clear();
    site_->Detach();
    delete dialog_.data();
  }
  PropertyFrame(const PropertyFrame&) = delete;
  PropertyFrame& operator=(const PropertyFrame&) = delete;

  // Creates the page and gives it a tab; the failure when it cannot be.
  HRESULT AddPage(REFCLSID clsid, ULONG objectCount, IUnknown** objects) {
    ComPtr<IPropertyPage> page;
    HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyPage,
                                  page.PpvOut());
    if (FAILED(hr)) return hr;
    if (!page) return E_NOINTERFACE;
    hr = page->SetObjects(objectCount, objects);
    if (FAILED(hr)) return hr;
    hr = page->SetPageSite(site_.Get());
    if (FAILED(hr)) {
      page->SetObjects(0, nullptr);
      return hr;
    }
    auto* tab = new QWidget;
    hr = page->Activate(tab);
    PROPPAGEINFO info{};
    if (SUCCEEDED(hr)) hr = page->GetPageInfo(&info);
    if (FAILED(hr)) {
      page->Deactivate();
      page->SetPageSite(nullptr);
      page->SetObjects(0, nullptr);
      delete tab;
      return hr;
    }
    const QString title = info.pszTitle ? QString::fromUtf16(info.pszTitle) : QString();
    CoTaskMemFree(info.pszTitle);
    if (info.width > 0 && info.height > 0) tab->setMinimumSize(info.width, info.height);
    tabs_->addTab(tab, title);
    pages_.push_back(Page{std::move(page), tab});
    return S_OK;
  }

  bool Empty() const { return pages_.empty(); }
  void Exec() {
    UpdateApply();
    dialog_->exec();
  }

  // Apply is enabled while any page has changes to write.
  void UpdateApply() {
    if (!dialog_) return;
    bool dirty = false;
    for (const Page& page : pages_) dirty = dirty || page.page->IsPageDirty() == S_OK;
    apply_->setEnabled(dirty);
  }

 private:
  struct Page {
    ComPtr<IPropertyPage> page;
    QWidget* tab;
  };

  // Writes every modified page; at the first failure shows it, brings its page
  // to the front and answers false.
  bool ApplyAll() {
    bool ok = true;
    for (const Page& page : pages_) {
      if (page.page->IsPageDirty() != S_OK) continue;
      EXCEPINFO info{};
      HRESULT hr = page.page->Apply(&info);
      if (FAILED(hr)) {
        tabs_->setCurrentWidget(page.tab);
        QString text = ErrorText(hr, info);
        ClearExcepInfo(&info);
        ShowError(dialog_, caption_, text);
        ok = false;
        break;
      }
      ClearExcepInfo(&info);
    }
    UpdateApply();
    return ok;
  }

  QString caption_;
  ComPtr<FrameSite> site_;
  QPointer<QDialog> dialog_;  // gone early when its parent is destroyed during exec
  QTabWidget* tabs_;
  QDialogButtonBox* buttons_;
  QPushButton* apply_;
  std::vector<Page> pages_;
};

HRESULT FrameSite::OnStatusChange(DWORD flags) {
  if (frame_ && (flags & (PROPPAGESTATUS_DIRTY | PROPPAGESTATUS_VALIDATE))) frame_->UpdateApply();
  return S_OK;
}

}  // namespace

void SetErrorBox(ErrorBoxFn fn) { ErrorBox() = std::move(fn); }

void ShowErrorBox(QWidget* parent, const QString& title, const QString& text) {
  if (const ErrorBoxFn& fn = ErrorBox()) {
    fn(parent, title, text);
  } else {
    QMessageBox::warning(parent, title, text);
  }
}

HRESULT OleCreatePropertyFrame(QWidget* parent, const QString& caption, ULONG objectCount,
                               IUnknown** objects, ULONG pageCount, const CLSID* pages,
                               LCID /*lcid: pages read and write in the user's locale*/) {
  if ((objectCount && !objects) || (pageCount && !pages)) return E_POINTER;
  if (pageCount == 0) return E_INVALIDARG;
  PropertyFrame frame(parent, caption);
  HRESULT firstFailure = S_OK;
  for (ULONG i = 0; i < pageCount; ++i) {
    HRESULT hr = frame.AddPage(pages[i], objectCount, objects);
    if (FAILED(hr) && SUCCEEDED(firstFailure)) firstFailure = hr;
  }
  if (frame.Empty()) return FAILED(firstFailure) ? firstFailure : E_FAIL;
  frame.Exec();
  return S_OK;
}

}  // namespace ole::ctl
