// What the console shows on the desktop, on the offscreen platform with the
// real control: message boxes above the dialogs that stay on top, the Info
// menu's targets (the help page beside the program, and what is said when
// the desktop cannot open them), and the editor's context menu going
// through the Edit menu's handlers.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>
#include <csignal>
#include <filesystem>
#include <functional>
#include <memory>

#include "console/about.h"
#include "console/addeditserver.h"
#include "console/errors.h"
#include "console/host.h"
#include "console/info.h"
#include "console/main.h"
#include "console/setting.h"
#include "console/startup.h"
#include "console/synmemo.h"
#include "support/run.h"
#include "support/temp_dir.h"
#include "test_host.h"

using console::TForm1;
using cvtest::Child;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// Real message boxes when asked for; the desktop's "open" recorded and
// answered.
class DesktopHost : public cvtest::TestHost {
 public:
  using TestHost::TestHost;
  void ShowMessage(QWidget* parent, const QString& text) override {
    if (realBoxes)
      Host::ShowMessage(parent, text);
    else
      TestHost::ShowMessage(parent, text);
  }
  bool OpenUrl(QWidget* owner, const QUrl& url) override {
    opened << url;
    if (realOpen) return Host::OpenUrl(owner, url);
    return desktopOpens;
  }

  bool realBoxes = false;
  bool realOpen = false;
  bool desktopOpens = true;
  QList<QUrl> opened;
};

// What a message box looked like when it came up.
struct SeenBox {
  QWidget* parent = nullptr;
  bool staysOnTop = false;
  QString text;
};

// Runs show, which brings up a message box, and closes the box once it is
// up; returns what it saw.
SeenBox WhenTheBoxComesUp(const std::function<void()>& show) {
  SeenBox seen;
  QTimer poll;
  poll.setInterval(10);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible()) return;
    seen.parent = box->parentWidget();
    seen.staysOnTop = box->windowFlags().testFlag(Qt::WindowStaysOnTopHint);
    seen.text = box->text();
    box->button(QMessageBox::Ok)->click();
  });
  poll.start();
  show();
  return seen;
}

}  // namespace

class DesktopTest : public QObject {
  Q_OBJECT

 private:
  testsupport::ScopedRegistry registry_;
  std::unique_ptr<TempDir> dir_;
  std::unique_ptr<DesktopHost> host_;
  std::unique_ptr<console::ConsoleWindows> windows_;
  QString startDir_;

  TForm1* Main() const { return windows_->main.get(); }

 private slots:
  void initTestCase() {
    const std::string failure = cvtest::UseBuiltControl(registry_);
    QVERIFY2(failure.empty(), failure.c_str());
    startDir_ = QDir::currentPath();
  }

  void init() {
    dir_ = std::make_unique<TempDir>();
    host_ = std::make_unique<DesktopHost>(QString::fromStdString(dir_->path().string() + "/"));
    WriteFile(*dir_ / "setting.ini", "[Main]\r\nServername=SRV1\r\nMode=Expert\r\n");
    windows_ = console::CreateWindows(*host_);
    QVERIFY(windows_);
    console::ShowCentred(Main());
  }

  void cleanup() {
    QDir::setCurrent(startDir_);
    windows_.reset();
    host_.reset();
    dir_.reset();
  }

  void messageBoxesComeUpAboveTheDialogsThatStayOnTop() {
    host_->realBoxes = true;
    QWidget* settings = windows_->settings.get();
    QWidget* about = windows_->about.get();
    QWidget* addServer = windows_->addServer.get();
    struct Case {
      const char* name;
      std::vector<QWidget*> shown;  // in this order
      QWidget* owner;
      bool staysOnTop;
    } cases[] = {
        {"no dialog", {}, Main(), false},
        {"Settings", {settings}, settings, true},
        {"About", {about}, about, true},
        {"Add/Edit", {addServer}, addServer, true},
        {"Settings, then About", {settings, about}, about, true},
        {"About, then Settings", {about, settings}, settings, true},
    };
    for (const Case& c : cases) {
      for (QWidget* w : {settings, about, addServer}) w->hide();
      for (QWidget* w : c.shown) console::ShowCentred(w);
      // An Apache command's message and the general error report, both
      // asked for on the main window.
      const SeenBox message =
          WhenTheBoxComesUp([&] { host_->ShowMessage(Main(), QStringLiteral("Starting Apache was successful.")); });
      const SeenBox error = WhenTheBoxComesUp(
          [&] { Main()->Run([] { throw console::ConsoleError(QStringLiteral("Invalid connection")); }); });
      for (const SeenBox& seen : {message, error}) {
        QVERIFY2(seen.parent == c.owner, c.name);
        QVERIFY2(seen.staysOnTop == c.staysOnTop, c.name);
      }
      QCOMPARE(error.text, QStringLiteral("Invalid connection"));
    }
    // A dialog's own handler reports on the dialog, above it.
    for (QWidget* w : {settings, about, addServer}) w->hide();
    console::ShowCentred(settings);
    Child<QLineEdit>(settings, "EditSrvName")->setText(QStringLiteral("A]B"));
    const SeenBox refused = WhenTheBoxComesUp([&] { Child<QPushButton>(settings, "btSave")->click(); });
    QVERIFY(refused.parent == settings);
    QVERIFY(refused.staysOnTop);
    QVERIFY(refused.text.endsWith(QStringLiteral("Nothing was saved.")));
  }

  void helpIsFoundBesideTheProgramWhateverTheCurrentFolder() {
    std::filesystem::create_directories(*dir_ / "help");
    std::filesystem::copy_file(WW_PROGRAM_DIR "/help/help.html", *dir_ / "help/help.html");
    std::filesystem::create_directories(*dir_ / "elsewhere");
    QVERIFY(QDir::setCurrent(QString::fromStdString(*dir_ / "elsewhere")));
    Child<QAction>(Main(), "Help1")->trigger();
    QCOMPARE(host_->opened, QList<QUrl>{QUrl::fromLocalFile(QString::fromStdString(*dir_ / "help/help.html"))});
    QVERIFY(host_->messages.isEmpty());

    // No page beside the program: said so, nothing opened.
    std::filesystem::remove(*dir_ / "help/help.html");
    Child<QAction>(Main(), "Help1")->trigger();
    QCOMPARE(host_->opened.size(), 1);
    QCOMPARE(host_->messages,
             QStringList{console::NoHelpPageMessage(QString::fromStdString(*dir_ / "help/help.html"))});
    QCOMPARE(host_->messages[0], QStringLiteral("The help page %1 was not found.")
                                     .arg(QString::fromStdString(*dir_ / "help/help.html")));
  }

  void whatTheDesktopCannotOpenIsSaid() {
    std::filesystem::create_directories(*dir_ / "help");
    WriteFile(*dir_ / "help/help.html", "<title>Webwarden32 Help</title>");
    const QString page = QString::fromStdString(*dir_ / "help/help.html");
    struct Case {
      const char* action;
      QUrl url;
      QString message;
    } cases[] = {
        {"Help1", QUrl::fromLocalFile(page),
         QStringLiteral("There is no program on this desktop to open the help page %1.").arg(page)},
        {"Sendemail1",
         QUrl(QStringLiteral("mailto:") + console::ContactAddress() + QStringLiteral("?subject=Contact about Webwarden32")),
         QStringLiteral("There is no program on this desktop to open a mail to %1.").arg(console::ContactAddress())},
        {"Gotohomepage1", QUrl(console::Homepage()),
         QStringLiteral("There is no program on this desktop to open the homepage %1.").arg(console::Homepage())},
    };
    for (const bool opens : {true, false}) {
      host_->desktopOpens = opens;
      for (const Case& c : cases) {
        host_->opened.clear();
        host_->messages.clear();
        Child<QAction>(Main(), c.action)->trigger();
        QCOMPARE(host_->opened, QList<QUrl>{c.url});
        QCOMPARE(host_->messages, opens ? QStringList() : QStringList{c.message});
      }
    }
  }

  void xdgOpensVerdictIsHeeded() {
    // Stand-ins for xdg-open: taken, no program (its status 3), and a
    // handler that runs in the opener's place.
    const std::string bin = *dir_ / "bin";
    std::filesystem::create_directories(bin);
    const auto script = [&](const char* name, const std::string& body) {
      const std::string path = bin + "/" + name;
      WriteFile(path, "#!/bin/sh\n" + body + "\n");
      std::filesystem::permissions(path, std::filesystem::perms::owner_all);
      return QString::fromStdString(path);
    };
    const std::string seen = *dir_ / "seen";
    const QString taken = script("taken", "printf '%s' \"$1\" > '" + seen + "'; exit 0");
    const QString none = script("none", "exit 3");
    const QString stays = script("stays", "echo $$ > '" + seen + "'; exec sleep 30");
    const QUrl mail(QStringLiteral("mailto:a@example.org?subject=Contact about Webwarden32"));

    QVERIFY(console::OpenWith(taken, mail, 5000));
    QCOMPARE(QString::fromStdString(ReadFile(seen)), QString::fromLatin1(mail.toEncoded()));
    QVERIFY(!console::OpenWith(none, mail, 5000));
    QVERIFY(!console::OpenWith(QString::fromStdString(bin + "/missing"), mail, 5000));
    // What the opener prints goes nowhere: its output and error are
    // /dev/null, not the console's terminal.
    const QString noisy = script("noisy", "echo 'gio: no handler' >&2; echo 'opening'; printf '%s\\n' \"$(readlink /proc/$$/fd/0)\" "
                                          "\"$(readlink /proc/$$/fd/1)\" \"$(readlink /proc/$$/fd/2)\" > '" + seen + "'; exit 0");
    QVERIFY(console::OpenWith(noisy, mail, 5000));
    QCOMPARE(QString::fromStdString(ReadFile(seen)), QStringLiteral("/dev/null\n/dev/null\n/dev/null\n"));
    QElapsedTimer clock;
    clock.start();
    QVERIFY(console::OpenWith(stays, mail, 300));
    QVERIFY(clock.elapsed() < 5000);
    QTRY_VERIFY(!ReadFile(seen).empty());
    const pid_t handler = static_cast<pid_t>(std::stol(ReadFile(seen)));
    QCOMPARE(::kill(handler, 0), 0);  // left running, as the handler it stands for
    ::kill(handler, SIGTERM);
    QTRY_VERIFY(::kill(handler, 0) != 0);  // reaped from the event loop

    // Info > Help through the real desktop call, with an xdg-open that finds
    // no program: the console says so.
    std::filesystem::create_directories(*dir_ / "help");
    WriteFile(*dir_ / "help/help.html", "<title>Webwarden32 Help</title>");
    std::filesystem::copy_file(bin + "/none", bin + "/xdg-open");
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QByteArray::fromStdString(bin) + ':' + path);
    host_->realOpen = true;
    Child<QAction>(Main(), "Help1")->trigger();
    qputenv("PATH", path);
    QCOMPARE(host_->messages, QStringList{QStringLiteral("There is no program on this desktop to open the help page %1.")
                                              .arg(QString::fromStdString(*dir_ / "help/help.html"))});
  }

  void contextMenuRunsTheEditMenusHandlers() {
    console::TSynMemo* memo = Main()->SynMemo1();
    memo->setText(QStringLiteral("Listen 80"));
    std::unique_ptr<QMenu> menu(memo->CreateContextMenu(nullptr));
    struct Entry {
      const char* context;
      const char* edit;
    } entries[] = {{"Selectall2", "Selectall1"}, {"Copy2", "Copy1"}, {"Cut2", "Cut1"}, {"Paste2", "Paste1"}};
    for (const Entry& e : entries) {
      QSignalSpy spy(Child<QAction>(Main(), e.edit), &QAction::triggered);
      Child<QAction>(menu.get(), e.context)->trigger();
      QVERIFY2(spy.count() == 1, e.context);
    }
    // Select all, Copy, Cut, Paste: the text is back, and the edits count.
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("Listen 80"));
    QCOMPARE(memo->text(), QStringLiteral("Listen 80"));
    QVERIFY(Child<QPushButton>(Main(), "btSave")->isEnabled());
  }
};

QTEST_MAIN(DesktopTest)
#include "desktop_test.moc"
