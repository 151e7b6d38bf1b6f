// The console's start with the control missing from the registry: the
// program folder's regsvr32 registers the program folder's CVSRVA.OCX and the
// windows come up; a broken CVSRVA.OCX ends the start with the reason.
#include <QtTest>
#include <filesystem>
#include <memory>

#include "console/errors.h"
#include "console/main.h"
#include "console/startup.h"
#include "support/temp_dir.h"
#include "test_host.h"

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::TempDir;

namespace {

// A program folder made of links to the built one, so that the registry and
// the INI files of a test stay its own.
void LinkProgramFolder(const fs::path& to, bool brokenControl) {
  for (const fs::directory_entry& e : fs::directory_iterator(WW_PROGRAM_DIR)) {
    const std::string name = e.path().filename().string();
    if (name.ends_with(".ini") || name == "webwarden32") continue;
    if (brokenControl && name == "CVSRVA.OCX") {
      testsupport::WriteFile((to / name).string(), "this is not a shared library\n");
      continue;
    }
    fs::create_symlink(e.path(), to / name);
  }
}

constexpr const char* kClsid = "EC747AF1-8EF6-11D0-B375-0000E20315E2";

}  // namespace

class StartTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<testsupport::ScopedRegistry> registry_;
  std::unique_ptr<TempDir> folder_;
  std::unique_ptr<cvtest::TestHost> host_;

  void MakeFolder(bool brokenControl) {
    LinkProgramFolder(folder_->path(), brokenControl);
    host_ = std::make_unique<cvtest::TestHost>(QString::fromStdString(folder_->path().string() + "/"));
    host_->realRun = true;
  }

 private slots:
  void init() {
    registry_ = std::make_unique<testsupport::ScopedRegistry>();
    folder_ = std::make_unique<TempDir>();
    ::setenv("CORVANE_CLIENT", (*folder_ / "client.ini").c_str(), 1);
  }
  void cleanup() {
    host_.reset();
    folder_.reset();
    registry_.reset();
  }

  void registersTheControlAndStarts() {
    MakeFolder(false);
    std::unique_ptr<console::ConsoleWindows> windows = console::StartConsole(*host_);
    QVERIFY2(windows, qPrintable(host_->messages.join('\n')));
    QCOMPARE(host_->messages, QStringList{console::kNotRegisteredMessage});
    const QString dir = host_->dir;
    QCOMPARE(host_->runs, QStringList{dir + "regsvr32 /s " + dir + "CVSRVA.OCX"});
    QVERIFY(ReadFile(registry_->file()).find(kClsid) != std::string::npos);
    // A working control: its errors come back with the control's texts.
    try {
      windows->main->CvSrvAdm1().ShortName();
      QFAIL("an unbound control answered ShortName");
    } catch (const console::EOleException& e) {
      QVERIFY(!e.Text().isEmpty());
    }
  }

  void startsWithoutRegisteringWhenRegistered() {
    MakeFolder(false);
    QVERIFY(console::StartConsole(*host_));
    host_->messages.clear();
    host_->runs.clear();
    QVERIFY(console::StartConsole(*host_));
    QVERIFY(host_->messages.isEmpty());
    QVERIFY(host_->runs.isEmpty());
  }

  void brokenControlEndsWithTheReason() {
    MakeFolder(true);
    QCOMPARE(console::RunConsole(*host_), 1);
    QCOMPARE(host_->messages.size(), 2);
    QCOMPARE(host_->messages[0], QString::fromLatin1(console::kNotRegisteredMessage));
    const QString& reason = host_->messages[1];
    QVERIFY2(reason.contains(QStringLiteral("CVSRVA.OCX could not be created")), qPrintable(reason));
    QVERIFY2(reason.contains(QStringLiteral("Class not registered")), qPrintable(reason));
    QVERIFY2(reason.contains(QStringLiteral("regsvr32")), qPrintable(reason));
    QCOMPARE(host_->runs.size(), 1);
  }

  void malformedRegistryIsNamedWithLineAndReason() {
    // A registry file broken on its third line: nothing can be registered,
    // and every message says where and why.
    const std::string broken = "REGEDIT4\r\n[HKEY_CLASSES_ROOT\\CLSID]\r\n@=\"unterminated\r\n";
    testsupport::WriteFile(registry_->file(), broken);
    MakeFolder(false);
    QCOMPARE(console::RunConsole(*host_), 1);
    const QString where = QString::fromStdString(registry_->file() + ":3: malformed string value");
    QCOMPARE(host_->messages.size(), 2);
    QCOMPARE(host_->messages[0], QString::fromLatin1(console::kNotRegisteredMessage) +
                                     QStringLiteral("\n\nThe registry cannot be read: ") + where);
    const QString& reason = host_->messages[1];
    QVERIFY2(reason.contains(QStringLiteral("CVSRVA.OCX could not be created")), qPrintable(reason));
    QVERIFY2(reason.count(where) == 1, qPrintable(reason));
    QCOMPARE(host_->runs.size(), 1);
    QCOMPARE(ReadFile(registry_->file()), broken);  // left as it was
  }
};

QTEST_MAIN(StartTest)
#include "start_test.moc"
