// The control framework seen from a container: persistence through stream and
// property bag, ambient user mode, extent snapping, design-time drawing,
// exceptions, notifications and verbs.
#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include "ole/server.h"
#include "olectl/proppage.h"
#include "olectl/site.h"
#include "sample_control.h"
#include "support/automation.h"

using ole::ctl::OleControlSite;
using testsupport::Get;
using testsupport::Put;

namespace {

std::string Hex(const QByteArray& b) { return b.toHex(' ').toStdString(); }

}  // namespace

class ControlTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { RegisterSampleControl(); }

  void streamRoundTrip() {
    OleControlSite site;
    QCOMPARE(site.CreateControl(CLSID_Sample), S_OK);
    QVERIFY(!site.IsDirty());
    QCOMPARE(Put(site.Dispatch(), u"Caption", CComVariant("SRV1")), S_OK);
    QCOMPARE(Put(site.Dispatch(), u"Count", CComVariant(LONG(0x01020304))), S_OK);
    QVERIFY(site.IsDirty());
    QByteArray state;
    QCOMPARE(site.SaveState(&state), S_OK);
    QVERIFY(!site.IsDirty());
    // version 1.2, extent 741 x 741, no stock properties, "SRV1", the count.
    QCOMPARE(Hex(state), std::string("02 00 01 00 e5 02 00 00 e5 02 00 00 00 00 00 00 04 53 52 56 31 04 03 02 01"));

    OleControlSite again;
    QCOMPARE(again.CreateControl(CLSID_Sample, &state), S_OK);
    QCOMPARE(ole::BstrToUtf8(Get(again.Dispatch(), u"Caption").bstrVal), std::string("SRV1"));
    QCOMPARE(Get(again.Dispatch(), u"Count").lVal, LONG(0x01020304));
  }

  void longStringsUseTheWiderLengthForms() {
    for (int n : {254, 255, 70000}) {
      OleControlSite site;
      QCOMPARE(site.CreateControl(CLSID_Sample), S_OK);
      QCOMPARE(Put(site.Dispatch(), u"Caption", CComVariant(std::string(n, 'x'))), S_OK);
      QByteArray state;
      QCOMPARE(site.SaveState(&state), S_OK);
      int prefix = n < 255 ? 1 : n < 65535 ? 3 : 7;
      QCOMPARE(state.size(), 16 + prefix + n + 4);
      OleControlSite again;
      QCOMPARE(again.CreateControl(CLSID_Sample, &state), S_OK);
      QCOMPARE(int(SysStringLen(Get(again.Dispatch(), u"Caption").bstrVal)), n);
    }
  }

  void olderVersionIsConverted() {
    // A 1.1 document: no count after the caption.
    QByteArray v11 = QByteArray::fromHex("01000100e5020000e50200000000000003414243");
    OleControlSite site;
    QCOMPARE(site.CreateControl(CLSID_Sample, &v11), S_OK);
    QCOMPARE(ole::BstrToUtf8(Get(site.Dispatch(), u"Caption").bstrVal), std::string("ABC"));
    QCOMPARE(Get(site.Dispatch(), u"Count").lVal, kDefaultCount);
  }

  void damagedStateIsRefused() {
    QByteArray good = QByteArray::fromHex("02000100e5020000e50200000000000003414243" "05000000");
    for (int n = 0; n < good.size(); ++n) {
      QByteArray cut = good.left(n);
      OleControlSite site;
      QCOMPARE(site.CreateControl(CLSID_Sample, &cut), STG_E_READFAULT);
      QVERIFY(!site.HasControl());
    }
    QByteArray stock = good;
    stock[12] = 1;  // a stock property mask this framework cannot read
    OleControlSite site;
    QCOMPARE(site.CreateControl(CLSID_Sample, &stock), STG_E_READFAULT);
    QByteArray lying = QByteArray::fromHex("02000100e5020000e502000000000000ff00ff");  // 65280 bytes promised
    QCOMPARE(site.CreateControl(CLSID_Sample, &lying), STG_E_READFAULT);
  }

  void propertyBagRoundTrip() {
    OleControlSite site;
    QCOMPARE(site.CreateControl(CLSID_Sample), S_OK);
    QCOMPARE(Put(site.Dispatch(), u"Caption", CComVariant("Grüße")), S_OK);
    auto bag = ole::MakeObject<ole::ctl::CMemoryPropertyBag>();
    auto persist = ComPtr<IUnknown>(site.Control()).As<IPersistPropertyBag>();
    QVERIFY(persist);
    QCOMPARE(persist->Save(bag.Get(), TRUE, TRUE), S_OK);
    QStringList names;
    for (const auto& [n, v] : bag->Items()) names << QString::fromStdU16String(n);
    QCOMPARE(names, QStringList({"_Version", "_ExtentX", "_ExtentY", "_StockProps", "Caption", "Count"}));
    QCOMPARE(bag->Items()[0].second.lVal, LONG(kSampleVersion));

    OleControlSite other;
    QCOMPARE(other.CreateControl(CLSID_Sample), S_OK);
    auto otherPersist = ComPtr<IUnknown>(other.Control()).As<IPersistPropertyBag>();
    QCOMPARE(otherPersist->Load(bag.Get(), nullptr), S_OK);
    QCOMPARE(ole::BstrToUtf8(Get(other.Dispatch(), u"Caption").bstrVal), std::string("Grüße"));

    // Missing names take their defaults.
    auto empty = ole::MakeObject<ole::ctl::CMemoryPropertyBag>();
    QCOMPARE(otherPersist->Load(empty.Get(), nullptr), S_OK);
    QCOMPARE(ole::BstrToUtf8(Get(other.Dispatch(), u"Caption").bstrVal), std::string());
    QCOMPARE(Get(other.Dispatch(), u"Count").lVal, kDefaultCount);
  }

  void userModeComesFromTheSite() {
    OleControlSite site;
    QCOMPARE(site.CreateControl(CLSID_Sample), S_OK);
    QCOMPARE(Get(site.Dispatch(), u"UserMode").boolVal, VARIANT_TRUE);
    site.SetUserMode(false);
    QCOMPARE(Get(site.Dispatch(), u"UserMode").boolVal, VARIANT_FALSE);
    site.SetReportsUserMode(false);  // a container that does not say: user mode
    QCOMPARE(Get(site.Dispatch(), u"UserMode").boolVal, VARIANT_TRUE);
  }

  void extentSnapsBack() {
    QWidget host;
    auto* site = new OleControlSite(&host);
    QCOMPARE(site->CreateControl(CLSID_Sample), S_OK);
    QCOMPARE(site->size(), QSize(28, 28));
    SIZEL e{};
    ComPtr<IUnknown>(site->Control()).As<IOleObject>()->GetExtent(DVASPECT_CONTENT, &e);
    QCOMPARE(e.cx, LONG(741));
    QCOMPARE(e.cy, LONG(741));
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));
    site->resize(100, 60);
    QTRY_COMPARE(site->size(), QSize(28, 28));
    site->setGeometry(10, 10, 5, 90);
    QTRY_COMPARE(site->size(), QSize(28, 28));
    QCOMPARE(site->pos(), QPoint(10, 10));
  }

  void drawsInDesignModeOnly() {
    OleControlSite site;
    QCOMPARE(site.CreateControl(CLSID_Sample), S_OK);
    QVERIFY(!site.ControlVisible());  // invisible at run time
    site.SetUserMode(false);
    site.SetAmbientBackColor(0x00336699);  // 0x00BBGGRR
    QVERIFY(site.ControlVisible());
    QImage img = site.grab().toImage().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(img.size(), QSize(28, 28));
    struct Px {
      int x, y;
      QRgb rgb;
    } expected[] = {
        {0, 0, qRgb(0, 0, 0)},          // the black frame
        {27, 27, qRgb(0, 0, 0)},
        {1, 1, qRgb(255, 255, 255)},    // inner raised edge, light side
        {26, 26, qRgb(160, 160, 160)},  // inner raised edge, shadow side
        {3, 3, qRgb(0x99, 0x66, 0x33)},  // the ambient background
        {6, 6, qRgb(0, 0, 255)},         // image where the mask is black
        {13, 20, qRgb(0, 0, 255)},
        {14, 6, qRgb(0x99, 0x66, 0x33)},  // background where the mask is white
        {21, 20, qRgb(0x99, 0x66, 0x33)},
        {13, 21, qRgb(0x99, 0x66, 0x33)},  // below the 15 image rows
    };
    for (const auto& p : expected) QCOMPARE(img.pixel(p.x, p.y), p.rgb);
  }

  void exceptionsReachTheClient() {
    OleControlSite site;
    QCOMPARE(site.CreateControl(CLSID_Sample), S_OK);
    EXCEPINFO info{};
    CComVariant r;
    QCOMPARE(testsupport::CallByName(site.Dispatch(), u"Fail", DISPATCH_METHOD, {CComVariant(52737)}, &r, &info),
             DISP_E_EXCEPTION);
    QCOMPARE(info.wCode, WORD(52737));
    QCOMPARE(info.scode, SCODE(0));
    QCOMPARE(ole::BstrToUtf8(info.bstrDescription), std::string("Failure 52737"));
    QCOMPARE(ole::BstrToUtf8(info.bstrSource), std::string("olectl_control_test"));
    QCOMPARE(info.dwHelpContext, DWORD(77));
    ClearExcepInfo(&info);
    QCOMPARE(testsupport::CallByName(site.Dispatch(), u"Fail", DISPATCH_METHOD,
                                     {CComVariant(LONG(CTL_E_INVALIDPROPERTYVALUE))}, &r, &info),
             DISP_E_EXCEPTION);
    QCOMPARE(info.wCode, WORD(0));
    QCOMPARE(info.scode, CTL_E_INVALIDPROPERTYVALUE);
    ClearExcepInfo(&info);
    QCOMPARE(testsupport::CallByName(site.Dispatch(), u"Fail", DISPATCH_METHOD, {CComVariant(-1)}, &r, &info),
             E_OUTOFMEMORY);
    QCOMPARE(Put(site.Dispatch(), u"UserMode", CComVariant(true), &info), DISP_E_EXCEPTION);
    QCOMPARE(info.scode, CTL_E_SETNOTSUPPORTED);
    ClearExcepInfo(&info);
  }

  void boundPropertyChangesReachTheContainer() {
    OleControlSite site;
    QList<DISPID> changed;
    site.propertyChanged = [&](DISPID id) { changed << id; };
    QCOMPARE(site.CreateControl(CLSID_Sample), S_OK);
    QCOMPARE(Put(site.Dispatch(), u"Caption", CComVariant("x")), S_OK);
    QCOMPARE(changed, QList<DISPID>({1}));
  }

  void objectsHoldTheModuleAndReleaseEverything() {
    long locks = ole::server::Module::Get().LockCount();
    long bstrs = ole::LiveBstrCount();
    {
      OleControlSite site;
      QCOMPARE(site.CreateControl(CLSID_Sample), S_OK);
      QCOMPARE(ole::server::Module::Get().LockCount(), locks + 1);
      CAUUID pages{};
      auto specify = ComPtr<IUnknown>(site.Control()).As<ISpecifyPropertyPages>();
      QCOMPARE(specify->GetPages(&pages), S_OK);
      QCOMPARE(pages.cElems, ULONG(1));
      QVERIFY(pages.pElems[0] == CLSID_SamplePage);
      CoTaskMemFree(pages.pElems);
      specify.Reset();
      Put(site.Dispatch(), u"Caption", CComVariant("held"));
    }
    QCOMPARE(ole::server::Module::Get().LockCount(), locks);
    QCOMPARE(ole::LiveBstrCount(), bstrs);
  }

  void typeInfoOfThePrimaryInterface() {
    OleControlSite site;
    QCOMPARE(site.CreateControl(CLSID_Sample), S_OK);
    UINT count = 0;
    QCOMPARE(site.Dispatch()->GetTypeInfoCount(&count), S_OK);
    QCOMPARE(count, 1u);
    ComPtr<ITypeInfo> info;
    QCOMPARE(site.Dispatch()->GetTypeInfo(0, 0x409, info.ReleaseAndGetAddressOf()), S_OK);
    TYPEATTR* attr = nullptr;
    QCOMPARE(info->GetTypeAttr(&attr), S_OK);
    QVERIFY(attr->guid == DIID_DSample);
    info->ReleaseTypeAttr(attr);
    QCOMPARE(site.Dispatch()->GetTypeInfo(1, 0x409, info.ReleaseAndGetAddressOf()), DISP_E_BADINDEX);
    // The dispinterface's IID answers as the control's IDispatch.
    ComPtr<IDispatch> primary;
    QCOMPARE(site.Control()->QueryInterface(DIID_DSample, primary.PpvOut()), S_OK);
    QCOMPARE(static_cast<void*>(primary.Get()), static_cast<void*>(site.Dispatch()));
  }

  void propertiesVerbShowsTheFrameAndApplyWrites() {
    OleControlSite site;
    QCOMPARE(site.CreateControl(CLSID_Sample), S_OK);
    QCOMPARE(Put(site.Dispatch(), u"Caption", CComVariant("old")), S_OK);
    QStringList errors;
    ole::ctl::SetErrorBox([&](QWidget*, const QString& title, const QString& text) { errors << title + ": " + text; });
    bool checked = false;
    QTimer::singleShot(0, [&] {
      // Whatever fails below, the modal frame must not be left waiting.
      struct CloseModal {
        ~CloseModal() {
          if (QWidget* w = QApplication::activeModalWidget()) w->close();
        }
      } closeModal;
      QDialog* frame = nullptr;
      QTRY_VERIFY((frame = qobject_cast<QDialog*>(QApplication::activeModalWidget())) != nullptr);
      QCOMPARE(frame->objectName(), QString("OlePropertyFrame"));
      QCOMPARE(frame->windowTitle(), QString("Sample Control Properties"));
      auto* edit = frame->findChild<QLineEdit*>("Caption");
      auto* apply = frame->findChild<QPushButton*>("Apply");
      QVERIFY(edit && apply);
      QCOMPARE(edit->text(), QString("old"));
      QVERIFY(!apply->isEnabled());
      edit->selectAll();
      QTest::keyClicks(edit, "new");
      QTRY_VERIFY(apply->isEnabled());
      QTest::mouseClick(apply, Qt::LeftButton);
      QCOMPARE(ole::BstrToUtf8(Get(site.Dispatch(), u"Caption").bstrVal), std::string("new"));
      edit->selectAll();
      QTest::keyClicks(edit, "bad");
      QTest::mouseClick(apply, Qt::LeftButton);
      QCOMPARE(errors, QStringList({"Sample Control: Caption refused"}));
      QVERIFY(frame->isVisible());  // the frame stays open
      QCOMPARE(ole::BstrToUtf8(Get(site.Dispatch(), u"Caption").bstrVal), std::string("new"));
      QTest::mouseClick(frame->findChild<QPushButton*>("Cancel"), Qt::LeftButton);
      checked = true;
    });
    QCOMPARE(site.DoVerb(OLEIVERB_PROPERTIES), S_OK);  // returns when the frame closes
    QVERIFY(checked);
    QVERIFY(QApplication::activeModalWidget() == nullptr);
    ole::ctl::SetErrorBox({});
  }

  void unknownControlFailsWithItsHresult() {
    OleControlSite site;
    QCOMPARE(site.CreateControl(MakeGuid("{00000000-0000-0000-0000-0000000000AA}")), REGDB_E_CLASSNOTREG);
    QVERIFY(!site.HasControl());
    QCOMPARE(site.DoVerb(OLEIVERB_PROPERTIES), E_UNEXPECTED);
  }
};

QTEST_MAIN(ControlTest)
#include "control_test.moc"
