// The server browse page against a private slapd (the tree ACME) and a real
// cvserverd (SRV1), through the real client library: opening with each form
// of FullName, the fills, selection to FullName, and Apply through the
// property frame into the control.
#include <QApplication>
#include <QDialog>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>
#include <fstream>
#include <functional>
#include <memory>

#include "browsepage.h"
#include "classimages.h"
#include "corvane/agent_harness.h"
#include "ctrl.h"
#include "control/fullname_holder.h"
#include "ole/bstr.h"
#include "ole/com.h"
#include "ole/dispatch.h"
#include "ole/factory.h"
#include "olectl/proppage.h"
#include "olectl/site.h"
#include "support/slapd_fixture.h"

using cvsrva::CCvServerAdminPropPage;

namespace {

using Holder = cvtest::FullNameHolder;

// Server names stored under L=BOSTON in this order.
constexpr const char* kMixedOrder[] = {"Mike", "delta", "zulu", "ALPHA2", "Bravo", "alpha", "Zulu9",
                                       "CHARLIE1", "Echo", "charlie", "a1", "m"};

// The child of parent (or of the top level) with this text.
QTreeWidgetItem* ChildNamed(QTreeWidget* tree, QTreeWidgetItem* parent, const QString& text) {
  const int n = parent ? parent->childCount() : tree->topLevelItemCount();
  for (int i = 0; i < n; ++i) {
    QTreeWidgetItem* c = parent ? parent->child(i) : tree->topLevelItem(i);
    if (c->text(0) == text) return c;
  }
  return nullptr;
}

QStringList ChildTexts(QTreeWidgetItem* item) {
  QStringList out;
  for (int i = 0; i < item->childCount(); ++i) out << item->child(i)->text(0);
  return out;
}

bool Filled(QTreeWidgetItem* item) { return item->data(0, CCvServerAdminPropPage::kExpandedOnceRole).toBool(); }
int Image(QTreeWidgetItem* item) { return item->data(0, CCvServerAdminPropPage::kImageRole).toInt(); }

}  // namespace

class BrowsePageTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<cvtest::AgentProcess> agent_;
  std::unique_ptr<testsupport::Slapd> slapd_;
  ComPtr<Holder> holder_;
  ComPtr<CCvServerAdminPropPage> page_;
  std::unique_ptr<QWidget> tab_;

  // The client configuration: the agent as SRV1, and the tree lines.
  void WriteClientIni(const std::string& trees) {
    agent_->WriteClientIni("ADMIN");
    std::ofstream(agent_->dir() / "client.ini", std::ios::app) << "[Trees]\n" << trees;
  }
  std::string Tree(const char* name) const { return std::string(name) + "=" + slapd_->treeUrl() + "\n"; }

  // Opens a page on the holder with this FullName; returns its tree.
  QTreeWidget* Open(const std::string& fullName) {
    holder_ = ole::MakeObject<Holder>();
    holder_->fullName = fullName;
    page_ = ole::MakeObject<CCvServerAdminPropPage>();
    IUnknown* objects[] = {static_cast<IDispatch*>(holder_.Get())};
    if (FAILED(page_->SetObjects(1, objects))) return nullptr;
    tab_ = std::make_unique<QWidget>();
    if (FAILED(page_->Activate(tab_.get()))) return nullptr;
    return page_->Tree();
  }
  QTreeWidgetItem* Path(QTreeWidget* tree, const QStringList& texts) {
    QTreeWidgetItem* item = nullptr;
    for (const QString& t : texts) {
      item = ChildNamed(tree, item, t);
      if (!item) return nullptr;
      if (&t != &texts.back()) item->setExpanded(true);
    }
    return item;
  }
  bool Dirty() { return page_->IsPageDirty() == S_OK; }

 private slots:
  void initTestCase() {
    ole::RegisterBuiltinClass(cvsrva::CLSID_CvSrvAdm, ole::StaticClassObject<cvsrva::CCvServerAdminCtrl>);
    ole::RegisterBuiltinClass(cvsrva::CLSID_CvServerAdminPropPage, ole::StaticClassObject<CCvServerAdminPropPage>);
    agent_ = std::make_unique<cvtest::AgentProcess>();
    QVERIFY2(agent_->Start(), agent_->Log().c_str());
    slapd_ = std::make_unique<testsupport::Slapd>(2000);
    // Servers under L=BOSTON, stored out of order and in mixed case, so that
    // the directory lists them unsorted.
    for (const char* n : kMixedOrder) {
      slapd_->extraLdif += std::string("dn: cn=") + n + ",l=BOSTON,c=US,dc=corvane,dc=test\nobjectClass: kcpServer\ncn: " +
                           n + "\nkcpNetworkAddress: 127.0.0.1:1\n\n";
    }
    QVERIFY2(slapd_->Start("127.0.0.1:" + std::to_string(agent_->port())), slapd_->Log().c_str());
  }
  void init() { WriteClientIni(Tree("ACME")); }
  void cleanup() {
    if (page_) page_->Deactivate();
    tab_.reset();
    page_.Reset();
    holder_.Reset();
  }
  void cleanupTestCase() {
    slapd_.reset();
    agent_.reset();
  }

  void classImagesByLowerCasedName_data() {
    QTest::addColumn<QString>("cls");
    QTest::addColumn<int>("image");
    QTest::newRow("server") << "KCP Server" << 19;
    QTest::newRow("any case") << "organizational UNIT" << 25;
    QTest::newRow("country") << "Country" << 12;
    QTest::newRow("volume, the last row") << "Volume" << 36;
    QTest::newRow("unknown class: row 0") << "Bindery Queue" << 0;
  }
  void classImagesByLowerCasedName() {
    QFETCH(QString, cls);
    QFETCH(int, image);
    auto page = ole::MakeObject<CCvServerAdminPropPage>();
    QCOMPARE(page->ClassImageIndex(cls), image);
  }

  // Every class and node has a picture of its own, 16 x 16, and white is
  // transparent in the tree.
  void picturesAreDistinctAndMaskedWithWhite() {
    std::vector<unsigned> ids;
    for (const auto& row : cvsrva::kClassImageTable) ids.push_back(row.bitmap);
    ids.insert(ids.end(), {207u, 260u, 261u, 211u});
    std::vector<QImage> images;
    for (unsigned id : ids) {
      QImage image = cvsrva::LoadBrowseBitmap(id);
      QCOMPARE(image.size(), QSize(16, 16));
      for (std::size_t i = 0; i < images.size(); ++i)
        QVERIFY2(image != images[i], qPrintable(QString("bitmaps %1 and %2 look the same").arg(id).arg(ids[i])));
      images.push_back(image);
    }
    QVERIFY(cvsrva::LoadBrowseBitmap(231).isNull());  // there is no bitmap 231
    QTreeWidget* tree = Open("");
    const QImage root = tree->topLevelItem(0)->icon(0).pixmap(16, 16).toImage();
    const QImage drawn = cvsrva::LoadBrowseBitmap(207);
    int transparent = 0;
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 16; ++x) {
        const bool white = drawn.pixel(x, y) == qRgb(255, 255, 255);
        QCOMPARE(qAlpha(root.pixel(x, y)) == 0, white);
        transparent += white;
      }
    QVERIFY(transparent > 0 && transparent < 256);
  }

  void plainNameSelectsTheListedServerIgnoringCase() {
    QTreeWidget* tree = Open("\\\\srv1");
    QVERIFY(tree);
    QTreeWidgetItem* root = ChildNamed(tree, nullptr, "Corvane Services");
    QVERIFY(root && root->isExpanded());
    QCOMPARE(ChildTexts(root), (QStringList{"Corvane Servers", "Veltrane Directory Services"}));
    QTreeWidgetItem* servers = ChildNamed(tree, root, "Corvane Servers");
    QVERIFY(servers->isExpanded());
    QVERIFY(!Filled(ChildNamed(tree, root, "Veltrane Directory Services")));
    QVERIFY(tree->currentItem());
    QCOMPARE(tree->currentItem()->text(0), QStringLiteral("SRV1"));
    QCOMPARE(tree->currentItem()->parent(), servers);
    QCOMPARE(Image(tree->currentItem()), 39);
    QCOMPARE(page_->FullNameCopy(), QStringLiteral("\\\\SRV1"));
    QVERIFY(Dirty());
    // A listed server has nothing below it.
    tree->currentItem()->setExpanded(true);
    QCOMPARE(tree->currentItem()->childIndicatorPolicy(), QTreeWidgetItem::DontShowIndicatorWhenChildless);
  }

  void browseNameFollowsContainersIgnoringCase() {
    QTreeWidget* tree = Open("CDS:\\\\ACME\\acme\\Sales\\srv1");
    QVERIFY(tree && tree->currentItem());
    QCOMPARE(tree->currentItem()->text(0), QStringLiteral("SRV1"));
    QCOMPARE(tree->currentItem()->parent()->text(0), QStringLiteral("SALES"));
    QCOMPARE(page_->FullNameCopy(), QStringLiteral("CDS:\\\\ACME\\ACME\\SALES\\SRV1"));
    QVERIFY(Dirty());
    QVERIFY(!Filled(ChildNamed(tree, tree->topLevelItem(0), "Corvane Servers")));
  }

  void browseNameWithTreeInOtherCaseStopsAfterTheTreeList() {
    QTreeWidget* tree = Open("CDS:\\\\acme\\ACME\\SALES\\SRV1");
    QVERIFY(tree);
    QTreeWidgetItem* directory = Path(tree, {"Corvane Services", "Veltrane Directory Services"});
    QVERIFY(directory && Filled(directory));
    QCOMPARE(ChildTexts(directory), QStringList{"ACME"});
    QVERIFY(!Filled(directory->child(0)));
    QVERIFY(!tree->currentItem());
    QVERIFY(!Dirty());
    QCOMPARE(page_->FullNameCopy(), QStringLiteral("CDS:\\\\acme\\ACME\\SALES\\SRV1"));
  }

  void emptyNameExpandsOnlyTheRoot() {
    QTreeWidget* tree = Open("");
    QVERIFY(tree);
    QCOMPARE(tree->topLevelItemCount(), 1);
    QTreeWidgetItem* root = tree->topLevelItem(0);
    QVERIFY(root->isExpanded());
    QCOMPARE(Image(root), 37);
    QCOMPARE(root->childCount(), 2);
    for (int i = 0; i < 2; ++i) {
      QVERIFY(!Filled(root->child(i)));
      QCOMPARE(Image(root->child(i)), 40);
    }
    QVERIFY(!tree->currentItem());
    QVERIFY(!Dirty());
  }

  void treeReportedTwiceIsShownOnce() {
    WriteClientIni(Tree("ACME") + Tree("acme"));
    QTreeWidget* tree = Open("");
    QTreeWidgetItem* directory = Path(tree, {"Corvane Services", "Veltrane Directory Services"});
    directory->setExpanded(true);
    QCOMPARE(ChildTexts(directory), QStringList{"ACME"});
    QCOMPARE(Image(directory->child(0)), 38);
  }

  void containersShowOnlyTheFiveClasses() {
    QTreeWidget* tree = Open("");
    QTreeWidgetItem* acme = Path(tree, {"Corvane Services", "Veltrane Directory Services", "ACME"});
    acme->setExpanded(true);
    QCOMPARE(ChildTexts(acme), (QStringList{"ACME", "POLICIES", "US"}));  // sorted
    QCOMPARE(Image(ChildNamed(tree, acme, "ACME")), 22);
    QTreeWidgetItem* us = ChildNamed(tree, acme, "US");
    QCOMPARE(Image(us), 12);
    us->setExpanded(true);
    QCOMPARE(ChildTexts(us), QStringList{"BOSTON"});
    QCOMPARE(Image(us->child(0)), 17);
    QTreeWidgetItem* o = ChildNamed(tree, acme, "ACME");
    o->setExpanded(true);
    QCOMPARE(ChildTexts(o), (QStringList{"BIG", "EMPTY", "SALES"}));
    QTreeWidgetItem* sales = ChildNamed(tree, o, "SALES");
    QCOMPARE(Image(sales), 25);
    sales->setExpanded(true);
    QCOMPARE(ChildTexts(sales), (QStringList{"SRV1", "SRV2"}));  // users are not shown
    QCOMPARE(Image(sales->child(0)), 19);
    QCOMPARE(sales->child(0)->data(0, CCvServerAdminPropPage::kValueRole).toUInt(), 0x20u);
    QCOMPARE(sales->data(0, CCvServerAdminPropPage::kValueRole).toUInt(), 0u);
    // Only users and a group, or 2,000 devices over several batches: no
    // children, and the expand button goes.
    for (const char* name : {"EMPTY", "BIG"}) {
      QTreeWidgetItem* c = ChildNamed(tree, o, name);
      QCOMPARE(c->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);
      c->setExpanded(true);
      QCOMPARE(c->childCount(), 0);
      QCOMPARE(c->childIndicatorPolicy(), QTreeWidgetItem::DontShowIndicatorWhenChildless);
    }
  }

  // Servers hold nothing to browse: listed servers and server objects come
  // without an expand button, containers with one.
  void serversShowNoExpandButton() {
    QTreeWidget* tree = Open("");
    QTreeWidgetItem* srv1 = Path(tree, {"Corvane Services", "Corvane Servers", "SRV1"});
    QVERIFY(srv1);
    QCOMPARE(srv1->childIndicatorPolicy(), QTreeWidgetItem::DontShowIndicatorWhenChildless);
    QTreeWidgetItem* sales = Path(tree, {"Corvane Services", "Veltrane Directory Services", "ACME", "ACME", "SALES"});
    QCOMPARE(sales->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);
    sales->setExpanded(true);
    for (int i = 0; i < sales->childCount(); ++i)
      QCOMPARE(sales->child(i)->childIndicatorPolicy(), QTreeWidgetItem::DontShowIndicatorWhenChildless);
  }

  // Expanding an item at the bottom of the view scrolls its first children
  // into view, and keeps the item in view.
  void expandingScrollsTheFirstChildrenIntoView() {
    QTreeWidget* tree = Open("");
    tab_->show();
    QVERIFY(QTest::qWaitForWindowExposed(tab_.get()));
    QTreeWidgetItem* o = Path(tree, {"Corvane Services", "Veltrane Directory Services", "ACME", "ACME"});
    QTreeWidgetItem* servers = Path(tree, {"Corvane Services", "Corvane Servers"});
    servers->setExpanded(true);
    const int row = tree->visualItemRect(o).height();
    QVERIFY(row > 0);
    // Room for the item and three rows below it.
    tree->setFixedHeight(tree->height() - tree->viewport()->height() + 4 * row);
    tree->scrollToItem(o, QAbstractItemView::PositionAtBottom);
    QVERIFY(tree->viewport()->rect().contains(tree->visualItemRect(o)));
    QVERIFY(!tree->viewport()->rect().intersects(tree->visualItemRect(ChildNamed(tree, o->parent(), "POLICIES"))));
    o->setExpanded(true);
    QCOMPARE(ChildTexts(o), (QStringList{"BIG", "EMPTY", "SALES"}));
    const QRect view = tree->viewport()->rect();
    QVERIFY(view.contains(tree->visualItemRect(o)));
    for (int i = 0; i < o->childCount(); ++i)
      QVERIFY2(view.contains(tree->visualItemRect(o->child(i))), qPrintable(o->child(i)->text(0)));
  }

  // The page tells its frame its size: the dialog template's 250 x 110
  // dialog units, before and after it is shown.
  void pageInfoGivesTheTemplateSize() {
    const ole::ctl::DialogTemplate t = cvsrva::BrowsePageTemplate();
    const QSize expected = ole::ctl::DluToPixels(ole::ctl::DialogFont(t), QRect(QPoint(0, 0), t.size)).size();
    QVERIFY(expected.width() > 250 && expected.height() > 110);
    ComPtr<CCvServerAdminPropPage> fresh = ole::MakeObject<CCvServerAdminPropPage>();
    for (bool active : {false, true}) {
      if (active) QVERIFY(Open(""));
      PROPPAGEINFO info{};
      QCOMPARE((active ? page_ : fresh)->GetPageInfo(&info), S_OK);
      QCOMPARE(QSize(info.width, info.height), expected);
      QCOMPARE(QString::fromUtf16(info.pszTitle), QStringLiteral("Full Name"));
      CoTaskMemFree(info.pszTitle);
    }
  }

  // Children listed in any order are shown sorted without regard to case,
  // whichever place each one lands in (first, last, between two others).
  void childrenListedOutOfOrderAreShownSorted() {
    QTreeWidget* tree = Open("");
    QTreeWidgetItem* boston = Path(tree, {"Corvane Services", "Veltrane Directory Services", "ACME", "US", "BOSTON"});
    QVERIFY(boston);
    boston->setExpanded(true);
    QCOMPARE(ChildTexts(boston), (QStringList{"a1", "alpha", "ALPHA2", "Bravo", "charlie", "CHARLIE1", "delta", "Echo",
                                              "m", "Mike", "zulu", "Zulu9"}));
  }

  // Items arrive under the wait cursor, with the tree not redrawing; both are
  // back when the expansion returns.
  void fillsRunUnderTheWaitCursorWithoutRedrawing() {
    QTreeWidget* tree = Open("");
    QTreeWidgetItem* o = Path(tree, {"Corvane Services", "Veltrane Directory Services", "ACME", "ACME"});
    int inserted = 0;
    int waiting = 0;
    int redrawing = 0;
    connect(tree->model(), &QAbstractItemModel::rowsInserted, tree, [&](const QModelIndex&, int first, int last) {
      const int rows = last - first + 1;
      inserted += rows;
      waiting += rows * (QApplication::overrideCursor() && QApplication::overrideCursor()->shape() == Qt::WaitCursor);
      redrawing += rows * tree->updatesEnabled();
    });
    o->setExpanded(true);
    QCOMPARE(inserted, 3);
    QCOMPARE(waiting, 3);
    QCOMPARE(redrawing, 0);
    QVERIFY(!QApplication::overrideCursor());
    QVERIFY(tree->updatesEnabled());
  }

  void selectionComposesFullName() {
    QTreeWidget* tree = Open("");
    QTreeWidgetItem* root = tree->topLevelItem(0);
    QTreeWidgetItem* sales =
        Path(tree, {"Corvane Services", "Veltrane Directory Services", "ACME", "ACME", "SALES"});
    QVERIFY(sales);
    tree->setCurrentItem(sales);
    QCOMPARE(page_->FullNameCopy(), QStringLiteral("CDS:\\\\ACME\\ACME\\SALES"));
    QVERIFY(!Dirty());
    sales->setExpanded(true);
    tree->setCurrentItem(ChildNamed(tree, sales, "SRV2"));
    QCOMPARE(page_->FullNameCopy(), QStringLiteral("CDS:\\\\ACME\\ACME\\SALES\\SRV2"));
    QVERIFY(Dirty());
    // The root leaves the copy as it is; the group nodes empty it.
    tree->setCurrentItem(root);
    QCOMPARE(page_->FullNameCopy(), QStringLiteral("CDS:\\\\ACME\\ACME\\SALES\\SRV2"));
    for (const char* group : {"Corvane Servers", "Veltrane Directory Services"}) {
      tree->setCurrentItem(root);
      tree->setCurrentItem(ChildNamed(tree, root, group));
      QCOMPARE(page_->FullNameCopy(), QString());
    }
    // A tree's own name serves as its dotted name.
    tree->setCurrentItem(Path(tree, {"Corvane Services", "Veltrane Directory Services", "ACME"}));
    QCOMPARE(page_->FullNameCopy(), QStringLiteral("CDS:\\\\ACME\\ACME"));
  }

  void applyingWritesTheCopyThroughTheDataExchange() {
    QTreeWidget* tree = Open("");
    tree->setCurrentItem(Path(tree, {"Corvane Services", "Corvane Servers", "SRV1"}));
    QVERIFY(Dirty());
    EXCEPINFO info{};
    QCOMPARE(page_->Apply(&info), S_OK);
    QCOMPARE(holder_->fullName, std::string("\\\\SRV1"));
    QVERIFY(!Dirty());
    // A container selected afterwards changes the copy but not the page:
    // Apply writes nothing.
    tree->setCurrentItem(Path(tree, {"Corvane Services", "Veltrane Directory Services", "ACME", "ACME", "SALES"}));
    QCOMPARE(page_->FullNameCopy(), QStringLiteral("CDS:\\\\ACME\\ACME\\SALES"));
    QVERIFY(!Dirty());
    QCOMPARE(page_->Apply(&info), S_OK);
    QCOMPARE(holder_->fullName, std::string("\\\\SRV1"));
  }

  // The frame over the real control: a tree item, applied, is refused by the
  // setter and the frame stays open with the error shown; a server object binds.
  void frameAppliesToTheControl() {
    QStringList errors;
    ole::ctl::SetErrorBox([&](QWidget*, const QString&, const QString& text) { errors << text; });
    ole::ctl::OleControlSite site;
    site.SetUserMode(true);
    QCOMPARE(site.CreateControl(cvsrva::CLSID_CvSrvAdm), S_OK);
    int step = 0;
    QTimer timer;
    connect(&timer, &QTimer::timeout, [&] {
      QWidget* frame = QApplication::activeModalWidget();
      if (!frame || frame->objectName() != QLatin1String("OlePropertyFrame")) return;
      auto* tree = frame->findChild<QTreeWidget*>("Tree1");
      auto* ok = frame->findChild<QPushButton*>("OK");
      if (step == 0) {
        // A listed server makes the page modified; the tree item is then what
        // OK applies.
        tree->setCurrentItem(Path(tree, {"Corvane Services", "Corvane Servers", "SRV1"}));
        tree->setCurrentItem(Path(tree, {"Corvane Services", "Veltrane Directory Services", "ACME"}));
        ok->click();
        step = 1;
      } else if (step == 1) {
        QTreeWidgetItem* sales = Path(tree, {"Corvane Services", "Veltrane Directory Services", "ACME", "ACME", "SALES"});
        sales->setExpanded(true);
        tree->setCurrentItem(ChildNamed(tree, sales, "SRV1"));
        ok->click();
        step = 2;
      }
    });
    timer.start(20);
    QCOMPARE(site.DoVerb(OLEIVERB_PROPERTIES), S_OK);
    ole::ctl::SetErrorBox({});
    QCOMPARE(step, 2);
    QCOMPARE(errors.size(), 1);  // the tree item, refused; the frame stayed open
    QVERIFY(!errors[0].isEmpty());
    auto& ctrl = *static_cast<cvsrva::CCvServerAdminCtrl*>(site.Dispatch());
    QCOMPARE(ctrl.GetFullName(), std::string("CDS:\\\\ACME\\ACME\\SALES\\SRV1"));
    QCOMPARE(ctrl.GetShortName(), std::string("SRV1"));
  }
};

QTEST_MAIN(BrowsePageTest)
#include "browse_test.moc"
