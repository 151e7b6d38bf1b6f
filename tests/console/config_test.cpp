// The console's configuration logic without windows: trimming, loading and
// saving a server section, the main window's load step and server selection.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "console/addeditserver.h"
#include "console/config.h"
#include "console/errors.h"
#include "console/mainmodel.h"
#include "console/host.h"
#include "privileges.h"
#include "support/temp_dir.h"

namespace {

using console::Choice;
using console::IniFile;
using console::MainModel;
using console::ServerFields;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

QString Q(const std::string& s) { return QString::fromStdString(s); }

TEST(TrimBlanks, RemovesSpacesAndControlCharactersAtBothEnds) {
  struct Case {
    const char16_t* in;
    const char16_t* out;
  } cases[] = {
      {u"", u""}, {u"SRV1", u"SRV1"}, {u"  SRV1 ", u"SRV1"}, {u"\t\r\nSRV1\x01", u"SRV1"},
      {u" SRV 1 ", u"SRV 1"}, {u"   ", u""}, {u"\u00a0SRV1", u"\u00a0SRV1"},  // only up to the blank
  };
  for (const Case& c : cases) EXPECT_EQ(console::TrimBlanks(QString::fromUtf16(c.in)), QString::fromUtf16(c.out));
}

class ServerSectionTest : public ::testing::Test {
 protected:
  TempDir dir;
  IniFile ini{Q(dir / "server.ini")};
};

TEST_F(ServerSectionTest, LoadSelectsOnlyExactValuesAndKeepsButtonsOtherwise) {
  WriteFile(dir / "server.ini",
            "[A]\r\nApachePath=F:\\APACHE\r\nApacheVersion=1.3.xx\r\nHandle=QRX\r\nStart=ASTART\r\nStop=ASTOP\r\n"
            "Restart=-\r\nUseRestart=YES\r\n"
            "[B]\r\nApacheVersion=2.0.XX\r\nHandle=qrx\r\nUseRestart=\r\n"
            "[C]\r\nApacheVersion=2.0.xx\r\nHandle=QBT\r\nUseRestart=NO\r\n");
  ServerFields f;
  f.serverName = QStringLiteral("kept");
  console::LoadServerSection(f, ini, QStringLiteral("A"));
  EXPECT_EQ(f.serverName, QStringLiteral("kept"));
  EXPECT_EQ(f.apacheDir, QStringLiteral("F:\\APACHE"));
  EXPECT_EQ(f.version, Choice::First);
  EXPECT_EQ(f.handle, Choice::First);
  EXPECT_FALSE(f.commandFieldsEnabled) << "QRX disables the command-file fields";
  EXPECT_EQ(f.start, QStringLiteral("ASTART"));
  EXPECT_EQ(f.stop, QStringLiteral("ASTOP"));
  EXPECT_EQ(f.restart, QStringLiteral("-"));
  EXPECT_TRUE(f.useRestart);

  // Values in the wrong case or empty change no button; texts are replaced.
  console::LoadServerSection(f, ini, QStringLiteral("B"));
  EXPECT_EQ(f.version, Choice::First);
  EXPECT_EQ(f.handle, Choice::First);
  EXPECT_FALSE(f.commandFieldsEnabled);
  EXPECT_TRUE(f.useRestart);
  EXPECT_EQ(f.apacheDir, QString());
  EXPECT_EQ(f.start, QString());

  console::LoadServerSection(f, ini, QStringLiteral("c"));  // section names match without case
  EXPECT_EQ(f.version, Choice::Second);
  EXPECT_EQ(f.handle, Choice::Second);
  EXPECT_TRUE(f.commandFieldsEnabled);
  EXPECT_FALSE(f.useRestart);
}

TEST_F(ServerSectionTest, LowerCaseHandleLeavesFieldsEnabled) {
  WriteFile(dir / "server.ini", "[S]\nHandle=qrx\n");
  ServerFields f;
  console::LoadServerSection(f, ini, QStringLiteral("S"));
  EXPECT_EQ(f.handle, Choice::None);
  EXPECT_TRUE(f.commandFieldsEnabled);
}

TEST_F(ServerSectionTest, SaveWritesAllEightKeysInOrder) {
  struct Case {
    Choice version, handle;
    bool useRestart;
    const char* versionText;
    const char* handleText;
    const char* useRestartText;
  } cases[] = {
      {Choice::First, Choice::Second, true, "1.3.xx", "QBT", "YES"},
      {Choice::Second, Choice::First, false, "2.0.xx", "QRX", "NO"},
      {Choice::None, Choice::None, false, "2.0.xx", "QBT", "NO"},  // nothing selected
  };
  for (const Case& c : cases) {
    std::filesystem::remove(dir / "server.ini");
    ServerFields f;
    f.serverName = QStringLiteral("SRV1");
    f.apacheDir = QStringLiteral("F:\\APACHE");
    f.version = c.version;
    f.handle = c.handle;
    f.start = QStringLiteral("ASTART");
    f.useRestart = c.useRestart;
    console::SaveServerSection(f, ini);
    EXPECT_EQ(ReadFile(dir / "server.ini"),
              std::string("[SRV1]\r\nServername=SRV1\r\nApachePath=F:\\APACHE\r\nApacheVersion=") + c.versionText +
                  "\r\nHandle=" + c.handleText + "\r\nStart=ASTART\r\nStop=-\r\nRestart=-\r\nUseRestart=" +
                  c.useRestartText + "\r\n");
    // Empty command-file fields show "-" afterwards.
    EXPECT_EQ(f.stop, QStringLiteral("-"));
    EXPECT_EQ(f.restart, QStringLiteral("-"));
    EXPECT_EQ(f.start, QStringLiteral("ASTART"));
  }
}

TEST_F(ServerSectionTest, SavingTheSameNameTwiceReplacesInPlace) {
  WriteFile(dir / "server.ini", "; servers\r\n[srv1]\r\nServername=old\r\nNote=kept\r\n\r\n[Other]\r\nServername=Other\r\n");
  ServerFields f;
  f.serverName = QStringLiteral("SRV1");
  console::SaveServerSection(f, ini);
  f.apacheDir = QStringLiteral("/srv/apache");
  console::SaveServerSection(f, ini);
  EXPECT_EQ(ini.Sections(), (QStringList{QStringLiteral("srv1"), QStringLiteral("Other")}));
  EXPECT_EQ(ini.Read(QStringLiteral("SRV1"), QStringLiteral("Servername")), QStringLiteral("SRV1"));
  EXPECT_EQ(ini.Read(QStringLiteral("SRV1"), QStringLiteral("ApachePath")), QStringLiteral("/srv/apache"));
  EXPECT_EQ(ini.Read(QStringLiteral("SRV1"), QStringLiteral("Note")), QStringLiteral("kept"));
  EXPECT_NE(ReadFile(dir / "server.ini").find("; servers\r\n"), std::string::npos);
}

TEST_F(ServerSectionTest, ANameThatCannotBeStoredIsRefusedWithAMessage) {
  ServerFields f;
  f.serverName = QStringLiteral("SRV1]\r\n[Injected");
  try {
    console::SaveServerSection(f, ini);
    FAIL() << "the write was not refused";
  } catch (const console::ConsoleError& e) {
    EXPECT_EQ(e.Text(), QStringLiteral("The server name cannot be saved: it holds a line break. Nothing was saved."));
  }
  EXPECT_FALSE(ini.Exists());
}

TEST_F(ServerSectionTest, ARefusedConfigurationWritesNoKeyAtAll) {
  const std::string before = "[SRV1]\r\nServername=SRV1\r\nApachePath=/old\r\n";
  WriteFile(dir / "server.ini", before);
  const auto fields = [](const char* name, const char* dir = "", const char* restart = "") {
    ServerFields f;
    f.serverName = QString::fromLatin1(name);
    f.apacheDir = QString::fromLatin1(dir);
    f.restart = QString::fromLatin1(restart);
    return f;
  };
  struct Case {
    const char* name;
    ServerFields fields;
    const char* reason;  // empty: saved
  } cases[] = {
      {"empty name", fields(""), "Please enter the name of the server. Nothing was saved."},
      {"blank name", fields("  \t"), "Please enter the name of the server. Nothing was saved."},
      {"bracket", fields("SRV]1"),
       "The server name \"SRV]1\" cannot be saved: a server name in server.ini cannot hold \"]\". Nothing was saved."},
      {"line break in the name", fields("SRV1\nX"),
       "The server name cannot be saved: it holds a line break. Nothing was saved."},
      // The name is fine, a later value is not: not even Servername is written.
      {"line break in the directory", fields("SRV1", "/new\rpath"),
       "The Apache directory cannot be saved: it holds a line break. Nothing was saved."},
      {"line break in a file", fields("SRV1", "", "AR\n"),
       "The restart file cannot be saved: it holds a line break. Nothing was saved."},
      {"blanks around a name", fields(" SRV2 "), ""},
      {"an opening bracket", fields("[SRV3"), ""},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(console::RefusedServerFields(c.fields), QString::fromLatin1(c.reason));
    const std::string old = ReadFile(dir / "server.ini");
    if (*c.reason) {
      EXPECT_THROW(console::SaveServerSection(c.fields, ini), console::ConsoleError);
      EXPECT_EQ(ReadFile(dir / "server.ini"), old);
    } else {
      console::SaveServerSection(c.fields, ini);
      const QString section = console::TrimBlanks(c.fields.serverName);
      EXPECT_EQ(ini.Read(section, QStringLiteral("Servername")), section);
    }
  }
  EXPECT_EQ(ini.Read(QStringLiteral("SRV1"), QStringLiteral("ApachePath")), QStringLiteral("/old"));
}

class MainModelTest : public ::testing::Test {
 protected:
  TempDir dir;
  QString programDir = Q(dir.path().string() + "/");
};

TEST_F(MainModelTest, WithoutFilesEverythingStaysAsDesigned) {
  MainModel m(programDir);
  m.Load();
  EXPECT_EQ(m.Panel(0), QStringLiteral("Path: "));
  EXPECT_EQ(m.Panel(1), QStringLiteral("Servername: "));
  EXPECT_EQ(m.Panel(2), QStringLiteral("Status:"));
  EXPECT_EQ(m.Panel(3), QStringLiteral("Version:"));
  EXPECT_EQ(m.Panel(4), QString());
  EXPECT_EQ(m.Panel(5), QStringLiteral("Mode"));
  EXPECT_EQ(m.ServerMenu(), MainModel::MenuVisibility::Unchanged);
  EXPECT_TRUE(m.ServerEntries().isEmpty());
  EXPECT_TRUE(m.CurrentServer().isEmpty());
}

TEST_F(MainModelTest, ModeAndHandleMatchExactly) {
  struct Case {
    const char* mode;
    const char* handle;
    const char* panel4;
    const char* panel5;
    MainModel::MenuVisibility menu;
  } cases[] = {
      {"Expert", "QRX", "E", "QRX", MainModel::MenuVisibility::Shown},
      {"Simple", "QBT", "S", "QBT", MainModel::MenuVisibility::Hidden},
      {"expert", "qrx", "", "Mode", MainModel::MenuVisibility::Unchanged},
      {"", "", "", "Mode", MainModel::MenuVisibility::Unchanged},
  };
  for (const Case& c : cases) {
    WriteFile(dir / "setting.ini", std::string("[Main]\nServername=SRV1\nMode=") + c.mode + "\n");
    WriteFile(dir / "server.ini", std::string("[SRV1]\nApachePath=F:\\APACHE\nHandle=") + c.handle + "\n");
    MainModel m(programDir);
    m.Load();
    EXPECT_EQ(m.Panel(4), QString::fromLatin1(c.panel4)) << c.mode;
    EXPECT_EQ(m.Panel(5), QString::fromLatin1(c.panel5)) << c.handle;
    EXPECT_EQ(m.ServerMenu(), c.menu) << c.mode;
    EXPECT_EQ(m.Panel(0), QStringLiteral("Path: F:\\APACHE"));
    EXPECT_EQ(m.Panel(1), QStringLiteral("Servername: SRV1"));
    EXPECT_EQ(m.ApacheDir(), QStringLiteral("F:\\APACHE"));
  }
}

TEST_F(MainModelTest, SelectingASectionMakesItsServernameCurrent) {
  WriteFile(dir / "server.ini",
            "[C]\nServername=C\nHandle=QBT\n[A]\nServername=B\nApachePath=/b\nHandle=QRX\n[B]\nServername=B\n"
            "[NoHandle]\nServername=N\nApachePath=/n\n");
  MainModel m(programDir);
  m.Load();
  EXPECT_EQ(m.ServerEntries(),
            (QStringList{QStringLiteral("C"), QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("NoHandle")}));
  m.SelectServer(QStringLiteral("A"));
  EXPECT_EQ(m.CurrentServer(), QStringLiteral("B"));
  EXPECT_EQ(m.ApacheDir(), QStringLiteral("/b"));
  EXPECT_EQ(m.Panel(1), QStringLiteral("Servername: B"));
  EXPECT_EQ(m.Panel(5), QStringLiteral("QRX"));
  m.SelectServer(QStringLiteral("NoHandle"));
  EXPECT_EQ(m.Panel(5), QStringLiteral("QRX")) << "a section without Handle leaves panel 5";
  EXPECT_EQ(m.Panel(0), QStringLiteral("Path: /n"));
  EXPECT_EQ(m.CurrentServer(), QStringLiteral("N"));
}

TEST(SortedWithoutCase, SortsAlphabeticallyIgnoringCase) {
  EXPECT_EQ(console::SortedWithoutCase({QStringLiteral("srv2"), QStringLiteral("Apache"), QStringLiteral("SRV1"),
                                        QStringLiteral("beta")}),
            (QStringList{QStringLiteral("Apache"), QStringLiteral("beta"), QStringLiteral("SRV1"), QStringLiteral("srv2")}));
}


// An installed program folder is not writable by its users: the INI files go
// to the user's configuration folder then, and stay beside the program
// wherever it may write.
TEST(ConfigDir, BesideTheProgramOnlyWhileItsFolderIsWritable) {
  struct Host : console::Host {
    QString program;
    QString ProgramDir() const override { return program; }
  };
  TempDir root;
  ASSERT_EQ(::chmod(root.path().c_str(), 0755), 0);  // "nobody" must reach inside
  const std::string config = root / "config";
  ASSERT_EQ(::mkdir(config.c_str(), 0777), 0);
  ASSERT_EQ(::chmod(config.c_str(), 0777), 0);
  ASSERT_EQ(::setenv("XDG_CONFIG_HOME", config.c_str(), 1), 0);
  const struct {
    mode_t mode;
    bool beside;
  } cases[] = {{0777, true}, {0555, false}, {0755, false}};
  for (const auto& c : cases) {
    const std::string program = root / ("program" + std::to_string(c.mode));
    ASSERT_EQ(::mkdir(program.c_str(), c.mode), 0);
    ASSERT_EQ(::chmod(program.c_str(), c.mode), 0);
    Host host;
    host.program = Q(program) + QLatin1Char('/');
    QString dir;
    {
      cvtest::Unprivileged asUser;  // root would pass every permission check
      dir = host.ConfigDir();
    }
    if (c.beside) {
      EXPECT_EQ(dir.toStdString(), host.program.toStdString()) << std::oct << c.mode;
    } else {
      EXPECT_EQ(dir.toStdString(), config + "/webwarden32/") << std::oct << c.mode;
      EXPECT_TRUE(std::filesystem::is_directory(config + "/webwarden32")) << "made on first use";
    }
  }
  ::unsetenv("XDG_CONFIG_HOME");
}

}  // namespace
