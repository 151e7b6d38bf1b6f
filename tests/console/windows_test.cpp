// The console's windows on the offscreen platform, with the real control
// registered in a temporary registry: the main window's layout and load
// step, the Server menu, and the settings and add/edit server dialogs.
#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>
#include <algorithm>
#include <fstream>
#include <memory>

#include "console/about.h"
#include "console/addeditserver.h"
#include "console/errors.h"
#include "console/main.h"
#include "console/savedlg.h"
#include "console/setting.h"
#include "console/startup.h"
#include "console/synmemo.h"
#include "corvane/agent_harness.h"
#include "olectl/site.h"
#include "support/run.h"
#include "support/slapd_fixture.h"
#include "support/temp_dir.h"
#include "test_host.h"

using console::TForm1;
using cvtest::Child;
using cvtest::TestHost;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// Clicks a button of the property frame once it is up, so that a verb that
// shows it modally returns.
class FrameCloser {
 public:
  explicit FrameCloser(const char* button) : button_(button) {
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      QWidget* modal = QApplication::activeModalWidget();
      if (!modal || modal->objectName() != QLatin1String("OlePropertyFrame")) return;
      if (auto* b = modal->findChild<QPushButton*>(QString::fromLatin1(button_))) b->click();
    });
    timer_.start(20);
  }

 private:
  const char* button_;
  QTimer timer_;
};

// Picks a server on the property frame once it is up: expands the path of
// item texts, selects the last one and presses button.
class FramePicker {
 public:
  FramePicker(QStringList path, const char* button) : path_(std::move(path)), button_(button) {
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      QWidget* modal = QApplication::activeModalWidget();
      if (!modal || modal->objectName() != QLatin1String("OlePropertyFrame")) return;
      auto* tree = modal->findChild<QTreeWidget*>(QStringLiteral("Tree1"));
      onTop_ = modal->windowFlags().testFlag(Qt::WindowStaysOnTopHint);
      owner_ = modal->parentWidget() ? modal->parentWidget()->window() : nullptr;
      QTreeWidgetItem* item = nullptr;
      for (const QString& text : path_) {
        QTreeWidgetItem* next = nullptr;
        const int n = item ? item->childCount() : tree->topLevelItemCount();
        for (int i = 0; i < n && !next; ++i) {
          QTreeWidgetItem* c = item ? item->child(i) : tree->topLevelItem(i);
          if (c->text(0) == text) next = c;
        }
        if (!next) break;
        item = next;
        if (&text != &path_.back()) item->setExpanded(true);
      }
      picked_ = item ? item->text(0) : QString();
      if (item) tree->setCurrentItem(item);
      if (auto* b = modal->findChild<QPushButton*>(QString::fromLatin1(button_))) b->click();
    });
    timer_.start(20);
  }
  const QString& picked() const { return picked_; }
  // The frame was on top, over this window.
  bool onTop() const { return onTop_; }
  QWidget* owner() const { return owner_; }

 private:
  bool onTop_ = false;
  QWidget* owner_ = nullptr;
  QStringList path_;
  const char* button_;
  QString picked_;
  QTimer timer_;
};

QStringList MenuTexts(QMenu* menu) {
  QStringList out;
  for (QAction* a : menu->actions()) out << (a->isSeparator() ? QStringLiteral("-") : a->text());
  return out;
}

}  // namespace

class WindowsTest : public QObject {
  Q_OBJECT

 private:
  testsupport::ScopedRegistry registry_;
  std::unique_ptr<TempDir> dir_;
  std::unique_ptr<TestHost> host_;
  std::unique_ptr<console::ConsoleWindows> windows_;

  std::string File(const char* name) const { return *dir_ / name; }
  void Start() {
    windows_ = console::CreateWindows(*host_);
    QVERIFY(windows_);
  }
  TForm1* Main() const { return windows_->main.get(); }
  console::TSettingform* Settings() const { return windows_->settings.get(); }
  console::TAddserver* AddServer() const { return windows_->addServer.get(); }

 private slots:
  void initTestCase() {
    const std::string failure = cvtest::UseBuiltControl(registry_);
    QVERIFY2(failure.empty(), failure.c_str());
  }

  void init() {
    dir_ = std::make_unique<TempDir>();
    host_ = std::make_unique<TestHost>(QString::fromStdString(dir_->path().string() + "/"));
  }

  void cleanup() {
    windows_.reset();
    host_.reset();
    dir_.reset();
  }

  void mainWindowLayout() {
    Start();
    TForm1* w = Main();
    QCOMPARE(w->windowTitle(), QStringLiteral("Webwarden32 Version 1.0-BETA"));
    QCOMPARE(w->centralWidget()->size(), QSize(765, 520));
    QCOMPARE(w->minimumSize(), w->maximumSize());
    QCOMPARE(w->font().family(), QStringLiteral("Liberation Sans"));
    QCOMPARE(w->font().pointSize(), 8);
    struct Element {
      const char* name;
      QRect geometry;
      const char* text;
      bool enabled;
    } elements[] = {
        {"SynMemo1", {8, 8, 745, 449}, nullptr, true},
        {"btSave", {8, 472, 75, 25}, "Save", false},
        {"btSaveAs", {96, 472, 75, 25}, "Save as", true},
        {"btClose", {184, 472, 75, 25}, "Close", true},
        {"btBackup", {272, 472, 75, 25}, "Make Backup", false},
        {"btPrint", {360, 472, 75, 25}, "Print", true},
        {"CvSrvAdm1", {568, 472, 28, 28}, nullptr, true},
        {"btExit", {672, 472, 75, 25}, "Exit Webwarden", true},
        {"StatusBar1", {0, 501, 765, 19}, nullptr, true},
    };
    for (const Element& e : elements) {
      QWidget* child = Child<QWidget>(w, e.name);
      QCOMPARE(child->geometry(), e.geometry);
      QCOMPARE(child->isEnabled(), e.enabled);
      if (e.text) QCOMPARE(qobject_cast<QPushButton*>(child)->text(), QString::fromLatin1(e.text));
    }
    struct Panel {
      int left, width;
      Qt::Alignment alignment;
      const char* text;
    } panels[] = {{0, 200, Qt::AlignLeft, "Path: "},   {200, 140, Qt::AlignLeft, "Servername: "},
                  {340, 120, Qt::AlignLeft, "Status:"}, {460, 100, Qt::AlignLeft, "Version:"},
                  {560, 20, Qt::AlignHCenter, ""},      {580, 30, Qt::AlignHCenter, "Mode"}};
    for (int i = 0; i < 6; ++i) {
      auto* label = Child<QLabel>(w, QStringLiteral("Panel%1").arg(i).toLatin1().constData());
      QCOMPARE(label->x(), panels[i].left);
      QCOMPARE(label->width(), panels[i].width);
      QCOMPARE(label->alignment() & Qt::AlignHorizontal_Mask, panels[i].alignment);
      QCOMPARE(label->text(), QString::fromLatin1(panels[i].text));
    }
    const QStringList menus[] = {
        {"Open", "Save", "Save as...", "Close", "Print", "Make Backup", "-", "Settings", "-", "Exit"},
        {"Undo", "-", "Cut", "Copy", "Paste", "-", "Select all"},
        {"Add new server...", "-"},
        {"Edit httpd.conf", "Edit..."},
        {"Start Apache", "Stop Apache", "Restart Apache"},
        {"View error_log", "View access_log", "View..."},
        {"Help", "Send email", "Homepage", "About"},
    };
    const QStringList titles{"File", "Edit", "Server", "Configuration", "Apache", "View", "Info"};
    const QList<QAction*> bar = w->menuBar()->actions();
    QCOMPARE(bar.size(), titles.size());
    for (int i = 0; i < titles.size(); ++i) {
      QCOMPARE(bar[i]->text(), titles[i]);
      QCOMPARE(MenuTexts(bar[i]->menu()), menus[i]);
    }
    // Initial states: Server menu hidden, both save and backup entries off.
    QVERIFY(!w->ServerMenuVisible());
    QVERIFY(!Child<QAction>(w, "Save1")->isEnabled());
    QVERIFY(!Child<QAction>(w, "MakeBackup1")->isEnabled());
    QVERIFY(Child<QAction>(w, "Saveas1")->isEnabled());
  }

  void editorSetup() {
    Start();
    console::TSynMemo* memo = Main()->SynMemo1();
    QCOMPARE(memo->font().family(), QStringLiteral("Liberation Mono"));
    QCOMPARE(memo->font().pointSize(), 10);
    QCOMPARE(memo->edgeColumn(), 90);
    QCOMPARE(memo->edgeMode(), QsciScintilla::EdgeLine);
    QVERIFY(!memo->isReadOnly());
    QCOMPARE(memo->text(), QString());
    const QFontMetrics metrics(memo->font());
    // The scroll range starts at the right edge and grows with longer lines.
    QCOMPARE(memo->SendScintilla(QsciScintilla::SCI_GETSCROLLWIDTH), long(metrics.horizontalAdvance('0') * 91));
    QCOMPARE(memo->SendScintilla(QsciScintilla::SCI_GETSCROLLWIDTHTRACKING), 1L);

    // The gutter grows with the number of digits and shrinks back.
    QCOMPARE(memo->GutterDigits(), 1);
    const int narrow = memo->marginWidth(0);
    memo->setText(QString(QStringLiteral("line\n")).repeated(1200));
    QCOMPARE(memo->GutterDigits(), 4);
    QVERIFY(memo->marginWidth(0) > narrow);
    memo->setText(QStringLiteral("one line"));
    QCOMPARE(memo->GutterDigits(), 1);
    QCOMPARE(memo->marginWidth(0), narrow);

    std::unique_ptr<QMenu> menu(memo->CreateContextMenu(nullptr));
    QCOMPARE(MenuTexts(menu.get()), (QStringList{"Cut", "Copy", "Paste", "-", "Select all"}));

    // Bookmarks: Ctrl+Shift+digit sets (and toggles) one, Ctrl+digit goes there.
    memo->setText(QStringLiteral("a\nb\nc\nd\n"));
    memo->setCursorPosition(2, 0);
    QTest::keyClick(memo, Qt::Key_3, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(memo->BookmarkLine(3), 2);
    memo->setCursorPosition(0, 0);
    QTest::keyClick(memo, Qt::Key_3, Qt::ControlModifier);
    int line = -1, index = -1;
    memo->getCursorPosition(&line, &index);
    QCOMPARE(line, 2);
    QTest::keyClick(memo, Qt::Key_3, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(memo->BookmarkLine(3), -1);
    // Block indent and unindent.
    memo->setSelection(0, 0, 1, 1);
    QTest::keyClick(memo, Qt::Key_I, Qt::ControlModifier | Qt::ShiftModifier);
    QVERIFY(memo->text(0).startsWith(QLatin1Char('\t')) && memo->text(1).startsWith(QLatin1Char('\t')));
    QTest::keyClick(memo, Qt::Key_U, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(memo->text(0), QStringLiteral("a\n"));
    // Undo and redo come with the editor.
    memo->setText(QString());
    QTest::keyClicks(memo, QStringLiteral("xy"));
    QTest::keyClick(memo, Qt::Key_Z, Qt::ControlModifier);
    QVERIFY(memo->text().size() < 2);
  }

  void startsWithoutIniFiles() {
    Start();
    QCOMPARE(Main()->PanelText(0), QStringLiteral("Path: "));
    QCOMPARE(Main()->PanelText(1), QStringLiteral("Servername: "));
    QCOMPARE(Main()->PanelText(4), QString());
    QCOMPARE(Main()->PanelText(5), QStringLiteral("Mode"));
    QVERIFY(!Main()->ServerMenuVisible());
    QVERIFY(host_->messages.isEmpty());
    QVERIFY(!QFileInfo::exists(QString::fromStdString(File("setting.ini"))));
    // Both dialogs start empty with nothing selected and the file fields on.
    for (console::TServerDialog* d : {static_cast<console::TServerDialog*>(Settings()),
                                      static_cast<console::TServerDialog*>(AddServer())}) {
      QCOMPARE(d->Fields(), console::ServerFields{});
      QVERIFY(Child<QLineEdit>(d, "QBTstart")->isEnabled());
    }
    QCOMPARE(Settings()->Mode(), console::Choice::None);
    QVERIFY(AddServer()->ListedServers().isEmpty());
  }

  void modeDecidesTheServerMenu_data() {
    QTest::addColumn<QString>("mode");
    QTest::addColumn<bool>("visible");
    QTest::addColumn<QString>("panel");
    QTest::newRow("Expert") << "Expert" << true << "E";
    QTest::newRow("Simple") << "Simple" << false << "S";
    QTest::newRow("lower case") << "expert" << false << "";
  }
  void modeDecidesTheServerMenu() {
    QFETCH(QString, mode);
    QFETCH(bool, visible);
    QFETCH(QString, panel);
    WriteFile(File("setting.ini"), "[Main]\r\nServername=SRV1\r\nMode=" + mode.toStdString() + "\r\n");
    WriteFile(File("server.ini"), "[C]\r\nServername=C\r\n[a]\r\nServername=a\r\n[B]\r\nServername=B\r\n");
    Start();
    QCOMPARE(Main()->ServerMenuVisible(), visible);
    QCOMPARE(Main()->PanelText(4), panel);
    QCOMPARE(MenuTexts(Child<QMenu>(Main(), "Server1")), (QStringList{"Add new server...", "-", "C", "a", "B"}));
    QCOMPARE(Settings()->Mode(), mode == QLatin1String("Expert") ? console::Choice::Second
                                 : mode == QLatin1String("Simple") ? console::Choice::First
                                                                   : console::Choice::None);
  }

  void serverEntryPicksItsServername() {
    WriteFile(File("server.ini"),
              "[A]\r\nServername=B\r\nApachePath=/srv/b\r\nHandle=QBT\r\n[N]\r\nServername=N\r\nApachePath=/n\r\n"
              "[R&D]\r\nServername=RD\r\n");
    Start();
    QMenu* menu = Child<QMenu>(Main(), "Server1");
    QCOMPARE(menu->actions().last()->text(), QStringLiteral("R&&D"));  // no accelerator mark
    menu->actions().at(2)->trigger();
    QCOMPARE(Main()->Model().CurrentServer(), QStringLiteral("B"));
    QCOMPARE(Main()->Model().ApacheDir(), QStringLiteral("/srv/b"));
    QCOMPARE(Main()->PanelText(0), QStringLiteral("Path: /srv/b"));
    QCOMPARE(Main()->PanelText(1), QStringLiteral("Servername: B"));
    QCOMPARE(Main()->PanelText(5), QStringLiteral("QBT"));
    menu->actions().at(3)->trigger();
    QCOMPARE(Main()->PanelText(5), QStringLiteral("QBT"));  // a section without Handle leaves panel 5
    QCOMPARE(Main()->Model().CurrentServer(), QStringLiteral("N"));
    menu->actions().at(4)->trigger();
    QCOMPARE(Main()->Model().CurrentServer(), QStringLiteral("RD"));
  }

  void settingsLoadTrimsAndSaveKeepsTypedName() {
    WriteFile(File("setting.ini"), "[Main]\r\nServername=\" SRV1 \"\r\nMode=Expert\r\n");
    WriteFile(File("server.ini"),
              "[SRV1]\r\nServername=SRV1\r\nApachePath=F:\\APACHE\r\nApacheVersion=1.3.xx\r\nHandle=QRX\r\n"
              "Start=ASTART\r\nStop=ASTOP\r\nRestart=-\r\nUseRestart=YES\r\n");
    Start();
    console::ServerFields f = Settings()->Fields();
    QCOMPARE(f.serverName, QStringLiteral("SRV1"));
    QCOMPARE(f.apacheDir, QStringLiteral("F:\\APACHE"));
    QCOMPARE(f.version, console::Choice::First);
    QCOMPARE(f.handle, console::Choice::First);
    QVERIFY(f.useRestart);
    QVERIFY(!Child<QLineEdit>(Settings(), "QBTstart")->isEnabled());
    QVERIFY(!Child<QCheckBox>(Settings(), "cbRestart")->isEnabled());
    // The add/edit dialog takes the name untrimmed.
    QCOMPARE(AddServer()->Fields().serverName, QStringLiteral(" SRV1 "));

    Child<QLineEdit>(Settings(), "EditSrvName")->setText(QStringLiteral(" SRV2"));
    Child<QPushButton>(Settings(), "btSave")->click();
    QVERIFY(host_->messages.isEmpty());
    const QString setting = QString::fromStdString(ReadFile(File("setting.ini")));
    QVERIFY2(setting.contains(QStringLiteral("Servername= SRV2")) || setting.contains(QStringLiteral("Servername=\" SRV2")),
             qPrintable(setting));
    // The profile functions trim section names as they do keys.
    QCOMPARE(console::IniFile(QString::fromStdString(File("server.ini"))).Sections(), (QStringList{"SRV1", "SRV2"}));
  }

  void settingsSaveWritesNeitherFileWhenTheNameIsRefused() {
    const std::string setting = "[Main]\r\nServername=SRV1\r\nMode=Expert\r\n";
    const std::string server = "[SRV1]\r\nServername=SRV1\r\nApachePath=/srv\r\n";
    WriteFile(File("setting.ini"), setting);
    WriteFile(File("server.ini"), server);
    Start();
    for (const char* name : {"", "SRV]1", "SRV\n1"}) {
      host_->messages.clear();
      Child<QLineEdit>(Settings(), "EditSrvName")->setText(QString::fromLatin1(name));
      QTest::mouseClick(Child<QRadioButton>(Settings(), "rbSimpleMode"), Qt::LeftButton);
      Child<QPushButton>(Settings(), "btSave")->click();
      QCOMPARE(host_->messages.size(), 1);
      QVERIFY2(host_->messages[0].endsWith(QStringLiteral("Nothing was saved.")), qPrintable(host_->messages[0]));
      QCOMPARE(ReadFile(File("setting.ini")), setting);
      QCOMPARE(ReadFile(File("server.ini")), server);
    }
    // The add/edit dialog refuses the same way.
    host_->messages.clear();
    Child<QLineEdit>(AddServer(), "EditSrvName")->setText(QStringLiteral("A]B"));
    Child<QPushButton>(AddServer(), "btSave")->click();
    QCOMPARE(host_->messages.size(), 1);
    QCOMPARE(ReadFile(File("server.ini")), server);
    // A restart still finds the current server.
    windows_.reset();
    Start();
    QCOMPARE(Main()->Model().CurrentServer(), QStringLiteral("SRV1"));
    QCOMPARE(Main()->PanelText(0), QStringLiteral("Path: /srv"));
  }

  void handleButtonsSwitchTheFileFields() {
    WriteFile(File("server.ini"), "[S]\r\nHandle=qrx\r\n");
    WriteFile(File("setting.ini"), "[Main]\r\nServername=S\r\n");
    Start();
    console::TSettingform* d = Settings();
    QCOMPARE(d->Fields().handle, console::Choice::None);
    QVERIFY(Child<QLineEdit>(d, "QBTstop")->isEnabled());
    Child<QLineEdit>(d, "QBTstop")->setText(QStringLiteral("ASTOP"));
    QTest::mouseClick(Child<QRadioButton>(d, "cbQRX"), Qt::LeftButton);
    for (const char* name : {"QBTstart", "QBTstop", "QBTrestart", "cbRestart"}) QVERIFY(!Child<QWidget>(d, name)->isEnabled());
    QCOMPARE(Child<QLineEdit>(d, "QBTstop")->text(), QStringLiteral("ASTOP"));
    QTest::mouseClick(Child<QRadioButton>(d, "cbQBT"), Qt::LeftButton);
    for (const char* name : {"QBTstart", "QBTstop", "QBTrestart", "cbRestart"}) QVERIFY(Child<QWidget>(d, name)->isEnabled());
  }

  void saveWithEmptyFileFieldsWritesDashes() {
    Start();
    console::TSettingform* d = Settings();
    Child<QLineEdit>(d, "EditSrvName")->setText(QStringLiteral("SRV1"));
    QTest::mouseClick(Child<QRadioButton>(d, "cbQRX"), Qt::LeftButton);
    Child<QPushButton>(d, "btSave")->click();
    const console::IniFile ini(QString::fromStdString(File("server.ini")));
    for (const char* key : {"Start", "Stop", "Restart"}) QCOMPARE(ini.Read("SRV1", key), QStringLiteral("-"));
    QCOMPARE(ini.Read("SRV1", "UseRestart"), QStringLiteral("NO"));
    QCOMPARE(ini.Read("SRV1", "Handle"), QStringLiteral("QRX"));
    QCOMPARE(ini.Read("SRV1", "ApacheVersion"), QStringLiteral("2.0.xx"));
    QCOMPARE(Child<QLineEdit>(d, "QBTrestart")->text(), QStringLiteral("-"));
    const console::IniFile setting(QString::fromStdString(File("setting.ini")));
    QCOMPARE(setting.Read("Main", "Mode"), QString());
    QVERIFY(setting.Exists());
    // Saving changes nothing in the main window.
    QCOMPARE(Main()->PanelText(1), QStringLiteral("Servername: "));
  }

  void addServerKeepsTheListSortedAndTheMenuWithoutDuplicates() {
    WriteFile(File("server.ini"), "[srv9]\r\nServername=srv9\r\n[Alpha]\r\nServername=Alpha\r\n");
    Start();
    console::TAddserver* d = AddServer();
    QCOMPARE(d->ListedServers(), (QStringList{"Alpha", "srv9"}));
    Main()->Addnewserver1Click();
    QVERIFY(d->isVisible());
    QVERIFY(!d->isModal());
    QVERIFY(d->windowFlags() & Qt::WindowStaysOnTopHint);
    Child<QLineEdit>(d, "EditSrvName")->setText(QStringLiteral("Beta"));
    Child<QPushButton>(d, "btSave")->click();
    Child<QPushButton>(d, "btSave")->click();  // the same name twice: one section
    QCOMPARE(d->ListedServers(), (QStringList{"Alpha", "Beta", "srv9"}));
    QCOMPARE(MenuTexts(Child<QMenu>(Main(), "Server1")), (QStringList{"Add new server...", "-", "srv9", "Alpha"}));
    for (int i = 0; i < 3; ++i) {
      Child<QPushButton>(d, "btClose")->click();
      QVERIFY(!d->isVisible());
      Main()->Addnewserver1Click();
    }
    QCOMPARE(MenuTexts(Child<QMenu>(Main(), "Server1")),
             (QStringList{"Add new server...", "-", "srv9", "Alpha", "Beta"}));
  }

  // The Server menu lists what was saved in the add/edit dialog however the
  // dialog is closed.
  void serverMenuIsRebuiltHoweverTheAddDialogCloses_data() {
    QTest::addColumn<int>("how");
    QTest::newRow("Close settings") << 0;
    QTest::newRow("Escape") << 1;
    QTest::newRow("title bar") << 2;
  }
  void serverMenuIsRebuiltHoweverTheAddDialogCloses() {
    QFETCH(int, how);
    WriteFile(File("setting.ini"), "[Main]\r\nMode=Expert\r\n");
    Start();
    console::TAddserver* d = AddServer();
    Main()->Addnewserver1Click();
    QVERIFY(QTest::qWaitForWindowExposed(d));
    Child<QLineEdit>(d, "EditSrvName")->setText(QStringLiteral("NEW1"));
    Child<QPushButton>(d, "btSave")->click();
    QCOMPARE(MenuTexts(Child<QMenu>(Main(), "Server1")), (QStringList{"Add new server...", "-"}));
    if (how == 0) Child<QPushButton>(d, "btClose")->click();
    if (how == 1) QTest::keyClick(Child<QLineEdit>(d, "EditSrvName"), Qt::Key_Escape);
    if (how == 2) QVERIFY(d->close());
    QVERIFY(!d->isVisible());
    QCOMPARE(MenuTexts(Child<QMenu>(Main(), "Server1")), (QStringList{"Add new server...", "-", "NEW1"}));
  }

  void doubleClickLoadsTheSection() {
    WriteFile(File("server.ini"),
              "[Alpha]\r\nServername=Alpha\r\nApachePath=/a\r\nApacheVersion=1.3.xx\r\nHandle=QBT\r\nUseRestart=YES\r\n"
              "[Beta]\r\nServername=Beta\r\nApachePath=/b\r\nUseRestart=\r\n");
    Start();
    console::TAddserver* d = AddServer();
    auto* list = Child<QListWidget>(d, "ListBox1");
    d->ListBox1DblClick();  // nothing selected: ignored
    QCOMPARE(d->Fields().serverName, QString());
    list->setCurrentRow(0);
    d->ListBox1DblClick();
    QCOMPARE(d->Fields().serverName, QStringLiteral("Alpha"));
    QCOMPARE(d->Fields().apacheDir, QStringLiteral("/a"));
    QVERIFY(d->Fields().useRestart);
    list->setCurrentRow(1);
    d->ListBox1DblClick();
    QCOMPARE(d->Fields().serverName, QStringLiteral("Beta"));
    QCOMPARE(d->Fields().apacheDir, QStringLiteral("/b"));
    QVERIFY2(d->Fields().useRestart, "an empty UseRestart leaves the check box");
    QCOMPARE(d->Fields().version, console::Choice::First);
  }

  void settingsCloseShowsOrHidesTheServerMenu() {
    Start();
    Main()->Settings1Click();
    QVERIFY(Settings()->isVisible());
    Child<QRadioButton>(Settings(), "rbExpertMode")->setChecked(true);
    Child<QPushButton>(Settings(), "btClose")->click();
    QVERIFY(Main()->ServerMenuVisible());
    QVERIFY(!Settings()->isVisible());
    Child<QRadioButton>(Settings(), "rbSimpleMode")->setChecked(true);
    Settings()->btCloseClick();
    QVERIFY(!Main()->ServerMenuVisible());
    QVERIFY2(!QFileInfo::exists(QString::fromStdString(File("setting.ini"))), "closing writes nothing");
  }

  // Keyboard access: Alt and a menu's first letter open it (a hidden menu
  // stays shut), F10 opens the first; the captions stay as they are.
  void menusOpenFromTheKeyboard() {
    WriteFile(File("setting.ini"), "[Main]\r\nMode=Simple\r\n");
    Start();
    Main()->show();
    Main()->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(Main()));
    QMenuBar* bar = Main()->menuBar();
    const struct {
      Qt::Key key;
      const char* menu;
    } keys[] = {{Qt::Key_F, "File1"},  {Qt::Key_E, "Edit2"}, {Qt::Key_C, "Configuration1"},
                {Qt::Key_A, "Apache1"}, {Qt::Key_V, "View1"}, {Qt::Key_I, "Info1"}};
    for (const auto& k : keys) {
      QMenu* menu = Child<QMenu>(Main(), k.menu);
      QTest::keyClick(Main()->SynMemo1(), k.key, Qt::AltModifier);
      QTRY_VERIFY2(menu->isVisible(), k.menu);
      QCOMPARE(bar->activeAction(), menu->menuAction());
      QVERIFY(!menu->title().contains(QLatin1Char('&')));
      QTest::keyClick(menu, Qt::Key_Escape);
      QTRY_VERIFY(!menu->isVisible());
      if (QWidget* focus = QApplication::focusWidget()) QTest::keyClick(focus, Qt::Key_Escape);
      Main()->activateWindow();
      QVERIFY(QTest::qWaitForWindowActive(Main()));
    }
    QTest::keyClick(Main()->SynMemo1(), Qt::Key_S, Qt::AltModifier);  // the Server menu is hidden
    QTest::qWait(50);
    QVERIFY(!Child<QMenu>(Main(), "Server1")->isVisible());
    QTest::keyClick(Main()->SynMemo1(), Qt::Key_F10);
    QTRY_VERIFY(Child<QMenu>(Main(), "File1")->isVisible());
    Child<QMenu>(Main(), "File1")->hide();
  }

  // Tab stops at the selected radio button of a group (the first while none
  // is), reaches the folder button after the directory field, and Enter
  // presses "Save settings".
  void settingsFromTheKeyboard() {
    WriteFile(File("server.ini"), "[SRV1]\r\nServername=SRV1\r\nApacheVersion=2.0.xx\r\n");
    WriteFile(File("setting.ini"), "[Main]\r\nServername=SRV1\r\n");
    Start();
    console::TSettingform* s = Settings();
    Main()->Settings1Click();
    QVERIFY(QTest::qWaitForWindowActive(s));
    auto* name = Child<QLineEdit>(s, "EditSrvName");
    name->setFocus();
    QStringList stops;
    for (int i = 0; i < 30; ++i) {
      QWidget* focus = QApplication::focusWidget();
      QVERIFY(focus);
      if (i > 0 && focus == name) break;
      stops << focus->objectName();
      QTest::keyClick(focus, Qt::Key_Tab);
    }
    QVERIFY2(stops.contains(QStringLiteral("EditApDirFolder")), qPrintable(stops.join(' ')));
    QCOMPARE(stops.indexOf(QStringLiteral("EditApDirFolder")), stops.indexOf(QStringLiteral("EditApDir")) + 1);
    QVERIFY2(stops.contains(QStringLiteral("Apache2")) && !stops.contains(QStringLiteral("Apache1")),
             qPrintable(stops.join(' ')));
    QVERIFY2(stops.contains(QStringLiteral("cbQRX")) && !stops.contains(QStringLiteral("cbQBT")),
             qPrintable(stops.join(' ')));
    QVERIFY(stops.contains(QStringLiteral("btGetServer")) && stops.contains(QStringLiteral("btClose")));
    // Space on the folder button opens the picker.
    host_->pickedDirectory = QStringLiteral("/srv/picked");
    QTest::keyClick(Child<QWidget>(s, "EditApDirFolder"), Qt::Key_Space);
    QCOMPARE(Child<QLineEdit>(s, "EditApDir")->text(), QStringLiteral("/srv/picked"));
    // Enter in a field presses the default button.
    QVERIFY(Child<QPushButton>(s, "btSave")->isDefault());
    QTest::keyClick(name, Qt::Key_Return);
    QVERIFY(ReadFile(File("server.ini")).find("ApachePath=/srv/picked") != std::string::npos);
    QVERIFY(s->isVisible());
    for (const char* dialog : {"Save", "aboutform"}) {
      QWidget* w = dialog == std::string("Save") ? static_cast<QWidget*>(windows_->save.get()) : windows_->about.get();
      const QList<QPushButton*> buttons = w->findChildren<QPushButton*>();
      QVERIFY(std::count_if(buttons.begin(), buttons.end(), [](QPushButton* b) { return b->isDefault(); }) == 1);
    }
  }

  // Every window comes up inside the screen's available area, its top left
  // corner first when it is larger.
  void windowsArePlacedInsideTheScreen_data() {
    QTest::addColumn<QRect>("frame");
    QTest::addColumn<QRect>("available");
    QTest::addColumn<QPoint>("expected");
    QTest::newRow("fits: centred") << QRect(0, 0, 400, 300) << QRect(0, 0, 1280, 900) << QPoint(440, 300);
    QTest::newRow("offset area") << QRect(0, 0, 400, 300) << QRect(100, 30, 800, 600) << QPoint(300, 180);
    QTest::newRow("larger: top left") << QRect(0, 0, 1530, 1100) << QRect(0, 0, 1280, 900) << QPoint(0, 0);
    QTest::newRow("wider only") << QRect(0, 0, 700, 200) << QRect(0, 24, 640, 426) << QPoint(0, 137);
    QTest::newRow("taller only") << QRect(0, 0, 200, 500) << QRect(10, 30, 640, 420) << QPoint(230, 30);
  }
  void windowsArePlacedInsideTheScreen() {
    QFETCH(QRect, frame);
    QFETCH(QRect, available);
    QFETCH(QPoint, expected);
    QCOMPARE(console::PlaceInside(frame, available), expected);
  }
  void aWindowLargerThanTheScreenKeepsItsCornerOnIt() {
    QWidget big;
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    big.resize(area.width() + 300, area.height() + 200);
    console::ShowCentred(&big);
    QVERIFY(QTest::qWaitForWindowExposed(&big));
    QVERIFY2(area.contains(big.frameGeometry().topLeft()),
             qPrintable(QStringLiteral("%1,%2").arg(big.frameGeometry().x()).arg(big.frameGeometry().y())));
  }

  // A long Apache folder is shortened in its middle, the whole path in the
  // tooltip; a short one is shown as it is.
  void statusBarShortensALongPath() {
    const std::string path = "/home/someone/.local/share/webwarden32-demo/DEMO1/APACHE";
    WriteFile(File("setting.ini"), "[Main]\r\nServername=DEMO1\r\n");
    WriteFile(File("server.ini"), "[DEMO1]\r\nServername=DEMO1\r\nApachePath=" + path + "\r\n[S]\r\nServername=S\r\n"
                                  "ApachePath=/srv\r\n");
    Start();
    auto* panel = Child<QLabel>(Main(), "Panel0");
    const QString full = QStringLiteral("Path: ") + QString::fromStdString(path);
    QCOMPARE(Main()->PanelText(0), full);
    const QString shown = Main()->ShownPanelText(0);
    QCOMPARE(panel->text(), shown);
    QVERIFY2(shown.startsWith(QLatin1String("Path: /")) && shown.endsWith(QLatin1String("APACHE")) &&
                 shown.contains(QChar(0x2026)),
             qPrintable(shown));
    QVERIFY(panel->fontMetrics().horizontalAdvance(shown) <= panel->contentsRect().width());
    QCOMPARE(panel->toolTip(), full);
    Main()->ServerClick(QStringLiteral("S"));
    QCOMPARE(Main()->ShownPanelText(0), QStringLiteral("Path: /srv"));
    QCOMPARE(panel->toolTip(), QString());
  }

  void directoryFieldUsesTheFolderPicker() {
    Start();
    auto* edit = Child<QLineEdit>(Settings(), "EditApDir");
    edit->setText(QStringLiteral("/old"));
    host_->pickedDirectory = QStringLiteral("/srv/SYS/APACHE");
    Child<QAction>(Settings(), "EditApDirButton")->trigger();
    QCOMPARE(host_->pickerStarts, QStringList{"/old"});
    QCOMPARE(edit->text(), QStringLiteral("/srv/SYS/APACHE"));
    host_->pickedDirectory.clear();  // cancelled: the text stays
    Child<QAction>(Settings(), "EditApDirButton")->trigger();
    QCOMPARE(edit->text(), QStringLiteral("/srv/SYS/APACHE"));
  }

  void getServerWithoutBindingReportsTheControlsError() {
    Start();
    auto* name = Child<QLineEdit>(Settings(), "EditSrvName");
    name->setText(QStringLiteral("typed"));
    FrameCloser closer("Cancel");
    Child<QPushButton>(Settings(), "btGetServer")->click();
    QCOMPARE(host_->messages.size(), 1);
    QVERIFY(!host_->messages[0].isEmpty());
    QCOMPARE(name->text(), QStringLiteral("typed"));
  }

  void getServerTakesTheControlsShortName() {
    cvtest::AgentProcess agent;
    QVERIFY(agent.Start());
    agent.WriteClientIni("ADMIN");
    Start();
    console::TAddserver* d = AddServer();
    d->CvSrvAdm1().SetFullName(QStringLiteral("\\\\SRV1"));
    FrameCloser closer("Cancel");
    Child<QPushButton>(d, "btGetServer")->click();
    QVERIFY2(host_->messages.isEmpty(), qPrintable(host_->messages.join('\n')));
    QCOMPARE(Child<QLineEdit>(d, "EditSrvName")->text(), QStringLiteral("SRV1"));
    ::setenv("CORVANE_CLIENT", (registry_.dir() / "client.ini").c_str(), 1);
  }

  // The browse page opens at the server the dialog's field names, though the
  // dialog's control was bound to none yet. (Before the directory case
  // below: the page keeps the library's first connection, which would then
  // be the directory's DEMO1, gone with its agent.)
  void theBrowsePageOpensAtTheServerInTheField() {
    cvtest::AgentProcess agent;
    QVERIFY(agent.Start());
    agent.WriteClientIni("ADMIN");
    WriteFile(File("setting.ini"), "[Main]\r\nServername=SRV1\r\n");
    Start();
    console::TAddserver* d = AddServer();
    QCOMPARE(d->CvSrvAdm1().FullName(), QString());
    QString selected;
    QTimer timer;
    connect(&timer, &QTimer::timeout, [&] {
      QWidget* modal = QApplication::activeModalWidget();
      if (!modal || modal->objectName() != QLatin1String("OlePropertyFrame")) return;
      QTreeWidgetItem* current = modal->findChild<QTreeWidget*>(QStringLiteral("Tree1"))->currentItem();
      for (QTreeWidgetItem* i = current; i; i = i->parent()) selected.prepend(i->text(0) + QLatin1Char('/'));
      modal->findChild<QPushButton*>(QStringLiteral("Cancel"))->click();
    });
    timer.start(20);
    Child<QPushButton>(d, "btGetServer")->click();
    QVERIFY2(host_->messages.isEmpty(), qPrintable(host_->messages.join('\n')));
    QCOMPARE(selected, QStringLiteral("Corvane Services/Corvane Servers/SRV1/"));
    QCOMPARE(Child<QLineEdit>(d, "EditSrvName")->text(), QStringLiteral("SRV1"));
    windows_.reset();
    ::setenv("CORVANE_CLIENT", (registry_.dir() / "client.ini").c_str(), 1);
  }

  // The demo's way: DEMO1 is a server object under ACME/SALES in the
  // directory, and the agent answers as DEMO1.
  void getServerPicksFromTheBrowseTree() {
    cvtest::AgentProcess agent;
    agent.serverName = "DEMO1";
    QVERIFY(agent.Start());
    testsupport::Slapd slapd(0);
    slapd.extraLdif = "dn: cn=DEMO1,ou=SALES,o=ACME,dc=corvane,dc=test\nobjectClass: kcpServer\ncn: DEMO1\n"
                      "kcpNetworkAddress: 127.0.0.1:" + std::to_string(agent.port()) + "\n\n";
    QVERIFY2(slapd.Start(), slapd.Log().c_str());
    agent.WriteClientIni("ADMIN");
    std::ofstream(agent.dir() / "client.ini", std::ios::app) << "[Trees]\nACME=" << slapd.treeUrl() << "\n";
    Start();
    const QStringList demo1{"Corvane Services", "Veltrane Directory Services", "ACME", "ACME", "SALES", "DEMO1"};
    for (QWidget* dialog : {static_cast<QWidget*>(Settings()), static_cast<QWidget*>(AddServer())}) {
      auto* name = Child<QLineEdit>(dialog, "EditSrvName");
      name->setText(QStringLiteral("typed"));
      {
        FramePicker picker(demo1, "OK");
        Child<QPushButton>(dialog, "btGetServer")->click();
        QCOMPARE(picker.picked(), QStringLiteral("DEMO1"));
        QCOMPARE(picker.owner(), dialog);
        QVERIFY(picker.onTop());
      }
      QVERIFY2(host_->messages.isEmpty(), qPrintable(host_->messages.join('\n')));
      QCOMPARE(name->text(), QStringLiteral("DEMO1"));
      // Cancelled: the field shows the name the control holds, still DEMO1.
      name->setText(QStringLiteral("typed"));
      {
        FramePicker picker({"Corvane Services", "Corvane Servers", "DEMO1"}, "Cancel");
        Child<QPushButton>(dialog, "btGetServer")->click();
        QCOMPARE(picker.picked(), QStringLiteral("DEMO1"));
      }
      QCOMPARE(name->text(), QStringLiteral("DEMO1"));
    }
    QVERIFY(host_->messages.isEmpty());
    windows_.reset();
    ::setenv("CORVANE_CLIENT", (registry_.dir() / "client.ini").c_str(), 1);
  }

  void automationErrorsCarryCodeAndText() {
    Start();
    try {
      Main()->CvSrvAdm1().SetFullName(QStringLiteral("no backslashes"));
      QFAIL("no exception");
    } catch (const console::EOleException& e) {
      QVERIFY(e.Code() != 0 || e.Scode() != 0);
      QVERIFY(!e.Text().isEmpty());
    }
    // The general error report shows it and the program goes on.
    Main()->Run([&] { Main()->CvSrvAdm1().SetFullName(QStringLiteral("no backslashes")); });
    QCOMPARE(host_->messages.size(), 1);
    bool ranOn = false;
    Main()->Run([&] { ranOn = true; });
    QVERIFY(ranOn);
  }

  void wrapperDispidsMatchTheControl() {
    Start();
    IDispatch* dispatch = Main()->CvSrvAdm1().Site()->Dispatch();
    struct Member {
      const char16_t* name;
      DISPID dispid;
    } members[] = {{u"FullName", console::TCvSrvAdm::dispidFullName},
                   {u"ShortName", console::TCvSrvAdm::dispidShortName},
                   {u"ExecuteProfile", console::TCvSrvAdm::dispidExecuteProfile},
                   {u"LoadQRX", console::TCvSrvAdm::dispidLoadQRX},
                   {u"UnloadQRX", console::TCvSrvAdm::dispidUnloadQRX}};
    for (const Member& m : members) {
      std::u16string name(m.name);
      LPOLESTR names[] = {name.data()};
      DISPID id = 0;
      QCOMPARE(dispatch->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK);
      QCOMPARE(id, m.dispid);
    }
  }

  void smallDialogs() {
    Start();
    console::Taboutform* about = windows_->about.get();
    QCOMPARE(about->windowTitle(), QStringLiteral("About Webwarden32"));
    Main()->About1Click();
    Main()->About1Click();
    QVERIFY(about->isVisible());
    QVERIFY(!(about->windowFlags() & Qt::WindowCloseButtonHint));
    QVERIFY(about->windowFlags() & Qt::WindowStaysOnTopHint);
    QVERIFY(!(windows_->save->windowFlags() & Qt::WindowStaysOnTopHint));
    QVERIFY(Settings()->windowFlags() & Qt::WindowStaysOnTopHint);
    QCOMPARE(Child<QPushButton>(about, "Button1")->geometry(), QRect(136, 88, 75, 25));
    QCOMPARE(Child<QLabel>(about, "Label1")->geometry(), QRect(8, 8, 309, 65));
    Child<QPushButton>(about, "Button1")->click();
    QVERIFY(!about->isVisible());
    QCOMPARE(windows_->save->windowTitle(), QStringLiteral("Don't forget so save"));
    QCOMPARE(Child<QPushButton>(windows_->save.get(), "Button2")->text(), QStringLiteral("Back to file"));
    QCOMPARE(Child<QPushButton>(windows_->save.get(), "Button3")->text(), QStringLiteral("Close anyway"));
    QCOMPARE(Settings()->size(), QSize(520, 388));
    QCOMPARE(AddServer()->size(), QSize(548, 378));
    QCOMPARE(Child<QListWidget>(AddServer(), "ListBox1")->size(), QSize(121, 185));
    for (QWidget* d : std::initializer_list<QWidget*>{Settings(), AddServer()})
      QCOMPARE(Child<QWidget>(d, "CvSrvAdm1")->size(), QSize(28, 28));
  }
};

QTEST_MAIN(WindowsTest)
#include "windows_test.moc"
