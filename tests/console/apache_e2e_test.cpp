// The Apache commands end to end: the console's windows (offscreen), the real
// CVSRVA.OCX through a temporary registry, the real client library and a
// cvserverd on loopback whose Apache modules are test programs.
#include <signal.h>

#include <QAction>
#include <QMenu>
#include <QtTest>
#include <fstream>
#include <memory>

#include "console/main.h"
#include "console/startup.h"
#include "console/waitcursor.h"
#include "corvane/agent_harness.h"
#include "support/run.h"
#include "support/temp_dir.h"
#include "test_host.h"

using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

const QString kStarted = QStringLiteral("Starting Apache on SRV1 was successful.");
const QString kStartFailed = QStringLiteral("An error occured during the start of Apache on SRV1.");
const QString kStopped = QStringLiteral("Apache was stopped successful on SRV1.");
const QString kStopFailed = QStringLiteral("An error occured while stopping apache on SRV1.");
const QString kRestarted = QStringLiteral("Apache was successfully restarted on SRV1.");
const QString kRestartFailed = QStringLiteral("An error occured while restarting apache on SRV1.");

}  // namespace

class ApacheE2eTest : public QObject {
  Q_OBJECT

 private:
  testsupport::ScopedRegistry registry_;
  std::unique_ptr<cvtest::AgentProcess> agent_;
  std::unique_ptr<TempDir> dir_;
  std::unique_ptr<cvtest::TestHost> host_;
  std::unique_ptr<console::ConsoleWindows> windows_;

  // An Apache module of the test server: a program that writes its pid.
  void WriteModule(const std::string& name, const std::string& command) {
    agent_->WriteFile("SYS/SYSTEM/" + name + ".qrx",
                      "exec = [\"" CVTESTMODULE_PATH "\", \"--pidfile\", \"{volume}/" + name +
                          ".pid\"]\nready = { alive_ms = 100 }\nstop_timeout_ms = 2000\n[commands]\n\"" + command +
                          "\" = \"unload\"\n");
  }
  pid_t RunningPid(const std::string& module) const {
    std::ifstream in(agent_->volume() / (module + ".pid"));
    pid_t pid = 0;
    in >> pid;
    return pid > 0 && ::kill(pid, 0) == 0 ? pid : 0;
  }
  // Starts the console with this server.ini; the current server is SRV1.
  void StartConsole(const std::string& serverIni, const std::string& current = "SRV1") {
    WriteFile(*dir_ / "setting.ini", "[Main]\r\nServername=" + current + "\r\nMode=Expert\r\n");
    WriteFile(*dir_ / "server.ini", serverIni);
    windows_ = console::CreateWindows(*host_);
  }
  QStringList Command(const char* action) {
    host_->messages.clear();
    host_->details.clear();
    host_->cursorAtMessage.clear();
    windows_->main->findChild<QAction*>(QString::fromLatin1(action))->trigger();
    return host_->messages;
  }
  static std::string Section(const std::string& body) { return "[SRV1]\r\nServername=SRV1\r\n" + body; }

 private slots:
  void initTestCase() {
    const testsupport::RunResult r = cvtest::RegisterBuiltControl();
    QVERIFY2(r.status == 0, r.output.c_str());
    agent_ = std::make_unique<cvtest::AgentProcess>();
    WriteModule("apache2", "apache2 shutdown");
    WriteModule("apache", "apache shutdown");
    agent_->WriteFile("SYS/SYSTEM/ASTART.qbt", "# start Apache 2\nLOAD apache2\n");
    agent_->WriteFile("SYS/SYSTEM/ASTOP.qbt", "UNLOAD apache2 shutdown\n");
    agent_->WriteFile("SYS/SYSTEM/ARESTART.qbt", "UNLOAD apache2\nLOAD apache2\n");
    agent_->WriteFile("SYS/SYSTEM/FAIL.qbt", "LOAD nosuchmodule\n");
    // A module whose configuration test fails, as Apache's does on a bad
    // httpd.conf; the agent writes why into the error log.
    agent_->WriteFile("SYS/SYSTEM/broken.qrx",
                      "exec = [\"" CVTESTMODULE_PATH "\"]\n"
                      "preflight = [\"/bin/sh\", \"-c\", \"echo 'AH00526: Syntax error on line 3: Invalid command "
                      "ThisIsNoDirective' >&2; exit 1\"]\n"
                      "log = \"{volume}/APACHE/log/error_log\"\nready = { alive_ms = 100 }\n");
    agent_->WriteFile("SYS/SYSTEM/BROKEN.qbt", "LOAD broken\n");
    agent_->WriteFile("SYS/APACHE/log/error_log",
                      "[Mon Dec 07 10:00:00.000000 2026] [cvserverd:error] [pid 1] module OLD did not load: an old "
                      "reason\n");
    QVERIFY(agent_->Start());
    agent_->WriteClientIni("ADMIN");
  }

  void init() {
    dir_ = std::make_unique<TempDir>();
    host_ = std::make_unique<cvtest::TestHost>(QString::fromStdString(dir_->path().string() + "/"));
  }

  void cleanup() {
    windows_.reset();
    // Leave no module running for the next case.
    for (const char* m : {"apache2", "apache"})
      if (pid_t pid = RunningPid(m)) {
        testsupport::RunShell(std::string(CVCLI_PATH) + " SRV1 unload " + m);
        QTRY_VERIFY(::kill(pid, 0) != 0);
      }
    host_.reset();
    dir_.reset();
  }

  void moduleCommands_data() {
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("module");
    QTest::addColumn<QString>("unloadText");
    QTest::newRow("2.0.xx") << "2.0.xx" << "apache2" << "UNLOAD apache2 shutdown";
    QTest::newRow("1.3.xx") << "1.3.xx" << "apache" << "UNLOAD apache.qrx";
  }
  void moduleCommands() {
    QFETCH(QString, version);
    QFETCH(QString, module);
    QFETCH(QString, unloadText);
    StartConsole(Section("ApacheVersion=" + version.toStdString() + "\r\nHandle=QRX\r\n"));
    const std::string m = module.toStdString();
    QCOMPARE(Command("StartApache1"), QStringList{kStarted});
    QVERIFY(host_->details.isEmpty());  // success comes without details
    const pid_t first = RunningPid(m);
    QVERIFY(first > 0);
    QCOMPARE(Command("StartApache1"), QStringList{kStartFailed});  // loaded already
    QCOMPARE(host_->details.size(), 1);
    QVERIFY2(host_->details[0].startsWith(QLatin1String("No reason was recorded")), qPrintable(host_->details[0]));
    QCOMPARE(Command("RestartApache1"), QStringList{kRestarted});
    const pid_t second = RunningPid(m);
    QVERIFY(second > 0 && second != first);
    QCOMPARE(Command("StopApache1"), QStringList{kStopped});
    QTRY_COMPARE(RunningPid(m), 0);
    QVERIFY2(QString::fromStdString(agent_->Log()).contains(unloadText), agent_->Log().c_str());
    QCOMPARE(Command("StopApache1"), QStringList{kStopFailed});
  }

  // A failure's message keeps its text and brings the reason the agent
  // appended to the error log while the command ran as its details; with
  // nothing appended (an older entry does not count) the details say so.
  void failureDetailsComeFromTheErrorLog() {
    const std::string apacheDir = (agent_->volume() / "APACHE").string();
    StartConsole(Section("ApachePath=" + apacheDir + "\r\nApacheVersion=2.0.xx\r\nHandle=QBT\r\nStart=BROKEN\r\n"
                         "Stop=ASTOP\r\nRestart=BROKEN\r\nUseRestart=YES\r\n"));
    QCOMPARE(Command("StartApache1"), QStringList{kStartFailed});
    QCOMPARE(host_->details.size(), 1);
    const QStringList lines = host_->details[0].split(QLatin1Char('\n'));
    QVERIFY2(lines.size() >= 2, qPrintable(host_->details[0]));
    QVERIFY2(lines[0].contains(QLatin1String("[cvserverd:error]")) &&
                 lines[0].contains(QLatin1String("module BROKEN did not load: preflight failed")),
             qPrintable(lines[0]));
    QVERIFY2(lines.last().contains(QLatin1String("module BROKEN output: AH00526: Syntax error on line 3")),
             qPrintable(host_->details[0]));
    QVERIFY(!host_->details[0].contains(QLatin1String("old reason")));

    // Restart the same way; Stop fails (nothing loaded) and appends nothing.
    QCOMPARE(Command("RestartApache1"), QStringList{kRestartFailed});
    QCOMPARE(host_->details.size(), 1);
    QVERIFY(host_->details[0].contains(QLatin1String("module BROKEN did not load")));
    QCOMPARE(Command("StopApache1"), QStringList{kStopFailed});
    QCOMPARE(host_->details.size(), 1);
    QVERIFY2(host_->details[0].startsWith(QLatin1String("No reason was recorded")), qPrintable(host_->details[0]));
    QVERIFY(host_->details[0].contains(QString::fromStdString(apacheDir + "/log/error_log")));
  }

  void commandFiles() {
    const std::string files = "Handle=QBT\r\nApacheVersion=whatever\r\n";
    // Stop and start files one by one, then a restart through both.
    StartConsole(Section(files + "Start=ASTART\r\nStop=ASTOP\r\nRestart=FAIL\r\nUseRestart=NO\r\n"));
    QCOMPARE(Command("StartApache1"), QStringList{kStarted});
    QVERIFY(RunningPid("apache2"));
    QCOMPARE(Command("RestartApache1"), QStringList{kRestarted});
    QVERIFY(RunningPid("apache2"));
    QCOMPARE(Command("StopApache1"), QStringList{kStopped});
    QTRY_COMPARE(RunningPid("apache2"), 0);
  }

  void restartThroughTheRestartFileOnly() {
    // Start and Stop name files that fail: only the restart file may run.
    StartConsole(Section("Handle=QBT\r\nStart=FAIL\r\nStop=FAIL\r\nRestart=ARESTART\r\nUseRestart=YES\r\n"));
    QCOMPARE(Command("StopApache1"), QStringList{kStopFailed});
    testsupport::RunShell(std::string(CVCLI_PATH) + " SRV1 load apache2");
    QVERIFY(RunningPid("apache2"));
    QCOMPARE(Command("RestartApache1"), QStringList{kRestarted});
  }

  void restartStopsAtTheFirstFailure() {
    // The stop file succeeds and the start file fails: one failure message.
    StartConsole(Section("Handle=QBT\r\nStart=FAIL\r\nStop=ASTOP\r\nUseRestart=NO\r\n"));
    testsupport::RunShell(std::string(CVCLI_PATH) + " SRV1 load apache2");
    QVERIFY(RunningPid("apache2"));
    QCOMPARE(Command("RestartApache1"), QStringList{kRestartFailed});
    QTRY_COMPARE(RunningPid("apache2"), 0);
    windows_.reset();
    // The stop file fails: the start file is not run.
    StartConsole(Section("Handle=QBT\r\nStart=ASTART\r\nStop=FAIL\r\nUseRestart=NO\r\n"));
    QCOMPARE(Command("RestartApache1"), QStringList{kRestartFailed});
    QCOMPARE(RunningPid("apache2"), 0);
  }

  void missingHandleAndUnknownVersion() {
    StartConsole(Section("ApacheVersion=2.0.xx\r\n"));
    QCOMPARE(Command("StartApache1"), QStringList{kStarted});
    QVERIFY(RunningPid("apache2"));
    QCOMPARE(Command("RestartApache1"), QStringList{});  // no handle: restart does nothing
    QCOMPARE(Command("StopApache1"), QStringList{kStopped});
    windows_.reset();
    StartConsole(Section("Handle=QRX\r\nApacheVersion=2.4.62\r\n"));
    QCOMPARE(Command("StartApache1"), QStringList{});
    QCOMPARE(RunningPid("apache2"), 0);
    QCOMPARE(Command("RestartApache1"), QStringList{});
  }

  // The wait cursor is there while the control works and gone on every way
  // out, an exception included; messages come with the normal cursor.
  void waitCursorWhileTheControlWorks() {
    QCOMPARE(QGuiApplication::overrideCursor(), nullptr);
    Qt::CursorShape inside = Qt::ArrowCursor;
    try {
      console::TWaitCursor wait;
      inside = QGuiApplication::overrideCursor()->shape();
      throw std::runtime_error("the control failed");
    } catch (const std::runtime_error&) {
    }
    QCOMPARE(inside, Qt::WaitCursor);
    QCOMPARE(QGuiApplication::overrideCursor(), nullptr);

    StartConsole("[ELSEWHERE]\r\nServername=ELSEWHERE\r\nHandle=QRX\r\nApacheVersion=2.0.xx\r\n" +
                     Section("Handle=QRX\r\nApacheVersion=2.0.xx\r\n"),
                 "ELSEWHERE");
    QCOMPARE(Command("StartApache1").size(), 1);  // the binding error, through the general error report
    QCOMPARE(host_->cursorAtMessage, QList<Qt::CursorShape>{Qt::ArrowCursor});
    QCOMPARE(QGuiApplication::overrideCursor(), nullptr);
    windows_.reset();
    StartConsole(Section("Handle=QRX\r\nApacheVersion=2.0.xx\r\n"));
    QCOMPARE(Command("StartApache1"), QStringList{kStarted});
    QCOMPARE(host_->cursorAtMessage, QList<Qt::CursorShape>{Qt::ArrowCursor});
    QCOMPARE(QGuiApplication::overrideCursor(), nullptr);
  }

  void unreachableServerAndServerMenuPick() {
    StartConsole("[ELSEWHERE]\r\nServername=ELSEWHERE\r\nHandle=QRX\r\nApacheVersion=2.0.xx\r\n" +
                     Section("Handle=QRX\r\nApacheVersion=2.0.xx\r\n"),
                 "ELSEWHERE");
    // The control's binding error comes through the general error report.
    const QStringList shown = Command("StartApache1");
    QCOMPARE(shown.size(), 1);
    QVERIFY(!shown[0].contains(QStringLiteral("Apache")));
    QVERIFY(!shown[0].isEmpty());
    // Picking SRV1 from the Server menu makes the next command act on it.
    for (QAction* a : windows_->main->findChild<QMenu*>(QStringLiteral("Server1"))->actions())
      if (a->data().toString() == QLatin1String("SRV1")) a->trigger();
    QCOMPARE(windows_->main->Model().CurrentServer(), QStringLiteral("SRV1"));
    QCOMPARE(Command("StartApache1"), QStringList{kStarted});
    QVERIFY(RunningPid("apache2"));
  }
};

QTEST_MAIN(ApacheE2eTest)
#include "apache_e2e_test.moc"
