// Property pages and the property frame, driven as a user would: typing into
// a page, pressing Apply, OK and Cancel on the modal frame.
#include <QApplication>
#include <QDialog>
#include <QFormLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QtTest>
#include <functional>
#include <string>
#include <vector>

#include "ole/bstr.h"
#include "ole/com.h"
#include "ole/dispatch.h"
#include "ole/server.h"
#include "olectl/proppage.h"

using namespace ole::ctl;

Q_DECLARE_METATYPE(std::vector<CLSID>)
Q_DECLARE_METATYPE(std::string)

namespace {

constexpr CLSID CLSID_NamePage = MakeGuid("{6E1F3A20-8C4B-4D7E-9A61-2B5C7D8E9F01}");
constexpr CLSID CLSID_AgePage = MakeGuid("{6E1F3A21-8C4B-4D7E-9A61-2B5C7D8E9F01}");
constexpr CLSID CLSID_PersonClass = MakeGuid("{6E1F3A22-8C4B-4D7E-9A61-2B5C7D8E9F01}");
constexpr CLSID CLSID_BrokenPage = MakeGuid("{6E1F3A23-8C4B-4D7E-9A61-2B5C7D8E9F01}");
constexpr CLSID CLSID_Unregistered = MakeGuid("{6E1F3A24-8C4B-4D7E-9A61-2B5C7D8E9F01}");

// The edited object: Name refuses a few texts, each in its own way; Age is a
// number the dispatch table coerces from the page's text.
class Person : public ole::DispatchObject<Person> {
 public:
  static const ole::DispatchTable<Person>& DispatchMap() {
    using P = Person;
    static const ole::DispatchTable<P> table{
        ole::Property<P>(
            "Name", VT_BSTR, [](P& p) { return p.name; },
            [](P& p, const VARIANT& v) {
              std::string text = ole::BstrToUtf8(v.bstrVal);
              if (text == "bad") throw ole::DispatchException::FromCode(1234, "Name refused");
              if (text == "silent") throw ole::DispatchException::FromCode(1235);
              if (text == "denied") throw ole::ComError(E_ACCESSDENIED);
              if (text == p.refuse) throw ole::DispatchException::FromCode(1236, "Not this one");
              p.name = text;
              ++p.namePuts;
            }),
        ole::Property<P>(
            "Title", VT_BSTR, [](P& p) { return p.title; },
            [](P& p, const VARIANT& v) {
              p.title = ole::BstrToUtf8(v.bstrVal);
              ++p.titlePuts;
            }),
        ole::Property<P>(
            "Age", VT_I4, [](P& p) { return p.age; },
            [](P& p, const VARIANT& v) {
              p.age = v.lVal;
              ++p.agePuts;
            }),
    };
    return table;
  }

  std::string name = "Alice";
  std::string title = "Dr.";
  LONG age = 42;
  std::string refuse;  // one more text this object refuses
  int namePuts = 0;
  int titlePuts = 0;
  int agePuts = 0;
};

int g_initDialogCalls = 0;

// Two pages: "General" edits Name and Title, "Details" edits Age.
template <int N>
class FieldsPage : public COlePropertyPage<FieldsPage<N>> {
 public:
  FieldsPage() : COlePropertyPage<FieldsPage<N>>(N == 0 ? "General" : "Details") {}

 protected:
  static std::vector<const char*> Fields() {
    return N == 0 ? std::vector<const char*>{"Name", "Title"} : std::vector<const char*>{"Age"};
  }
  QWidget* CreateContent(QWidget* parent) override {
    auto* content = new QWidget(parent);
    auto* form = new QFormLayout(content);
    edits_.clear();
    for (const char* field : Fields()) {
      edits_.push_back(new QLineEdit);
      edits_.back()->setObjectName(field);
      form->addRow(field, edits_.back());
    }
    return content;
  }
  void OnInitDialog() override { ++g_initDialogCalls; }
  void DoDataExchange(CDataExchange& dx) override {
    for (std::size_t i = 0; i < edits_.size(); ++i) DDP_Text(dx, edits_[i], Fields()[i]);
  }

 private:
  std::vector<QLineEdit*> edits_;
};

const ole::server::ClassRegistrar<FieldsPage<0>> g_namePage(CLSID_NamePage, "", "Name page");
const ole::server::ClassRegistrar<FieldsPage<1>> g_agePage(CLSID_AgePage, "", "Age page");
const ole::server::ClassRegistrar<Person> g_person(CLSID_PersonClass, "", "Person");

template <const CLSID& clsid>
HRESULT ModuleClass(REFIID riid, void** object) {
  return ole::server::Module::Get().GetClassObject(clsid, riid, object);
}
HRESULT BrokenPageClass(REFIID, void** object) {
  *object = nullptr;
  return E_FAIL;
}

// A page site that records what pages report.
class RecordingSite : public ole::ComObject<IPropertyPageSite> {
 public:
  HRESULT OnStatusChange(DWORD flags) override {
    calls.push_back(flags);
    return S_OK;
  }
  std::vector<DWORD> calls;
};

QDialog* ActiveFrame() {
  auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
  return dialog && dialog->objectName() == "OlePropertyFrame" ? dialog : nullptr;
}

template <class W>
W* Child(QDialog& frame, const char* name) {
  W* w = frame.findChild<W*>(name);
  if (!w) qWarning("no %s in the frame", name);
  return w;
}

// Replaces the contents of a field as typing does (selecting all is not an edit).
void TypeInto(QLineEdit* edit, const QString& text) {
  edit->selectAll();
  QTest::keyClicks(edit, text);
}

}  // namespace

class PropPageTest : public QObject {
  Q_OBJECT

 private:
  struct ErrorShown {
    QString title, text;
  };

  // Opens the frame on the objects and runs drive inside its modal loop; a
  // frame drive leaves open is cancelled. driven_ tells whether it ran.
  HRESULT RunFrame(const std::vector<IUnknown*>& objects, const std::vector<CLSID>& pages,
                   const std::function<void(QDialog&)>& drive) {
    driven_ = false;
    QTimer timer;  // dies with this call, so a frame that never opens leaves nothing behind
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, this, [&] {
      QDialog* frame = nullptr;
      [&] { QTRY_VERIFY((frame = ActiveFrame()) != nullptr); }();
      if (frame) {
        driven_ = true;
        drive(*frame);
      }
      if (QDialog* open = ActiveFrame()) open->reject();
    });
    timer.start(0);
    std::vector<IUnknown*> list = objects;
    return OleCreatePropertyFrame(nullptr, "Person", static_cast<ULONG>(list.size()), list.data(),
                                  static_cast<ULONG>(pages.size()), pages.data(), LOCALE_USER_DEFAULT);
  }

  void ExpectFrame(const std::vector<IUnknown*>& objects, const std::vector<CLSID>& pages,
                   const std::function<void(QDialog&)>& drive) {
    QCOMPARE(RunFrame(objects, pages, drive), S_OK);
    QVERIFY(driven_);
  }

  ComPtr<Person> person_;
  bool driven_ = false;
  long bstrsAtStart_ = 0;
  std::vector<ErrorShown> errors_;

 private slots:
  void initTestCase() {
    ole::RegisterBuiltinClass(CLSID_NamePage, ModuleClass<CLSID_NamePage>);
    ole::RegisterBuiltinClass(CLSID_AgePage, ModuleClass<CLSID_AgePage>);
    ole::RegisterBuiltinClass(CLSID_PersonClass, ModuleClass<CLSID_PersonClass>);
    ole::RegisterBuiltinClass(CLSID_BrokenPage, BrokenPageClass);
    SetErrorBox([this](QWidget* parent, const QString& title, const QString& text) {
      QVERIFY(parent && parent->objectName() == "OlePropertyFrame");
      errors_.push_back({title, text});
    });
  }

  void init() {
    errors_.clear();
    g_initDialogCalls = 0;
    bstrsAtStart_ = ole::LiveBstrCount();
    person_ = ole::MakeObject<Person>();
  }

  void cleanup() {
    QVERIFY(!ActiveFrame());
    QCOMPARE(RefCountOf(person_.Get()), 1u);
    person_.Reset();
    QCOMPARE(ole::server::Module::Get().LockCount(), 0L);  // every page released
    QCOMPARE(ole::LiveBstrCount(), bstrsAtStart_);
  }

  void frameShowsPagesWithLoadedValues() {
    ExpectFrame({person_.Get()}, {CLSID_NamePage, CLSID_AgePage}, [&](QDialog& frame) {
      QCOMPARE(frame.windowTitle(), QString("Person Properties"));
      auto* tabs = Child<QTabWidget>(frame, "OlePropertyTabs");
      QVERIFY(tabs);
      QCOMPARE(tabs->count(), 2);
      QCOMPARE(tabs->tabText(0), QString("General"));
      QCOMPARE(tabs->tabText(1), QString("Details"));
      auto* name = Child<QLineEdit>(frame, "Name");
      auto* age = Child<QLineEdit>(frame, "Age");
      QVERIFY(name && age);
      QCOMPARE(name->text(), QString("Alice"));
      QCOMPARE(age->text(), QString("42"));  // VT_I4 shown as text
      QCOMPARE(Child<QLineEdit>(frame, "Title")->text(), QString("Dr."));
      QVERIFY(tabs->widget(0)->isAncestorOf(name));
      QVERIFY(tabs->widget(1)->isAncestorOf(age));
      for (const char* button : {"OK", "Cancel", "Apply"}) QVERIFY(Child<QPushButton>(frame, button));
      QVERIFY(!Child<QPushButton>(frame, "Apply")->isEnabled());
      QVERIFY(Child<QPushButton>(frame, "OK")->isDefault());
      QCOMPARE(g_initDialogCalls, 2);  // once per page
    });
    QCOMPARE(person_->namePuts + person_->agePuts, 0);
  }

  void applyFollowsUserEdits() {
    ExpectFrame({person_.Get()}, {CLSID_NamePage, CLSID_AgePage}, [&](QDialog& frame) {
      auto* name = Child<QLineEdit>(frame, "Name");
      auto* apply = Child<QPushButton>(frame, "Apply");
      QVERIFY(name && apply);
      name->setText("Programmatic");  // not the user's doing
      QVERIFY(!apply->isEnabled());
      TypeInto(name, "Bob");
      QTRY_VERIFY(apply->isEnabled());
      QCOMPARE(person_->name, std::string("Alice"));
      QTest::mouseClick(apply, Qt::LeftButton);
      QTRY_COMPARE(person_->name, std::string("Bob"));
      QTRY_VERIFY(!apply->isEnabled());
      QCOMPARE(person_->namePuts, 1);
      QCOMPARE(person_->titlePuts, 0);  // an untouched field is not written
      QCOMPARE(person_->agePuts, 0);    // nor is an untouched page
      QVERIFY(ActiveFrame() == &frame);

      auto* age = Child<QLineEdit>(frame, "Age");
      QVERIFY(age);
      TypeInto(age, "43");
      QTRY_VERIFY(apply->isEnabled());
      QTest::mouseClick(apply, Qt::LeftButton);
      QTRY_COMPARE(person_->age, LONG(43));
      QCOMPARE(person_->namePuts, 1);  // a field already written is not written again
      QVERIFY(errors_.empty());
    });
  }

  void applyFailureIsShownAndKeepsFrameOpen_data() {
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("shown");
    QTest::newRow("description") << "Name" << "bad" << "Name refused";
    QTest::newRow("code, no description") << "Name" << "silent" << "Error 0x800A04D3";
    QTest::newRow("failure without exception") << "Name" << "denied" << "Error 0x80070005";
    QTest::newRow("not a number") << "Age" << "abc" << "Error 0x80020005";  // DISP_E_TYPEMISMATCH
  }

  void applyFailureIsShownAndKeepsFrameOpen() {
    QFETCH(QString, field);
    QFETCH(QString, typed);
    QFETCH(QString, shown);
    for (const char* button : {"Apply", "OK"}) {
      errors_.clear();
      ExpectFrame({person_.Get()}, {CLSID_NamePage, CLSID_AgePage}, [&](QDialog& frame) {
        auto* edit = Child<QLineEdit>(frame, field.toUtf8().constData());
        auto* tabs = Child<QTabWidget>(frame, "OlePropertyTabs");
        QVERIFY(edit && tabs);
        TypeInto(edit, typed);
        tabs->setCurrentIndex(field == "Name" ? 1 : 0);  // the other page in front
        QTRY_VERIFY(Child<QPushButton>(frame, "Apply")->isEnabled());
        QTest::mouseClick(Child<QPushButton>(frame, button), Qt::LeftButton);
        QTRY_COMPARE(errors_.size(), std::size_t(1));
        QCOMPARE(errors_[0].title, QString("Person"));
        QCOMPARE(errors_[0].text, shown);
        QVERIFY(ActiveFrame() == &frame);
        QVERIFY(tabs->currentWidget()->isAncestorOf(edit));  // the failing page is brought forward
        QVERIFY(Child<QPushButton>(frame, "Apply")->isEnabled());
        QCOMPARE(edit->text(), typed);
        QTest::mouseClick(Child<QPushButton>(frame, "Cancel"), Qt::LeftButton);
        QTRY_VERIFY(!ActiveFrame());
      });
      QCOMPARE(person_->name, std::string("Alice"));
      QCOMPARE(person_->age, LONG(42));
    }
  }

  void closingWritesOnlyOnOk_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<std::string>("written");
    QTest::newRow("ok") << "OK" << std::string("Dave");
    QTest::newRow("cancel") << "Cancel" << std::string("Alice");
  }

  void closingWritesOnlyOnOk() {
    QFETCH(QString, button);
    QFETCH(std::string, written);
    ExpectFrame({person_.Get()}, {CLSID_NamePage}, [&](QDialog& frame) {
      TypeInto(Child<QLineEdit>(frame, "Name"), "Dave");
      QTRY_VERIFY(Child<QPushButton>(frame, "Apply")->isEnabled());
      QTest::mouseClick(Child<QPushButton>(frame, button.toUtf8().constData()), Qt::LeftButton);
      QTRY_VERIFY(!ActiveFrame());
    });
    QCOMPARE(person_->name, written);
    QVERIFY(errors_.empty());
  }

  void everyObjectIsWrittenUntilOneRefuses() {
    ComPtr<Person> second = ole::MakeObject<Person>();
    ComPtr<Person> third = ole::MakeObject<Person>();
    second->name = "Second";
    second->refuse = "Eve";
    third->name = "Third";
    ExpectFrame({person_.Get(), second.Get(), third.Get()}, {CLSID_NamePage}, [&](QDialog& frame) {
      auto* name = Child<QLineEdit>(frame, "Name");
      QCOMPARE(name->text(), QString("Alice"));  // read from the first object
      TypeInto(name, "Frank");
      QTest::mouseClick(Child<QPushButton>(frame, "Apply"), Qt::LeftButton);
      QTRY_COMPARE(third->name, std::string("Frank"));
      QCOMPARE(person_->name, std::string("Frank"));
      QCOMPARE(second->name, std::string("Frank"));

      TypeInto(name, "Eve");
      QTest::mouseClick(Child<QPushButton>(frame, "Apply"), Qt::LeftButton);
      QTRY_COMPARE(errors_.size(), std::size_t(1));
      QCOMPARE(errors_[0].text, QString("Not this one"));
      QCOMPARE(person_->name, std::string("Eve"));
      QCOMPARE(second->name, std::string("Frank"));
      QCOMPARE(third->name, std::string("Frank"));  // saving stopped at the refusal
    });
    QCOMPARE(RefCountOf(second.Get()), 1u);
    QCOMPARE(RefCountOf(third.Get()), 1u);
  }

  void pagesThatCannotBeCreated_data() {
    QTest::addColumn<std::vector<CLSID>>("pages");
    QTest::addColumn<HRESULT>("expected");
    QTest::addColumn<int>("tabs");
    QTest::newRow("unregistered") << std::vector<CLSID>{CLSID_Unregistered} << REGDB_E_CLASSNOTREG << 0;
    QTest::newRow("factory fails") << std::vector<CLSID>{CLSID_BrokenPage} << E_FAIL << 0;
    QTest::newRow("not a page") << std::vector<CLSID>{CLSID_PersonClass} << E_NOINTERFACE << 0;
    QTest::newRow("first failure wins")
        << std::vector<CLSID>{CLSID_BrokenPage, CLSID_Unregistered} << E_FAIL << 0;
    QTest::newRow("skipped") << std::vector<CLSID>{CLSID_Unregistered, CLSID_AgePage, CLSID_BrokenPage}
                             << S_OK << 1;
  }

  void pagesThatCannotBeCreated() {
    QFETCH(std::vector<CLSID>, pages);
    QFETCH(HRESULT, expected);
    QFETCH(int, tabs);
    int shownTabs = 0;
    HRESULT hr = RunFrame({person_.Get()}, pages, [&](QDialog& frame) {
      shownTabs = Child<QTabWidget>(frame, "OlePropertyTabs")->count();
      QCOMPARE(Child<QTabWidget>(frame, "OlePropertyTabs")->tabText(0), QString("Details"));
    });
    QCOMPARE(hr, expected);
    QCOMPARE(driven_, tabs > 0);
    QCOMPARE(shownTabs, tabs);
  }

  // The page on its own, as any container uses it.
  void pageReportsToItsSite() {
    ComPtr<IPropertyPage> page;
    QCOMPARE(CoCreateInstance(CLSID_NamePage, nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyPage,
                              page.PpvOut()),
             S_OK);
    PROPPAGEINFO info{};
    QCOMPARE(page->GetPageInfo(&info), S_OK);  // measured before any activation
    QCOMPARE(QString::fromUtf16(info.pszTitle), QString("General"));
    QVERIFY(info.width > 0 && info.height > 0);
    CoTaskMemFree(info.pszTitle);

    ComPtr<RecordingSite> site = ole::MakeObject<RecordingSite>();
    IUnknown* objects[] = {person_.Get()};
    QCOMPARE(page->SetObjects(1, objects), S_OK);
    QCOMPARE(page->SetPageSite(site.Get()), S_OK);
    QWidget parent;
    parent.show();
    QCOMPARE(page->Activate(&parent), S_OK);
    auto* name = parent.findChild<QLineEdit*>("Name");
    QVERIFY(name);
    QCOMPARE(name->text(), QString("Alice"));
    QCOMPARE(page->IsPageDirty(), S_FALSE);
    QVERIFY(site->calls.empty());

    TypeInto(name, "Gina");
    QCOMPARE(page->IsPageDirty(), S_OK);
    QVERIFY(!site->calls.empty());
    for (DWORD flags : site->calls) QCOMPARE(flags, PROPPAGESTATUS_DIRTY | PROPPAGESTATUS_VALIDATE);

    EXCEPINFO error{};
    QCOMPARE(page->Apply(&error), S_OK);
    QCOMPARE(person_->name, std::string("Gina"));
    QCOMPARE(page->IsPageDirty(), S_FALSE);
    // Unchanged since that Apply: another Apply writes nothing.
    person_->name = "changed elsewhere";
    QCOMPARE(page->Apply(&error), S_OK);
    QCOMPARE(person_->name, std::string("changed elsewhere"));

    TypeInto(name, "bad");
    QCOMPARE(page->Apply(&error), DISP_E_EXCEPTION);
    QCOMPARE(error.wCode, WORD(1234));
    QCOMPARE(ole::BstrToUtf8(error.bstrDescription), std::string("Name refused"));
    ClearExcepInfo(&error);
    QCOMPARE(page->IsPageDirty(), S_OK);
    QCOMPARE(page->Apply(nullptr), DISP_E_EXCEPTION);  // no one to hand the error to

    QCOMPARE(page->Deactivate(), S_OK);
    QVERIFY(!parent.findChild<QLineEdit*>("Name"));
    QCOMPARE(page->SetPageSite(nullptr), S_OK);
    QCOMPARE(page->SetObjects(0, nullptr), S_OK);
    QCOMPARE(RefCountOf(site.Get()), 1u);
    QCOMPARE(RefCountOf(page.Get()), 1u);
  }
};

QTEST_MAIN(PropPageTest)
#include "proppage_test.moc"
