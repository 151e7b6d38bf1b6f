// The main window's file commands on the offscreen platform, with the real
// control registered in a temporary registry: loading, change tracking,
// Save, Save as, Close with the unsaved-changes dialog, Make Backup, Print
// to PDF read back with pdftotext, the clipboard and exit with unsaved
// changes.
#include <sys/stat.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFileInfo>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QtTest>
#include <filesystem>
#include <memory>

#include "console/about.h"
#include "console/backup.h"
#include "console/filesave.h"
#include "console/info.h"
#include "console/logview.h"
#include "console/main.h"
#include "console/savedlg.h"
#include "console/startup.h"
#include "console/synmemo.h"
#include "privileges.h"
#include "support/run.h"
#include "support/temp_dir.h"
#include "test_host.h"

using console::TForm1;
using cvtest::Child;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// The test host with scripted file dialogs, a settable clock and the
// desktop's "open" recorded.
class FileHost : public cvtest::TestHost {
 public:
  using TestHost::TestHost;
  QString GetOpenFileName(QWidget*, const QString& dir) override {
    dialogDirs << dir;
    return openAnswer;
  }
  QString GetSaveFileName(QWidget*, const QString& dir) override {
    dialogDirs << dir;
    return saveAnswer;
  }
  bool OpenUrl(QWidget*, const QUrl& url) override {
    opened << url;
    return true;
  }
  QDateTime Now() const override { return now; }
  bool Ask(QWidget*, const QString& question) override {
    questions << question;
    return askAnswer;
  }

  QStringList questions;
  bool askAnswer = false;
  QString openAnswer;
  QString saveAnswer;
  QStringList dialogDirs;
  QList<QUrl> opened;
  QDateTime now{QDate(2026, 12, 7), QTime(10, 0)};
};


const std::string kConfCrLf = "ServerRoot \"/apache\"\r\nListen 80\r\n\r\n# end\r\n";
const std::string kErrorLog = "[Mon Dec 07 10:00:00 2026] [error] first\n[Mon Dec 07 10:00:01 2026] [error] second\n";

}  // namespace

class EditingTest : public QObject {
  Q_OBJECT

 private:
  testsupport::ScopedRegistry registry_;
  std::unique_ptr<TempDir> dir_;
  std::unique_ptr<FileHost> host_;
  std::unique_ptr<console::ConsoleWindows> windows_;
  QString startDir_;

  // The Apache directory of SRV1, configured with backslashes below the
  // temporary folder.
  std::string Apache(const std::string& rest = "") const { return *dir_ / ("srv/apache" + rest); }
  QString QApache(const std::string& rest = "") const { return QString::fromStdString(Apache(rest)); }
  TForm1* Main() const { return windows_->main.get(); }
  console::TSynMemo* Memo() const { return Main()->SynMemo1(); }
  console::TSave* SaveDialog() const { return windows_->save.get(); }
  QByteArray MemoBytes() const { return Memo()->text().toUtf8(); }
  console::TLogView* LogView() const { return Child<console::TLogView>(Main(), "LogView1"); }
  // The bytes that the log view shows; null when it shows nothing.
  QByteArray LogBytes() const {
    const console::LogFile* log = LogView()->Log();
    if (!log) return QByteArray();
    const std::string_view bytes = log->Bytes(0, log->Size());
    return QByteArray(bytes.data(), qsizetype(bytes.size()));
  }
  // A read-only file is shown in the log view in the editor's place.
  bool LogShown() const { return LogView()->isVisibleTo(Main()) && !Memo()->isVisibleTo(Main()) && LogView()->IsOpen(); }
  void Trigger(const char* action) { Child<QAction>(Main(), action)->trigger(); }
  void Click(const char* button) { Child<QPushButton>(Main(), button)->click(); }
  void Type(const QString& text) { QTest::keyClicks(Memo(), text); }
  // Both save commands, both backup commands: they always agree.
  bool SaveEnabled() {
    const bool button = Child<QPushButton>(Main(), "btSave")->isEnabled();
    if (button != Child<QAction>(Main(), "Save1")->isEnabled()) qFatal("the two save commands disagree");
    return button;
  }
  bool BackupEnabled() {
    const bool button = Child<QPushButton>(Main(), "btBackup")->isEnabled();
    if (button != Child<QAction>(Main(), "MakeBackup1")->isEnabled()) qFatal("the two backup commands disagree");
    return button;
  }
  QString CurrentFile() const { return Main()->Model().CurrentFile(); }

 private slots:
  void initTestCase() {
    const std::string failure = cvtest::UseBuiltControl(registry_);
    QVERIFY2(failure.empty(), failure.c_str());
    startDir_ = QDir::currentPath();
  }

  void init() {
    dir_ = std::make_unique<TempDir>();
    host_ = std::make_unique<FileHost>(QString::fromStdString(dir_->path().string() + "/"));
    std::filesystem::create_directories(Apache("/conf"));
    std::filesystem::create_directories(Apache("/log"));
    WriteFile(Apache("/conf/httpd.conf"), kConfCrLf);
    WriteFile(Apache("/log/error_log"), kErrorLog);
    WriteFile(Apache("/log/access_log"), "10.0.0.1 - - [07/Dec/2026:10:00:00 +0100] \"GET / HTTP/1.1\" 200 45\n");
    WriteFile(*dir_ / "setting.ini", "[Main]\r\nServername=SRV1\r\nMode=Expert\r\n");
    WriteFile(*dir_ / "server.ini",
              "[SRV1]\r\nServername=SRV1\r\nApachePath=" + dir_->path().string() + "\\srv\\apache\r\nHandle=QRX\r\n");
    windows_ = console::CreateWindows(*host_);
    QVERIFY(windows_);
  }

  void cleanup() {
    QDir::setCurrent(startDir_);
    QLocale::setDefault(QLocale::system());
    ::unsetenv(console::kPrintPdfVariable);
    windows_.reset();
    host_.reset();
    if (dir_) ::chmod(Apache("/conf").c_str(), 0755);
    dir_.reset();
  }

  void typingEnablesSaveAndSaveKeepsTheLineBreaks_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("CR LF") << QByteArray::fromStdString(kConfCrLf);
    QTest::newRow("LF") << QByteArray("ServerRoot \"/apache\"\nListen 80\n\n# end\n");
    QTest::newRow("not UTF-8") << QByteArray("# caf\xe9\r\nListen 80\r\n");
  }
  void typingEnablesSaveAndSaveKeepsTheLineBreaks() {
    QFETCH(QByteArray, content);
    WriteFile(Apache("/conf/httpd.conf"), content.toStdString());
    Trigger("Edithttpdconf1");
    QVERIFY2(host_->messages.isEmpty(), qPrintable(host_->messages.join('\n')));
    QCOMPARE(CurrentFile(), QApache("/conf/httpd.conf"));
    QVERIFY(!Memo()->isReadOnly());
    QVERIFY(!SaveEnabled());
    QVERIFY(BackupEnabled());
    QCOMPARE(Memo()->lines(), content.count('\n') + 1);

    Type(QStringLiteral("#"));
    QVERIFY(SaveEnabled());
    Click("btSave");
    QVERIFY(host_->messages.isEmpty());
    QVERIFY(!SaveEnabled());
    QCOMPARE(QByteArray::fromStdString(ReadFile(Apache("/conf/httpd.conf"))), "#" + content);

    // A new line typed at the end gets the file's break as well.
    Memo()->setCursorPosition(Memo()->lines() - 1, 0);
    Type(QStringLiteral("x"));
    QTest::keyClick(Memo(), Qt::Key_Return);
    Trigger("Save1");
    const QByteArray brk = content.contains("\r\n") ? "\r\n" : "\n";
    QCOMPARE(QByteArray::fromStdString(ReadFile(Apache("/conf/httpd.conf"))), "#" + content + "x" + brk);
  }

  // The keyboard reaches saving and undoing: Ctrl+S saves, Edit > Undo
  // undoes, and undoing back to the saved text leaves nothing to save.
  void undoAndCtrlSFromTheKeyboard() {
    Trigger("Edithttpdconf1");
    Main()->show();
    Main()->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(Main()));
    Memo()->setFocus();
    QCOMPARE(Child<QAction>(Main(), "Save1")->shortcut(), QKeySequence(QKeySequence::Save));
    QMenu* edit = Child<QMenu>(Main(), "Edit2");
    QCOMPARE(edit->actions().value(0), Child<QAction>(Main(), "Undo1"));
    QCOMPARE(edit->actions().value(0)->text(), QStringLiteral("Undo"));

    Type(QStringLiteral("ab"));
    QVERIFY(SaveEnabled());
    Trigger("Undo1");
    Trigger("Undo1");
    QCOMPARE(MemoBytes(), QByteArray::fromStdString(kConfCrLf));
    QVERIFY2(!SaveEnabled(), "undone back to the file's text");
    Type(QStringLiteral("c"));
    QVERIFY(SaveEnabled());
    QTest::keyClick(Memo(), Qt::Key_S, Qt::ControlModifier);
    QVERIFY(!SaveEnabled());
    QCOMPARE(ReadFile(Apache("/conf/httpd.conf")), "c" + std::string(kConfCrLf));
    // The saved text is the new point to come back to.
    Type(QStringLiteral("d"));
    QVERIFY(SaveEnabled());
    QTest::keyClick(Memo(), Qt::Key_Z, Qt::ControlModifier);
    QVERIFY(!SaveEnabled());
    QTest::keyClick(Memo(), Qt::Key_Z, Qt::ControlModifier);  // before the save: unsaved again
    QVERIFY(SaveEnabled());
  }

  // A line longer than the right edge can be scrolled to its end in the
  // editor too; another file starts at the right edge again.
  void theEditorScrollsToTheEndOfLongLines() {
    const std::string longLine = "LogFormat \"" + std::string(300, 'x') + "\" common";
    WriteFile(Apache("/conf/httpd.conf"), "Listen 80\r\n" + longLine + "\r\n");
    const long edge = Memo()->SendScintilla(QsciScintillaBase::SCI_GETSCROLLWIDTH);
    Main()->show();
    QVERIFY(QTest::qWaitForWindowExposed(Main()));
    Trigger("Edithttpdconf1");
    const qreal cw = QFontMetricsF(Memo()->font()).horizontalAdvance(QLatin1Char('x'));
    QTRY_VERIFY(Memo()->SendScintilla(QsciScintillaBase::SCI_GETSCROLLWIDTH) >= long(cw * double(longLine.size())));
    WriteFile(Apache("/conf/httpd.conf"), "Listen 80\r\n");
    Trigger("Edithttpdconf1");
    QCOMPARE(Memo()->SendScintilla(QsciScintillaBase::SCI_GETSCROLLWIDTH), edge);
  }

  void aBigLogOpensInTheLogView() {
    std::string log;
    for (int i = 0; log.size() < 9'500'000; ++i)
      log += "10.1." + std::to_string(i % 256) + ".7 - - [07/Dec/2026:10:00:00 +0100] \"GET /page" + std::to_string(i) +
             " HTTP/1.1\" 200 512\r\n";
    Trigger("Edithttpdconf1");
    WriteFile(Apache("/log/access_log"), log);
    Trigger("Viewaccesslog1");
    QVERIFY2(host_->messages.isEmpty(), qPrintable(host_->messages.join('\n')));
    QVERIFY(LogShown());
    QCOMPARE(CurrentFile(), QApache("/log/access_log"));
    QVERIFY(LogBytes().toStdString() == log);
    // The editor let go of httpd.conf's text.
    QCOMPARE(Memo()->SendScintilla(QsciScintillaBase::SCI_GETLENGTH), 0L);
    QVERIFY(LogView()->Log()->WaitIndexed(10000));
    QTRY_COMPARE(LogView()->GutterDigits(), int(std::to_string(std::count(log.begin(), log.end(), '\n') + 1).size()));
    QVERIFY(!SaveEnabled());
    // Close shows the empty editor again and lets go of the file.
    Click("btClose");
    QVERIFY(!LogShown());
    QVERIFY(Memo()->isVisibleTo(Main()));
    QVERIFY(!LogView()->IsOpen());
    QCOMPARE(CurrentFile(), QString());
    QCOMPARE(Memo()->SendScintilla(QsciScintillaBase::SCI_GETLENGTH), 0L);
  }

  void closeWithUnsavedChangesAsks() {
    Trigger("Edithttpdconf1");
    Type(QStringLiteral("Listen 8080 "));
    const QByteArray edited = MemoBytes();
    Click("btClose");
    QVERIFY(SaveDialog()->isVisible());
    QVERIFY(!SaveDialog()->isModal());
    QCOMPARE(SaveDialog()->windowTitle(), QStringLiteral("Don't forget so save"));
    QCOMPARE(Child<QLabel>(SaveDialog(), "Label1")->text(),
             QStringLiteral("You have unsaved changes, please save them or \nselect 'close' to exit the file without saving."));
    QCOMPARE(MemoBytes(), edited);

    Child<QPushButton>(SaveDialog(), "Button2")->click();  // Back to file
    QVERIFY(!SaveDialog()->isVisible());
    QCOMPARE(MemoBytes(), edited);
    QCOMPARE(CurrentFile(), QApache("/conf/httpd.conf"));
    QVERIFY(SaveEnabled());

    Trigger("Close1");
    QVERIFY(SaveDialog()->isVisible());
    Child<QPushButton>(SaveDialog(), "Button3")->click();  // Close anyway
    QVERIFY(!SaveDialog()->isVisible());
    QCOMPARE(MemoBytes(), QByteArray());
    QCOMPARE(CurrentFile(), QString());
    QVERIFY(!SaveEnabled());
    QVERIFY(!Memo()->isReadOnly());
    QVERIFY2(BackupEnabled(), "Close keeps the backup commands");
    QCOMPARE(QByteArray::fromStdString(ReadFile(Apache("/conf/httpd.conf"))), QByteArray::fromStdString(kConfCrLf));

    // Without changes Close asks nothing; a read-only file closes editable.
    Trigger("Viewerrorlog1");
    QVERIFY(LogShown());
    Click("btClose");
    QVERIFY(!SaveDialog()->isVisible());
    QVERIFY(!LogShown());
    QCOMPARE(MemoBytes(), QByteArray());
    QVERIFY(!Memo()->isReadOnly());
    QVERIFY(host_->messages.isEmpty());
  }

  void loadingAnotherFileWithUnsavedChangesAsks() {
    Trigger("Edithttpdconf1");
    Type(QStringLiteral("#"));
    Trigger("Viewerrorlog1");
    QVERIFY(SaveDialog()->isVisible());
    QCOMPARE(CurrentFile(), QApache("/conf/httpd.conf"));
    Child<QPushButton>(SaveDialog(), "Button2")->click();
    QCOMPARE(MemoBytes(), "#" + QByteArray::fromStdString(kConfCrLf));
    QVERIFY(SaveEnabled());

    Trigger("Viewerrorlog1");
    Child<QPushButton>(SaveDialog(), "Button3")->click();
    QCOMPARE(CurrentFile(), QApache("/log/error_log"));
    QVERIFY(LogShown());
    QCOMPARE(LogBytes(), QByteArray::fromStdString(kErrorLog));
    QVERIFY(!SaveEnabled());
    QCOMPARE(QByteArray::fromStdString(ReadFile(Apache("/conf/httpd.conf"))), QByteArray::fromStdString(kConfCrLf));
  }

  void twoBackupsOnTheSameDay() {
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const QString file = QApache("/conf/httpd.conf");
    const QString backup = file + QStringLiteral("07.12.26.bak");
    Trigger("Edithttpdconf1");
    Type(QStringLiteral("unsaved "));
    Click("btBackup");
    QCOMPARE(host_->messages, QStringList{QStringLiteral("The file ") + file + QStringLiteral(" was backuped as ") + backup});
    QCOMPARE(ReadFile(backup.toStdString()), kConfCrLf);  // the file on disk, not the editor's text
    QVERIFY(!BackupEnabled());

    Trigger("Save1");  // the typed text goes to the file
    Trigger("Edithttpdconf1");
    QVERIFY(BackupEnabled());
    Trigger("MakeBackup1");
    QCOMPARE(host_->messages.size(), 2);
    QVERIFY2(!host_->messages[1].contains(QLatin1String("was backuped as")), qPrintable(host_->messages[1]));
    QVERIFY2(host_->messages[1].contains(backup) && host_->messages[1].contains(QLatin1String("File exists")),
             qPrintable(host_->messages[1]));
    QCOMPARE(ReadFile(backup.toStdString()), kConfCrLf);
    QVERIFY(!BackupEnabled());

    // Another day, another backup; a locale whose dates hold '/' works too.
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    host_->now = host_->now.addDays(1);
    Trigger("Edithttpdconf1");
    Click("btBackup");
    QCOMPARE(host_->messages.size(), 3);
    QCOMPARE(host_->messages[2], QStringLiteral("The file ") + file + QStringLiteral(" was backuped as ") + file +
                                     QStringLiteral("12-8-26.bak"));
  }

  void makeBackupIsEnabledByTheFixedPathCommandsAndSaveAsOnly_data() {
    QTest::addColumn<QString>("command");
    QTest::addColumn<bool>("enables");
    QTest::newRow("Edit httpd.conf") << "Edithttpdconf1" << true;
    QTest::newRow("View error_log") << "Viewerrorlog1" << true;
    QTest::newRow("View access_log") << "Viewaccesslog1" << true;
    QTest::newRow("Save as") << "Saveas1" << true;
    QTest::newRow("Edit...") << "Edit1" << false;
    QTest::newRow("View...") << "View2" << false;
    QTest::newRow("File > Open") << "Open1" << false;
  }
  void makeBackupIsEnabledByTheFixedPathCommandsAndSaveAsOnly() {
    QFETCH(QString, command);
    QFETCH(bool, enables);
    QVERIFY2(!BackupEnabled(), "disabled at start");
    host_->openAnswer = QApache("/conf/httpd.conf");
    host_->saveAnswer = QApache("/conf/copy.conf");
    Trigger(command.toLatin1().constData());
    QVERIFY2(host_->messages.isEmpty(), qPrintable(host_->messages.join('\n')));
    QCOMPARE(BackupEnabled(), enables);
    QVERIFY(!CurrentFile().isEmpty());
  }

  void cancellingADialogChangesNothing() {
    Trigger("Edithttpdconf1");
    Type(QStringLiteral("#"));
    Click("btBackup");
    host_->messages.clear();
    const QByteArray text = MemoBytes();
    for (const char* command : {"Edit1", "View2", "Saveas1", "Open1"}) {
      Trigger(command);
      QCOMPARE(MemoBytes(), text);
      QCOMPARE(CurrentFile(), QApache("/conf/httpd.conf"));
      QVERIFY(SaveEnabled());
      QVERIFY(!BackupEnabled());
      QVERIFY(!Memo()->isReadOnly());
      QVERIFY(!SaveDialog()->isVisible());
    }
    Click("btSaveAs");
    QCOMPARE(MemoBytes(), text);
    QVERIFY(host_->messages.isEmpty());
    // Every dialog starts in the Apache directory, written with '/'.
    QCOMPARE(host_->dialogDirs, QStringList(5, QApache()));
    QCOMPARE(ReadFile(Apache("/conf/httpd.conf")), kConfCrLf);
  }

  void errorLogIsReadOnlyThenHttpdConfIsEditable() {
    Trigger("Viewerrorlog1");
    QVERIFY(LogShown());
    QTest::keyClicks(LogView(), QStringLiteral("typed"));
    QTest::keyClick(LogView(), Qt::Key_Backspace);
    QGuiApplication::clipboard()->setText(QStringLiteral("pasted"));
    Trigger("Paste1");
    Trigger("Selectall1");
    Trigger("Cut1");
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("pasted"));
    QCOMPARE(LogBytes(), QByteArray::fromStdString(kErrorLog));
    QCOMPARE(ReadFile(Apache("/log/error_log")), kErrorLog);
    QVERIFY(!SaveEnabled());
    Trigger("Copy1");
    QCOMPARE(QGuiApplication::clipboard()->text().toStdString(), kErrorLog);
    QVERIFY(host_->messages.isEmpty());

    Trigger("Edithttpdconf1");
    QVERIFY(!LogShown());
    QVERIFY(Memo()->isVisibleTo(Main()));
    QVERIFY(!Memo()->isReadOnly());
    QGuiApplication::clipboard()->setText(QStringLiteral("# pasted\r\n"));
    Trigger("Paste1");
    QVERIFY(SaveEnabled());
    QCOMPARE(MemoBytes(), "# pasted\r\n" + QByteArray::fromStdString(kConfCrLf));
    Trigger("Selectall1");
    Trigger("Cut1");
    QCOMPARE(MemoBytes(), QByteArray());
    QCOMPARE(QGuiApplication::clipboard()->text(), "# pasted\r\n" + QString::fromStdString(kConfCrLf));
  }

  void aFailedSaveKeepsTheOldFileAndSaveEnabled() {
    Trigger("Edithttpdconf1");
    Type(QStringLiteral("# changed"));
    // Neither the folder nor the file may be written (a writable file in a
    // read-only folder is saved in place).
    QCOMPARE(::chmod(Apache("/conf").c_str(), 0555), 0);
    QCOMPARE(::chmod(Apache("/conf/httpd.conf").c_str(), 0444), 0);
    {
      cvtest::Unprivileged nobody;
      Click("btSave");
    }
    QCOMPARE(::chmod(Apache("/conf").c_str(), 0755), 0);
    QCOMPARE(::chmod(Apache("/conf/httpd.conf").c_str(), 0644), 0);
    QCOMPARE(host_->messages.size(), 1);
    QCOMPARE(host_->messages[0],
             QStringLiteral("Cannot create file \"%1\". Permission denied").arg(QApache("/conf/httpd.conf")));
    QVERIFY(SaveEnabled());
    QCOMPARE(ReadFile(Apache("/conf/httpd.conf")), kConfCrLf);
    QCOMPARE(QDir(QApache("/conf")).entryList(QDir::Files | QDir::Hidden), QStringList{"httpd.conf"});
    Click("btSave");
    QCOMPARE(ReadFile(Apache("/conf/httpd.conf")), "# changed" + kConfCrLf);
  }

  void anInterruptedSaveIsPutBackWhenAsked() {
    // A second link makes the save go in place; a real process saving the
    // file is killed after 3 MiB of new content went in.
    const std::string file = Apache("/conf/httpd.conf");
    QCOMPARE(::link(file.c_str(), Apache("/conf/second.conf").c_str()), 0);
    struct stat before {};
    QCOMPARE(::stat(file.c_str(), &before), 0);
    QProcess saver;
    saver.start(QStringLiteral(KILLED_SAVER_PATH), {QApache("/conf/httpd.conf"), QStringLiteral("3145728")});
    QVERIFY(saver.waitForStarted());
    QByteArray said;
    while (!said.contains("written\n") && saver.state() == QProcess::Running && saver.waitForReadyRead(30000))
      said += saver.readAllStandardOutput();
    saver.kill();
    saver.waitForFinished();
    QVERIFY2(said.contains("written\n"), said.constData());
    const QString copy = QString::fromLocal8Bit(said.left(said.indexOf('\n')));
    QVERIFY2(copy.startsWith(QApache("/conf/httpd.conf.ww-old-")), qPrintable(copy));
    const std::string torn = ReadFile(file);
    QCOMPARE(torn.size(), std::size_t{3 << 20});

    // Not now: the file is shown as it is, and the copy stays for later.
    host_->askAnswer = false;
    Trigger("Edithttpdconf1");
    QCOMPARE(host_->questions, QStringList{console::InterruptedSaveQuestion(QApache("/conf/httpd.conf"), copy)});
    QCOMPARE(ReadFile(file), torn);
    QVERIFY(QFileInfo::exists(copy));

    // Yes: the old content is back in the same file, and the copy is gone.
    host_->askAnswer = true;
    Trigger("Edithttpdconf1");
    QCOMPARE(host_->questions.size(), 2);
    QCOMPARE(ReadFile(file), kConfCrLf);
    QCOMPARE(MemoBytes(), QByteArray::fromStdString(kConfCrLf));
    QCOMPARE(ReadFile(Apache("/conf/second.conf")), kConfCrLf);
    struct stat after {};
    QCOMPARE(::stat(file.c_str(), &after), 0);
    QCOMPARE(after.st_ino, before.st_ino);
    QVERIFY(!QFileInfo::exists(copy));
    QVERIFY(host_->messages.isEmpty());

    // Nothing left to ask about.
    Trigger("Edithttpdconf1");
    QCOMPARE(host_->questions.size(), 2);
  }

  void aFailedLoadKeepsEverything() {
    Trigger("Edithttpdconf1");
    Type(QStringLiteral("#"));
    Click("btSave");
    Click("btBackup");  // the backup commands off, to see that they stay so
    host_->messages.clear();
    const QByteArray text = MemoBytes();
    std::filesystem::remove(Apache("/log/error_log"));
    Trigger("Viewerrorlog1");
    QCOMPARE(host_->messages,
             QStringList{QStringLiteral("Cannot open file \"%1\". No such file or directory").arg(QApache("/log/error_log"))});
    QCOMPARE(MemoBytes(), text);
    QCOMPARE(CurrentFile(), QApache("/conf/httpd.conf"));
    QVERIFY(!Memo()->isReadOnly());
    QVERIFY(!BackupEnabled());

    // A later Save writes to the file that is shown, not the one that failed.
    Memo()->setCursorPosition(0, 0);
    Type(QStringLiteral("!"));
    Click("btSave");
    QCOMPARE(ReadFile(Apache("/conf/httpd.conf")), "!" + text.toStdString());
    QVERIFY(!std::filesystem::exists(Apache("/log/error_log")));

    // And a read-only file stays read-only when "Edit..." fails.
    Trigger("Viewaccesslog1");
    host_->openAnswer = QApache("/conf");  // a folder
    Trigger("Edit1");
    QCOMPARE(host_->messages.size(), 2);
    QVERIFY(LogShown());
    QCOMPARE(CurrentFile(), QApache("/log/access_log"));
    QVERIFY(BackupEnabled());
  }

  void exitWithUnsavedChangesAsks_data() {
    QTest::addColumn<QString>("how");
    QTest::newRow("File > Exit") << "menu";
    QTest::newRow("Exit Webwarden") << "button";
    QTest::newRow("window closed") << "window";
  }
  void exitWithUnsavedChangesAsks() {
    QFETCH(QString, how);
    const auto exit = [&] {
      if (how == QLatin1String("menu"))
        Trigger("Exit1");
      else if (how == QLatin1String("button"))
        Click("btExit");
      else
        Main()->close();
    };
    Main()->show();
    QVERIFY(QTest::qWaitForWindowExposed(Main()));
    Trigger("Edithttpdconf1");
    Type(QStringLiteral("#"));
    exit();
    QVERIFY(Main()->isVisible());
    QVERIFY(SaveDialog()->isVisible());
    Child<QPushButton>(SaveDialog(), "Button2")->click();
    QVERIFY(Main()->isVisible());
    QVERIFY(SaveEnabled());

    exit();
    QVERIFY(SaveDialog()->isVisible());
    Child<QPushButton>(SaveDialog(), "Button3")->click();
    QVERIFY(!Main()->isVisible());
    QCOMPARE(ReadFile(Apache("/conf/httpd.conf")), kConfCrLf);
  }

  void exitWithoutChangesAsksNothing() {
    Main()->show();
    QVERIFY(QTest::qWaitForWindowExposed(Main()));
    Trigger("Edithttpdconf1");
    Click("btExit");
    QVERIFY(!Main()->isVisible());
    QVERIFY(!SaveDialog()->isVisible());
  }

  void printsTwiceToPdf() {
    if (QStandardPaths::findExecutable(QStringLiteral("pdftotext")).isEmpty()) QSKIP("pdftotext is not installed");
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    std::string conf;
    for (int i = 1; i <= 150; ++i) conf += "Directive" + std::to_string(i) + " value\t" + std::to_string(i * 7) + "\r\n";
    WriteFile(Apache("/conf/httpd.conf"), conf);
    Trigger("Edithttpdconf1");
    const QString header = QApache("/conf/httpd.conf") + QStringLiteral(" on Server: SRV1");

    struct Print {
      QDate date;
      const char* footer;
    } prints[] = {{QDate(2026, 12, 7), "Printed 07.12.26 with Webwarden32 v0.1ALPHA"},
                  {QDate(2027, 1, 15), "Printed 15.01.27 with Webwarden32 v0.1ALPHA"}};
    int n = 0;
    for (const Print& p : prints) {
      const std::string pdf = *dir_ / ("print" + std::to_string(++n) + ".pdf");
      ::setenv(console::kPrintPdfVariable, pdf.c_str(), 1);
      host_->now = QDateTime(p.date, QTime(9, 30));
      host_->messages.clear();
      Click("btPrint");
      QCOMPARE(host_->messages, QStringList{QStringLiteral("The printout was written to the PDF file %1.").arg(QString::fromStdString(pdf))});
      const testsupport::RunResult text = testsupport::RunShell("pdftotext -layout " + testsupport::Quote(pdf) + " -");
      QCOMPARE(text.status, 0);
      QStringList pages = QString::fromStdString(text.output).split(QLatin1Char('\f'));
      if (pages.last().trimmed().isEmpty()) pages.removeLast();
      QVERIFY2(pages.size() >= 2, qPrintable(QString::number(pages.size())));
      for (const QString& page : pages) {
        QCOMPARE(page.count(header), 1);
        QCOMPARE(page.count(QLatin1String("Printed ")), 1);
        QCOMPARE(page.count(QLatin1String(p.footer)), 1);
      }
      // Every line with its number in the margin, on the page it is on.
      const QString all = pages.join(QLatin1Char('\n'));
      for (int line : {1, 2, 75, 150}) {
        const QRegularExpression numbered(QStringLiteral("(^|\\n)\\s*%1\\s+Directive%1 value").arg(line));
        QVERIFY2(all.contains(numbered), qPrintable(QStringLiteral("line %1 in\n").arg(line) + all.left(2000)));
      }
    }

    // An empty editor prints one page with header and footer.
    Click("btClose");
    const std::string pdf = *dir_ / "empty.pdf";
    ::setenv(console::kPrintPdfVariable, pdf.c_str(), 1);
    Click("btPrint");
    const testsupport::RunResult text = testsupport::RunShell("pdftotext -layout " + testsupport::Quote(pdf) + " -");
    QCOMPARE(text.status, 0);
    QVERIFY2(QString::fromStdString(text.output).count(QLatin1Char('\f')) == 1, text.output.c_str());
    QVERIFY(QString::fromStdString(text.output).contains(QStringLiteral("on Server: SRV1")));  // no file: the header starts with the blank
    QVERIFY(QString::fromStdString(text.output).contains(QStringLiteral("Printed 15.01.27 with Webwarden32 v0.1ALPHA")));
  }

  void aLogIsSavedAsByteForByte_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("LF") << QByteArray("[error] one\n[error] two\n\n[error] four\n");
    QTest::newRow("CR LF") << QByteArray("[error] one\r\n[error] two\r\n\r\n");
    QTest::newRow("lone CR") << QByteArray("[error] one\r[error] two\r");
    QTest::newRow("not UTF-8") << QByteArray("caf\xe9 \xff\n");
  }
  void aLogIsSavedAsByteForByte() {
    QFETCH(QByteArray, content);
    WriteFile(Apache("/log/error_log"), content.toStdString());
    Trigger("Viewerrorlog1");
    Click("btBackup");  // off, to see that Save as turns the backup commands on
    QVERIFY(!BackupEnabled());
    host_->messages.clear();
    host_->saveAnswer = QApache("/log/saved_log");
    Trigger("Saveas1");
    QVERIFY2(host_->messages.isEmpty(), qPrintable(host_->messages.join('\n')));
    QCOMPARE(QByteArray::fromStdString(ReadFile(Apache("/log/saved_log"))), content);
    QCOMPARE(CurrentFile(), QApache("/log/saved_log"));
    QVERIFY(LogShown());
    QVERIFY(BackupEnabled());
    QVERIFY(!SaveEnabled());
  }

  void makeBackupOfALogCopiesTheFile() {
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    Trigger("Viewerrorlog1");
    const QString file = QApache("/log/error_log");
    Click("btBackup");
    const QString backup = file + QStringLiteral("07.12.26.bak");
    QCOMPARE(host_->messages, QStringList{QStringLiteral("The file ") + file + QStringLiteral(" was backuped as ") + backup});
    QCOMPARE(ReadFile(backup.toStdString()), kErrorLog);
    QVERIFY(!BackupEnabled());
  }

  void aLogIsPrintedWithHeaderFooterAndNumbers() {
    if (QStandardPaths::findExecutable(QStringLiteral("pdftotext")).isEmpty()) QSKIP("pdftotext is not installed");
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    std::string log;
    for (int i = 1; i <= 150; ++i) log += "[error] entry" + std::to_string(i) + " value\t" + std::to_string(i * 7) + "\n";
    WriteFile(Apache("/log/error_log"), log);
    Trigger("Viewerrorlog1");
    const std::string pdf = *dir_ / "log.pdf";
    ::setenv(console::kPrintPdfVariable, pdf.c_str(), 1);
    Click("btPrint");
    QCOMPARE(host_->messages, QStringList{QStringLiteral("The printout was written to the PDF file %1.").arg(QString::fromStdString(pdf))});
    QVERIFY(host_->questions.isEmpty());
    const testsupport::RunResult text = testsupport::RunShell("pdftotext -layout " + testsupport::Quote(pdf) + " -");
    QCOMPARE(text.status, 0);
    QStringList pages = QString::fromStdString(text.output).split(QLatin1Char('\f'));
    if (pages.last().trimmed().isEmpty()) pages.removeLast();
    QVERIFY2(pages.size() >= 2, qPrintable(QString::number(pages.size())));
    const QString header = QApache("/log/error_log") + QStringLiteral(" on Server: SRV1");
    for (const QString& page : pages) {
      QCOMPARE(page.count(header), 1);
      QCOMPARE(page.count(QLatin1String("Printed 07.12.26 with Webwarden32 v0.1ALPHA")), 1);
    }
    const QString all = pages.join(QLatin1Char('\n'));
    for (int line : {1, 2, 75, 150}) {
      const QRegularExpression numbered(QStringLiteral("(^|\\n)\\s*%1\\s+\\[error\\] entry%1 value\\s+%2").arg(line).arg(line * 7));
      QVERIFY2(all.contains(numbered), qPrintable(QStringLiteral("line %1 in\n").arg(line) + all.left(2000)));
    }
  }

  void aVeryLongPrintoutAsksFirst() {
    std::string log;
    for (int i = 0; i < 40000; ++i) log += "[notice] line " + std::to_string(i) + "\n";
    WriteFile(Apache("/log/error_log"), log);
    Trigger("Viewerrorlog1");
    const std::string pdf = *dir_ / "long.pdf";
    ::setenv(console::kPrintPdfVariable, pdf.c_str(), 1);
    host_->askAnswer = false;
    Click("btPrint");
    QCOMPARE(host_->questions.size(), 1);
    QVERIFY2(host_->questions[0].contains(QLatin1String("pages")), qPrintable(host_->questions[0]));
    QVERIFY(!std::filesystem::exists(pdf));
    QVERIFY(host_->messages.isEmpty());
  }

  void theLogViewLooksLikeTheEditor() {
    Trigger("Viewerrorlog1");
    QCOMPARE(LogView()->geometry(), Memo()->geometry());
    QCOMPARE(LogView()->font(), Memo()->font());
    QCOMPARE(LogView()->parentWidget(), Memo()->parentWidget());
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(20, 20), LogView()->mapToGlobal(QPoint(20, 20)));
    QApplication::sendEvent(LogView()->viewport(), &event);  // where a right click arrives
    auto* menu = LogView()->findChild<QMenu*>(QStringLiteral("PopupMenu1"));
    QVERIFY(menu);
    QStringList entries;
    for (QAction* a : menu->actions()) entries << (a->isSeparator() ? QStringLiteral("-") : a->text());
    QCOMPARE(entries, (QStringList{"Cut", "Copy", "Paste", "-", "Select all"}));
    // Select all and Copy from the menu; Cut and Paste leave the file alone.
    QGuiApplication::clipboard()->clear();
    Child<QAction>(menu, "Selectall2")->trigger();
    Child<QAction>(menu, "Cut2")->trigger();
    QCOMPARE(QGuiApplication::clipboard()->text(), QString());
    Child<QAction>(menu, "Copy2")->trigger();
    QCOMPARE(QGuiApplication::clipboard()->text().toStdString(), kErrorLog);
    Child<QAction>(menu, "Paste2")->trigger();
    QCOMPARE(ReadFile(Apache("/log/error_log")), kErrorLog);
    menu->close();
    // Line numbers in the gutter, as the editor shows them.
    QCOMPARE(LogView()->VisibleNumbers().mid(0, 3), (QStringList{"1", "2", "3"}));
    QCOMPARE(LogView()->VisibleText().mid(0, 2),
             (QStringList{"[Mon Dec 07 10:00:00 2026] [error] first", "[Mon Dec 07 10:00:01 2026] [error] second"}));
  }

  void aboutTwiceShowsOneDialog() {
    Trigger("About1");
    Trigger("About1");
    int shown = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
      if (qobject_cast<QDialog*>(w) && w->isVisible() && w->windowTitle() == QLatin1String("About Webwarden32")) ++shown;
    QCOMPARE(shown, 1);
    QVERIFY(windows_->about->isVisible());
  }
};

QTEST_MAIN(EditingTest)
#include "editing_test.moc"
