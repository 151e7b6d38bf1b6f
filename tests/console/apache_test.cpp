// The decision tables of the Apache commands, against a control that records
// its calls and answers as scripted.
#include <gtest/gtest.h>

#include <deque>

#include "console/apache.h"
#include "console/config.h"
#include "support/temp_dir.h"

namespace {

using console::ApacheCommand;

class RecordingAdmin : public console::ServerAdmin {
 public:
  std::deque<bool> answers;  // results of the calls in order; true when none is left
  QStringList calls;

  void SetFullName(const QString& name) override { calls << QStringLiteral("FullName=") + name; }
  bool ExecuteProfile(const QString& file) override { return Answer(QStringLiteral("ExecuteProfile(%1)").arg(file)); }
  bool LoadQRX(const QString& name, const QString& parameters) override {
    return Answer(QStringLiteral("LoadQRX(%1,'%2')").arg(name, parameters));
  }
  bool UnloadQRX(const QString& name) override { return Answer(QStringLiteral("UnloadQRX(%1)").arg(name)); }

 private:
  bool Answer(const QString& call) {
    calls << call;
    if (answers.empty()) return true;
    const bool a = answers.front();
    answers.pop_front();
    return a;
  }
};

struct Case {
  const char* name;
  const char* section;  // the keys of [SRV1]
  ApacheCommand command;
  std::deque<bool> answers;
  QStringList calls;
  const char* message;  // nullptr: no message
};

const QString kBind = QStringLiteral("FullName=\\\\SRV1");

std::vector<Case> Cases() {
  const char* qrx13 = "Handle=QRX\nApacheVersion=1.3.xx\n";
  const char* qrx20 = "Handle=QRX\nApacheVersion=2.0.xx\n";
  const char* qbtNo = "Handle=QBT\nApacheVersion=9.9\nStart=ASTART\nStop=ASTOP\nRestart=ARESTART\nUseRestart=NO\n";
  const char* qbtYes = "Handle=QBT\nStart=ASTART\nStop=ASTOP\nRestart=ARESTART\nUseRestart=YES\n";
  return {
      {"start 2.0", qrx20, ApacheCommand::Start, {}, {kBind, "LoadQRX(apache2.qrx,'')"},
       "Starting Apache on SRV1 was successful."},
      {"start 1.3 refused", qrx13, ApacheCommand::Start, {false}, {kBind, "LoadQRX(apache.qrx,'')"},
       "An error occured during the start of Apache on SRV1."},
      {"stop 2.0", qrx20, ApacheCommand::Stop, {}, {kBind, "UnloadQRX(apache2 shutdown)"},
       "Apache was stopped successful on SRV1."},
      {"stop 1.3 refused", qrx13, ApacheCommand::Stop, {false}, {kBind, "UnloadQRX(apache.qrx)"},
       "An error occured while stopping apache on SRV1."},
      {"restart 2.0", qrx20, ApacheCommand::Restart, {}, {kBind, "UnloadQRX(apache2 shutdown)", "LoadQRX(apache2.qrx,'')"},
       "Apache was successfully restarted on SRV1."},
      {"restart 1.3 unload fails", qrx13, ApacheCommand::Restart, {false}, {kBind, "UnloadQRX(apache.qrx)"},
       "An error occured while restarting apache on SRV1."},
      {"start qbt", qbtNo, ApacheCommand::Start, {}, {kBind, "ExecuteProfile(ASTART.qbt)"},
       "Starting Apache on SRV1 was successful."},
      {"stop qbt", qbtNo, ApacheCommand::Stop, {false}, {kBind, "ExecuteProfile(ASTOP.qbt)"},
       "An error occured while stopping apache on SRV1."},
      {"restart qbt stop then start", qbtNo, ApacheCommand::Restart, {}, {kBind, "ExecuteProfile(ASTOP.qbt)", "ExecuteProfile(ASTART.qbt)"},
       "Apache was successfully restarted on SRV1."},
      {"restart qbt start fails", qbtNo, ApacheCommand::Restart, {true, false},
       {kBind, "ExecuteProfile(ASTOP.qbt)", "ExecuteProfile(ASTART.qbt)"},
       "An error occured while restarting apache on SRV1."},
      {"restart qbt stop fails", qbtNo, ApacheCommand::Restart, {false}, {kBind, "ExecuteProfile(ASTOP.qbt)"},
       "An error occured while restarting apache on SRV1."},
      {"restart qbt with the restart file", qbtYes, ApacheCommand::Restart, {}, {kBind, "ExecuteProfile(ARESTART.qbt)"},
       "Apache was successfully restarted on SRV1."},
      {"placeholder file is still sent", "Handle=QBT\nStart=-\n", ApacheCommand::Start, {}, {kBind, "ExecuteProfile(-.qbt)"},
       "Starting Apache on SRV1 was successful."},
      {"empty stop file", "Handle=QBT\n", ApacheCommand::Stop, {}, {kBind, "ExecuteProfile(.qbt)"},
       "Apache was stopped successful on SRV1."},
      {"no handle: start uses the module", "ApacheVersion=2.0.xx\n", ApacheCommand::Start, {}, {kBind, "LoadQRX(apache2.qrx,'')"},
       "Starting Apache on SRV1 was successful."},
      {"no handle: stop uses the module", "ApacheVersion=1.3.xx\n", ApacheCommand::Stop, {}, {kBind, "UnloadQRX(apache.qrx)"},
       "Apache was stopped successful on SRV1."},
      {"no handle: restart does nothing", "ApacheVersion=2.0.xx\n", ApacheCommand::Restart, {}, {}, nullptr},
      {"lower-case qrx: restart does nothing", "Handle=qrx\nApacheVersion=2.0.xx\n", ApacheCommand::Restart, {}, {}, nullptr},
      {"lower-case qbt: start uses the module", "Handle=qbt\nApacheVersion=2.0.xx\n", ApacheCommand::Start, {}, {kBind, "LoadQRX(apache2.qrx,'')"},
       "Starting Apache on SRV1 was successful."},
      {"unknown version: bind only", "Handle=QRX\nApacheVersion=2.4.62\n", ApacheCommand::Start, {}, {kBind}, nullptr},
      {"unknown version: stop binds only", "ApacheVersion=2.0\n", ApacheCommand::Stop, {}, {kBind}, nullptr},
      {"unknown version: qrx restart binds only", "Handle=QRX\nApacheVersion=2\n", ApacheCommand::Restart, {}, {kBind}, nullptr},
  };
}

TEST(ApacheCommands, FollowTheDecisionTables) {
  testsupport::TempDir dir;
  const console::IniFile ini(QString::fromStdString(dir / "server.ini"));
  for (const Case& c : Cases()) {
    testsupport::WriteFile(dir / "server.ini", std::string("[SRV1]\n") + c.section);
    RecordingAdmin admin;
    admin.answers = c.answers;
    const std::optional<QString> message = console::RunApacheCommand(c.command, ini, QStringLiteral("SRV1"), admin);
    EXPECT_EQ(admin.calls, c.calls) << c.name;
    if (c.message)
      EXPECT_EQ(message.value_or(QStringLiteral("(none)")), QString::fromLatin1(c.message)) << c.name;
    else
      EXPECT_FALSE(message.has_value()) << c.name << ": " << message->toStdString();
  }
}

TEST(ApacheCommands, WithoutAServerStartAndStopBindEmptyAndRestartDoesNothing) {
  testsupport::TempDir dir;
  const console::IniFile ini(QString::fromStdString(dir / "missing.ini"));
  const struct {
    ApacheCommand command;
    QStringList calls;
  } cases[] = {{ApacheCommand::Start, {"FullName=\\\\"}}, {ApacheCommand::Stop, {"FullName=\\\\"}}, {ApacheCommand::Restart, {}}};
  for (const auto& c : cases) {
    RecordingAdmin admin;
    EXPECT_FALSE(console::RunApacheCommand(c.command, ini, QString(), admin).has_value());
    EXPECT_EQ(admin.calls, c.calls);
  }
}

TEST(ApacheCommands, TheSectionIsReadAfreshEveryTime) {
  testsupport::TempDir dir;
  const console::IniFile ini(QString::fromStdString(dir / "server.ini"));
  testsupport::WriteFile(dir / "server.ini", "[SRV1]\nHandle=QRX\nApacheVersion=2.0.xx\n");
  RecordingAdmin admin;
  console::RunApacheCommand(ApacheCommand::Start, ini, QStringLiteral("SRV1"), admin);
  testsupport::WriteFile(dir / "server.ini", "[SRV1]\nHandle=QBT\nStart=GO\n");
  console::RunApacheCommand(ApacheCommand::Start, ini, QStringLiteral("SRV1"), admin);
  EXPECT_EQ(admin.calls, (QStringList{kBind, "LoadQRX(apache2.qrx,'')", kBind, "ExecuteProfile(GO.qbt)"}));
}

}  // namespace
