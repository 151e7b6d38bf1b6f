#include "olectl/proppage.h"

#include <QLayout>
#include <QLineEdit>
#include <QVBoxLayout>
#include <QVariant>
#include <cstring>
#include <memory>

#include "ole/bstr.h"
#include "ole/com.h"
#include "ole/variant_convert.h"

namespace ole::ctl {
namespace {

// Dynamic properties DDP_Text keeps on its edit: whether its textEdited signal
// is connected to the page, and whether the user changed it since the last
// load or save.
constexpr const char* kDdpConnected = "olectlDdpConnected";
constexpr const char* kDdpDirty = "olectlDdpDirty";

// An EXCEPINFO whose filling was deferred is completed before anyone reads it.
void FillDeferred(EXCEPINFO& info) {
  if (info.pfnDeferredFillIn) {
    auto fill = info.pfnDeferredFillIn;
    info.pfnDeferredFillIn = nullptr;
    fill(&info);
  }
}

HRESULT DispidOf(IDispatch* object, const char* property, DISPID* dispid) {
  std::u16string name = Utf8ToUtf16(property ? property : "");
  LPOLESTR names[] = {name.data()};
  return object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, dispid);
}

// Reads the property as text; false (and *text untouched) when it cannot be
// read or converted.
bool GetPropText(IDispatch* object, const char* property, QString* text) {
  DISPID dispid = DISPID_UNKNOWN;
  if (FAILED(DispidOf(object, property, &dispid))) return false;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  CComVariant result;
  EXCEPINFO info{};
  HRESULT hr = object->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none,
                              &result, &info, nullptr);
  ClearExcepInfo(&info);
  if (FAILED(hr)) return false;
  if (FAILED(VariantChangeType(&result, &result, 0, VT_BSTR))) return false;
  std::u16string_view view = BstrView(result.bstrVal);
  *text = QString::fromUtf16(view.data(), static_cast<qsizetype>(view.size()));
  return true;
}

// Writes the text to the property; on failure *info holds what the object
// raised (or is empty when it raised nothing).
HRESULT PutPropText(IDispatch* object, const char* property, const QString& text,
                    EXCEPINFO* info) {
  *info = EXCEPINFO{};
  DISPID dispid = DISPID_UNKNOWN;
  HRESULT hr = DispidOf(object, property, &dispid);
  if (FAILED(hr)) return hr;
  CComVariant value(std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()),
                                        static_cast<std::size_t>(text.size())));
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{&value, &named, 1, 1};
  hr = object->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &params,
                      nullptr, info, nullptr);
  if (hr == DISP_E_EXCEPTION) {
    FillDeferred(*info);
  } else {
    ClearExcepInfo(info);  // only an exception's description belongs to the caller
  }
  return hr;
}

}  // namespace

// ---- CDataExchange ----------------------------------------------------------

void CDataExchange::Fail(HRESULT hr, EXCEPINFO info) {
  if (failed_) {
    ClearExcepInfo(&info);
    return;
  }
  failed_ = true;
  hr_ = FAILED(hr) ? hr : E_FAIL;
  error_ = info;
}

EXCEPINFO CDataExchange::TakeError() {
  EXCEPINFO taken = error_;
  error_ = EXCEPINFO{};
  return taken;
}

// ---- DDP_ -------------------------------------------------------------------

void DDP_Text(CDataExchange& dx, QLineEdit* edit, const char* property) {
  if (!edit || dx.Failed()) return;
  COlePropertyPageBase& page = dx.Page();
  const auto& objects = page.Objects();
  if (!dx.IsSaving()) {
    if (!edit->property(kDdpConnected).toBool()) {
      // textEdited is the user's typing only; setText below does not raise it.
      QObject::connect(edit, &QLineEdit::textEdited, edit, [edit, &page] {
        edit->setProperty(kDdpDirty, true);
        page.SetModifiedFlag(true);
      });
      edit->setProperty(kDdpConnected, true);
    }
    QString text;
    if (!objects.empty() && GetPropText(objects.front().Get(), property, &text)) edit->setText(text);
    edit->setProperty(kDdpDirty, false);
    return;
  }
  if (!edit->property(kDdpDirty).toBool()) return;
  const QString text = edit->text();
  for (const ComPtr<IDispatch>& object : objects) {
    EXCEPINFO info{};
    HRESULT hr = PutPropText(object.Get(), property, text, &info);
    if (FAILED(hr)) {
      dx.Fail(hr, info);
      return;
    }
  }
  edit->setProperty(kDdpDirty, false);
}

void DDP_Text(CDataExchange& dx, QString& value, const char* property) {
  if (dx.Failed()) return;
  const auto& objects = dx.Page().Objects();
  if (!dx.IsSaving()) {
    QString text;
    if (!objects.empty() && GetPropText(objects.front().Get(), property, &text)) value = text;
    return;
  }
  for (const ComPtr<IDispatch>& object : objects) {
    EXCEPINFO info{};
    HRESULT hr = PutPropText(object.Get(), property, value, &info);
    if (FAILED(hr)) {
      dx.Fail(hr, info);
      return;
    }
  }
}

// ---- COlePropertyPageBase -----------------------------------------------------

COlePropertyPageBase::COlePropertyPageBase(QString caption) : caption_(std::move(caption)) {}

COlePropertyPageBase::~COlePropertyPageBase() { delete content_.data(); }

void COlePropertyPageBase::SetModifiedFlag(bool modified) {
  const bool becameModified = modified && !modified_;
  modified_ = modified;
  if (becameModified && site_) site_->OnStatusChange(PROPPAGESTATUS_DIRTY | PROPPAGESTATUS_VALIDATE);
}

HRESULT COlePropertyPageBase::PageSetPageSite(IPropertyPageSite* site) {
  site_ = site;
  return S_OK;
}

HRESULT COlePropertyPageBase::PageActivate(QWidget* parent) {
  if (!parent) return E_INVALIDARG;
  if (content_) PageDeactivate();
  QWidget* content = CreateContent(parent);
  if (!content) return E_FAIL;
  content_ = content;
  if (content->parentWidget() != parent) content->setParent(parent);
  QLayout* layout = parent->layout();
  if (!layout) {
    layout = new QVBoxLayout(parent);
    layout->setContentsMargins(0, 0, 0, 0);
  }
  layout->addWidget(content);
  modified_ = false;
  CDataExchange dx(*this, false);
  DoDataExchange(dx);
  OnInitDialog();
  content->show();
  return S_OK;
}

HRESULT COlePropertyPageBase::PageDeactivate() {
  delete content_.data();
  content_ = nullptr;
  return S_OK;
}

HRESULT COlePropertyPageBase::PageGetPageInfo(PROPPAGEINFO* info) {
  if (!info) return E_POINTER;
  *info = PROPPAGEINFO{};
  // A page of fixed size (a dialog template's) has no size hint: its size is
  // its minimum.
  const auto measure = [](const QWidget* content) { return content->sizeHint().expandedTo(content->minimumSize()); };
  QSize size;
  if (content_) {
    size = measure(content_);
  } else {
    // Built, measured and thrown away; Activate builds the page's own.
    QWidget scratch;
    if (QWidget* content = CreateContent(&scratch)) size = measure(content);
  }
  const std::size_t chars = static_cast<std::size_t>(caption_.size());
  auto* title = static_cast<LPOLESTR>(CoTaskMemAlloc((chars + 1) * sizeof(OLECHAR)));
  if (!title) return E_OUTOFMEMORY;
  std::memcpy(title, caption_.utf16(), chars * sizeof(OLECHAR));
  title[chars] = u'\0';
  info->pszTitle = title;
  info->width = size.isValid() ? size.width() : 0;
  info->height = size.isValid() ? size.height() : 0;
  return S_OK;
}

HRESULT COlePropertyPageBase::PageSetObjects(ULONG count, IUnknown** objects) {
  if (count && !objects) return E_POINTER;
  std::vector<ComPtr<IDispatch>> found;
  found.reserve(count);
  for (ULONG i = 0; i < count; ++i) {
    if (!objects[i]) return E_POINTER;
    ComPtr<IDispatch> dispatch;
    HRESULT hr = objects[i]->QueryInterface(IID_IDispatch, dispatch.PpvOut());
    if (FAILED(hr)) return hr;
    found.push_back(std::move(dispatch));
  }
  objects_ = std::move(found);
  if (content_ && !objects_.empty()) {
    // The page shows the new objects' values.
    modified_ = false;
    CDataExchange dx(*this, false);
    DoDataExchange(dx);
  }
  return S_OK;
}

HRESULT COlePropertyPageBase::PageApply(EXCEPINFO* error) {
  if (error) *error = EXCEPINFO{};
  if (!content_) return S_OK;  // nothing shown, nothing to write
  // Only what the user changed since the last Apply is written.
  if (!modified_) return S_OK;
  CDataExchange dx(*this, true);
  DoDataExchange(dx);
  if (dx.Failed()) {
    EXCEPINFO raised = dx.TakeError();
    if (error) {
      *error = raised;
    } else {
      ClearExcepInfo(&raised);
    }
    return dx.Result();
  }
  SetModifiedFlag(false);
  return S_OK;
}

}  // namespace ole::ctl
