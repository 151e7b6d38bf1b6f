// A small control built on the framework for its tests: a caption and a
// count that persist (the count since version 1.2), a read-only property
// that reports the ambient user mode, a fixed 28 x 28 pixel size, and the
// design-time drawing of an invisible-at-run-time control.
#pragma once

#include <QImage>
#include <QLineEdit>
#include <QPainter>
#include <QVBoxLayout>

#include "ole/com.h"
#include "ole/factory.h"
#include "olectl/control.h"
#include "olectl/proppage.h"

inline constexpr CLSID CLSID_Sample = MakeGuid("{5A3E0C11-7B2D-4C8E-9F01-23456789ABC1}");
inline constexpr IID DIID_DSample = MakeGuid("{5A3E0C11-7B2D-4C8E-9F01-23456789ABC2}");
inline constexpr CLSID CLSID_SamplePage = MakeGuid("{5A3E0C11-7B2D-4C8E-9F01-23456789ABC4}");
inline constexpr DWORD kSampleVersion = 0x00010002;
inline constexpr LONG kDefaultCount = 5;

class SampleCtrl : public ole::ctl::COleControl<SampleCtrl> {
 public:
  SampleCtrl() {
    SetInterfaceIds(DIID_DSample, GUID_NULL);
    SetInitialSize(28, 28);
  }
  static const ole::DispatchTable<SampleCtrl>& DispatchMap() {
    static const ole::DispatchTable<SampleCtrl> table{
        ole::Property<SampleCtrl>(
            "Caption", VT_BSTR, [](SampleCtrl& c) { return c.caption; },
            [](SampleCtrl& c, const VARIANT& v) {
              std::string text = ole::BstrToUtf8(v.bstrVal);
              if (text == "bad") c.ThrowError(1234, "Caption refused");
              c.caption = text;
              c.SetModifiedFlag();
              c.BoundPropertyChanged(1);
            }),
        ole::Property<SampleCtrl>(
            "Count", VT_I4, [](SampleCtrl& c) { return c.count; },
            [](SampleCtrl& c, const VARIANT& v) { c.count = v.lVal; }),
        ole::ReadOnly<SampleCtrl>("UserMode", VT_BOOL, [](SampleCtrl& c) { return c.AmbientUserMode() != FALSE; }),
        ole::Method<SampleCtrl>("Fail", VT_EMPTY, {{"Code", VT_I4}},
                                [](SampleCtrl& c, const ole::DispArgs& a) {
                                  if (a.I4(0) == -1) ThrowMemoryException();
                                  c.ThrowError(a.I4(0), "Failure " + std::to_string(a.I4(0)), 77);
                                }),
    };
    return table;
  }

  void DoPropExchange(ole::ctl::CPropExchange* px) override {
    ExchangeVersion(px, kSampleVersion, true);
    COleControlBase::DoPropExchange(px);
    ole::ctl::PX_String(px, "Caption", caption, "");
    if (!px->IsLoading() || px->GetVersion() >= 0x00010002)
      ole::ctl::PX_Long(px, "Count", count, kDefaultCount);
    else
      count = kDefaultCount;  // converted from 1.1, which had no count
  }
  CLSID GetClassID() const override { return CLSID_Sample; }
  UINT TypeInfoCount() override { return 1; }
  HRESULT TypeLib(LCID, ITypeLib** lib) override {
    ole::tlb::Library model;
    model.name = "SampleLib";
    ole::tlb::Interface itf;
    itf.name = "_DSample";
    itf.iid = DIID_DSample;
    itf.members.push_back(ole::tlb::Member{"Caption", 1, true, INVOKE_FUNC, 0, VT_BSTR, "", {}, "The caption", 0});
    model.interfaces.push_back(itf);
    return ole::CreateTypeLib(model, lib);
  }
  BOOL OnSetExtent(SIZEL* size) override {
    *size = ole::ctl::PixelsToHimetric(QSize(28, 28));  // always 28 x 28 pixels
    return TRUE;
  }
  std::vector<CLSID> GetPropPageIDs() const override { return {CLSID_SamplePage}; }
  QString GetUserTypeName() const override { return "Sample Control"; }
  DWORD GetMiscStatus() const override { return OLEMISC_INVISIBLEATRUNTIME | OLEMISC_SETCLIENTSITEFIRST; }

  static QImage Image() {
    QImage img(16, 15, QImage::Format_RGB32);
    img.fill(QColor(0, 0, 255));
    return img;
  }
  // Black (drawn) in the left half, white (transparent) in the right half.
  static QImage Mask() {
    QImage m(16, 15, QImage::Format_RGB32);
    m.fill(Qt::white);
    for (int y = 0; y < 15; ++y)
      for (int x = 0; x < 8; ++x) m.setPixel(x, y, qRgb(0, 0, 0));
    return m;
  }
  void OnDraw(QPainter& p, const QRect& bounds, const QRect&) override {
    QColor back;
    if (!ole::ctl::TranslateColor(AmbientBackColor(), &back)) back = Qt::white;
    ole::ctl::FillSolidRect(p, bounds, back);
    ole::ctl::DrawRaisedEdge(p, bounds);
    ole::ctl::FrameRect(p, bounds, Qt::black);
    ole::ctl::TransparentBlit(p, bounds.topLeft() + QPoint(6, 6), Image(), Mask());
  }

  std::string caption;
  LONG count = kDefaultCount;
};

// The control's page: one field bound to Caption.
class SamplePage : public ole::ctl::COlePropertyPage<SamplePage> {
 public:
  SamplePage() : COlePropertyPage("General") {}

 protected:
  QWidget* CreateContent(QWidget* parent) override {
    auto* w = new QWidget(parent);
    auto* layout = new QVBoxLayout(w);
    edit_ = new QLineEdit(w);
    edit_->setObjectName("Caption");
    layout->addWidget(edit_);
    return w;
  }
  void DoDataExchange(ole::ctl::CDataExchange& dx) override { ole::ctl::DDP_Text(dx, edit_, "Caption"); }

 private:
  QLineEdit* edit_ = nullptr;
};

// Serves the control and its page by CLSID without a registry entry.
inline void RegisterSampleControl() {
  ole::RegisterBuiltinClass(CLSID_Sample, ole::StaticClassObject<SampleCtrl>);
  ole::RegisterBuiltinClass(CLSID_SamplePage, ole::StaticClassObject<SamplePage>);
}
