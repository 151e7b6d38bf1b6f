// The audit trail end to end: a real cvserverd with the call service cvrfcd,
// driven by cvcli and raw protocol clients on 127.0.0.1. Each administrative
// action and each refusal leaves exactly one record; client text cannot
// forge one; audit-verify checks the trail the agent wrote; AUDIT.TAIL and
// cvcli audit answer operators only; a trail that cannot be written makes a
// required audit refuse actions.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "agent_harness.h"
#include "corvane/server/audit_record.h"
#include "corvane/wire/cverrors.h"
#include "corvane/wire/frame.h"
#include "corvane/wire/protocol.h"
#include "support/run.h"
#include "support/slapd_fixture.h"
#include "test_certs.h"

namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using testsupport::Quote;

constexpr std::uint32_t kRefusedNotOperator = 35270;

std::string Hostname() {
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  return host;
}

class AuditE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    agent_.serverExtra = "autoexec = \"AUTOEXEC.QBT\"\n";
    agent_.extra =
        "[[parameter]]\nname = \"Server Banner\"\ntype = \"text\"\nvalue = \"Hello\"\n"
        "[audit]\njournal = false\n" +
        auditExtra_;
    agent_.WriteFile("SYS/SYSTEM/RFC.qrx", "exec = [\"" CVRFCD_PATH "\"]\n"
                                           "services = [\"CvSrvA Remote Function Calls\"]\n"
                                           "ready = { service = true, timeout_ms = 5000 }\nstop_timeout_ms = 2000\n");
    agent_.WriteFile("SYS/SYSTEM/AUTOEXEC.QBT", "LOAD RFC\nSET Server Banner = Booted\n");
    agent_.WriteFile("SYS/SYSTEM/TESTMOD.qrx",
                     "exec = [\"" CVTESTMODULE_PATH "\"]\nready = { alive_ms = 100 }\nstop_timeout_ms = 2000\n");
    agent_.WriteFile("SYS/SYSTEM/BROKEN.qrx",
                     "exec = [\"" CVTESTMODULE_PATH "\"]\nready = { alive_ms = 100 }\n"
                     "preflight = [\"" CVTESTMODULE_PATH "\", \"--print\", \"httpd.conf: bad directive\", "
                     "\"--exit\", \"1\"]\n");
    agent_.WriteFile("SYS/SYSTEM/GOOD.QBT", "SET Server Banner = From a file\n");
    ASSERT_TRUE(agent_.Start()) << agent_.Log();
    agent_.WriteClientIni("GUEST");
    std::filesystem::copy_file(agent_.dir() / "client.ini", agent_.dir() / "guest.ini");
    agent_.WriteClientIni("ADMIN");
    std::filesystem::copy_file(agent_.dir() / "client.ini", agent_.dir() / "admin.ini");
    // The first contact records the server in known_servers; both files share it.
    ASSERT_EQ(Cli("admin", "SRV1 info").status, 0);
    // The start-up command file has run (the call service is up).
    ASSERT_EQ(RecordsOnceThere(1, "run").size(), 1u) << agent_.Log();
    ASSERT_EQ(RecordsOnceThere(1, "login").size(), 1u) << agent_.Log();
  }

  testsupport::RunResult Cli(const std::string& who, const std::string& args) {
    return testsupport::RunShell("CORVANE_CLIENT=" + Quote((agent_.dir() / (who + ".ini")).string()) + " " +
                                 Quote(CVCLI_PATH) + " " + args);
  }

  std::filesystem::path trail() const { return agent_.dir() / "audit.log"; }

  std::vector<std::string> Lines() const {
    std::ifstream in(trail());
    std::vector<std::string> out;
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
  }

  // The records of action (all when empty), in order.
  std::vector<cvaudit::Record> Records(const std::string& action = "") const {
    std::vector<cvaudit::Record> out;
    for (const auto& l : Lines()) {
      auto r = cvaudit::Parse(l);
      EXPECT_TRUE(r) << l;
      if (r && (action.empty() || r->action == action)) out.push_back(std::move(*r));
    }
    return out;
  }

  // Records are written just after the reply that they record is sent:
  // waits (a bounded time) until at least count of them are in the file.
  std::vector<cvaudit::Record> RecordsOnceThere(std::size_t count, const std::string& action = "") const {
    for (int i = 0; i < 200 && Records(action).size() < count; ++i) std::this_thread::sleep_for(25ms);
    return Records(action);
  }

  testsupport::RunResult Verify(const std::string& files) {
    return testsupport::RunShell(Quote(CVSERVERD_PATH) + " audit-verify --config " +
                                 Quote((agent_.dir() / "agent.toml").string()) + " " + files);
  }

  std::string auditExtra_;
  cvtest::AgentProcess agent_;
};

std::string Extra(const cvaudit::Record& r, const char* name) {
  const std::string* v = r.Extra(name);
  return v ? *v : "-";
}

TEST_F(AuditE2eTest, EachActionAndEachRefusalLeavesOneRecord) {
  cvtest::RawClient guest(agent_.port());
  ASSERT_EQ(guest.Login("GUEST", "guest-secret"), std::optional<std::uint32_t>(0u));  // slot 1
  ASSERT_EQ(RecordsOnceThere(2, "login").size(), 2u);
  const std::size_t before = Records().size();

  struct Step {
    std::string who, args;
    int status;
  };
  const std::vector<Step> steps = {
      {"admin", "SRV1 load TESTMOD", 0},
      {"admin", "SRV1 load BROKEN", 1},
      {"admin", "SRV1 unload TESTMOD", 0},
      {"admin", "SRV1 run GOOD.QBT", 0},
      {"admin", "SRV1 param 'Server Banner' 'Welcome'", 0},
      {"admin", "SRV1 send 1 'maintenance at noon'", 0},
      {"admin", "SRV1 clear 99", 1},
      {"admin", "SRV1 clear 1", 0},
      {"admin", "audit SRV1 -n 3", 0},
      {"guest", "SRV1 load TESTMOD", 1},
      {"guest", "SRV1 param 'Server Banner' 'Hacked'", 1},
      {"guest", "SRV1 send 2 'hi'", 1},
      {"guest", "SRV1 clear 2", 1},
      {"guest", "audit SRV1", 1},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.who + ": " + s.args);
    const auto r = Cli(s.who, s.args);
    EXPECT_EQ(r.status, s.status) << r.output;
  }
  // A wrong password: a refused login.
  agent_.WriteFile("pw-ADMIN", "not-the-password\n");
  EXPECT_EQ(Cli("admin", "SRV1 info").status, 1);

  struct Expected {
    std::string action, target;
    std::uint32_t outcome;
    std::string user, extraName, extraValue;
  };
  const std::vector<Expected> expected = {
      {"load", "TESTMOD ", 0, "ADMIN", "detail", "-"},
      {"load", "BROKEN ", kCvErrModuleFailed, "ADMIN", "detail", "httpd.conf: bad directive"},
      {"unload", "TESTMOD", 0, "ADMIN", "detail", "-"},
      {"param", "Server Banner", 0, "ADMIN", "new", "From a file"},
      {"run", "GOOD.QBT", 0, "ADMIN", "detail", "-"},
      {"param", "Server Banner", 0, "ADMIN", "old", "From a file"},
      {"send", "1", 0, "ADMIN", "detail", "maintenance at noon"},
      {"clear", "99", kCvErrBadConnectionNumber, "ADMIN", "detail", "-"},
      {"clear", "1", 0, "ADMIN", "detail", "user GUEST"},
      {"call", "AUDIT.TAIL", 0, "ADMIN", "result", "ok"},
      {"load", "TESTMOD ", kRefusedNotOperator, "GUEST", "detail", "-"},
      {"param", "Server Banner", kRefusedNotOperator, "GUEST", "new", "Hacked"},
      {"send", "2", kRefusedNotOperator, "GUEST", "detail", "hi"},
      {"clear", "2", kRefusedNotOperator, "GUEST", "detail", "-"},
      {"call", "AUDIT.TAIL", 0, "GUEST", "result", "refused"},
  };
  const auto all = RecordsOnceThere(before + steps.size() + 1 + expected.size());
  ASSERT_GT(all.size(), before);
  std::vector<cvaudit::Record> actions, logins;
  for (std::size_t i = before; i < all.size(); ++i) {
    (all[i].action == "login" ? logins : actions).push_back(all[i]);
  }
  // One login per cvcli run, and the refused one last.
  ASSERT_EQ(logins.size(), steps.size() + 1);
  for (std::size_t i = 0; i < logins.size(); ++i) {
    const auto& l = logins[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(l.who.mechanism, "scram");
    EXPECT_EQ(l.who.workstation, Hostname());
    EXPECT_EQ(l.who.peer, "127.0.0.1");
    EXPECT_NE(l.who.port, 0);
    if (i + 1 < logins.size()) {
      EXPECT_EQ(l.outcome, 0u);
      EXPECT_EQ(l.target, l.who.user);
      EXPECT_NE(l.who.connection, 0u);
      EXPECT_NE(l.who.objectId, 0u);
    }
  }
  EXPECT_EQ(logins.back().outcome, kCvErrLoginRefused);
  EXPECT_EQ(logins.back().who.user, "ADMIN");
  EXPECT_EQ(logins.back().who.connection, 0u);

  ASSERT_EQ(actions.size(), expected.size());
  const std::regex time("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}Z");
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const auto& e = expected[i];
    const auto& a = actions[i];
    SCOPED_TRACE(e.action + " " + e.target);
    EXPECT_EQ(a.action, e.action);
    EXPECT_EQ(a.target, e.target);
    EXPECT_EQ(a.outcome, e.outcome);
    EXPECT_EQ(a.who.user, e.user);
    if (e.extraValue == "-") {
      EXPECT_EQ(Extra(a, e.extraName.c_str()), "-");
    } else {
      EXPECT_THAT(Extra(a, e.extraName.c_str()), HasSubstr(e.extraValue));
    }
    EXPECT_NE(a.who.connection, 0u);
    EXPECT_EQ(a.who.peer, "127.0.0.1");
    EXPECT_EQ(a.who.workstation, Hostname());
    EXPECT_TRUE(std::regex_match(a.time, time)) << a.time;
  }
  // Old and new value of a parameter set by a client.
  EXPECT_EQ(Extra(actions[5], "new"), "Welcome");
  // A call is recorded by name and outcome, never with its parameters.
  EXPECT_EQ(Extra(actions[9], "service"), "RFC");
  for (const auto& l : Lines()) EXPECT_EQ(l.find("\"3\""), std::string::npos) << l;

  // The start-up command file ran as the agent itself, with its SET line.
  const auto boot = Records();
  const auto startRun = std::find_if(boot.begin(), boot.end(), [](const auto& r) { return r.action == "run"; });
  ASSERT_NE(startRun, boot.end());
  EXPECT_EQ(startRun->target, "AUTOEXEC.QBT");
  EXPECT_EQ(startRun->who.user, "");
  EXPECT_EQ(startRun->who.connection, 0u);
  EXPECT_EQ(Extra(*(startRun - 1), "new"), "Booted");
  EXPECT_EQ(Extra(*(startRun - 1), "old"), "Hello");
  EXPECT_EQ((startRun - 2)->action, "load");
  EXPECT_EQ((startRun - 2)->target, "RFC");
  EXPECT_EQ(Extra(*(startRun - 2), "file"), "AUTOEXEC.QBT");
}

TEST_F(AuditE2eTest, ClientTextCannotForgeARecord) {
  const std::string forged =
      "WS\"}\n{\"seq\":1,\"time\":\"2026-01-01T00:00:00.000Z\",\"action\":\"load\",\"target\":\"X\","
      "\"outcome\":0,\"prev\":\"" +
      std::string(cvaudit::kNoPrevious) + "\"}\r\n\\u0022";
  const std::size_t before = Lines().size();
  cvtest::RawClient c(agent_.port());
  ASSERT_TRUE(c.connected());
  cvwire::Writer hello(cvwire::Type(cvwire::Msg::Hello), c.NextId());
  hello.U32(cvwire::kProtocolVersion).Str(forged).Str("PLAIN\n" + forged).Blob(std::vector<std::uint8_t>{1, 2});
  ASSERT_TRUE(c.SendBytes(hello.Frame()));
  ASSERT_TRUE(c.Receive());
  // A broadcast text with a line break is refused, and recorded as sent.
  ASSERT_EQ(c.Login("ADMIN", "admin-secret"), std::optional<std::uint32_t>(0u));
  cvwire::Writer send(cvwire::Type(cvwire::Msg::Broadcast), c.NextId());
  send.Str("line\n" + forged).U16(1).U16(1);
  ASSERT_TRUE(c.SendBytes(send.Frame()));
  ASSERT_TRUE(c.Receive());

  RecordsOnceThere(before + 3);
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), before + 3);  // the refused login, the login, the refused send
  const auto refused = cvaudit::Parse(lines[before]);
  ASSERT_TRUE(refused) << lines[before];
  EXPECT_EQ(refused->action, "login");
  EXPECT_EQ(refused->outcome, cvwire::kCodeUnsupported);
  EXPECT_EQ(refused->who.workstation, forged);
  const auto sent = cvaudit::Parse(lines[before + 2]);
  ASSERT_TRUE(sent);
  EXPECT_EQ(sent->action, "send");
  EXPECT_EQ(sent->outcome, kCvErrInvalidArgument);
  EXPECT_EQ(Extra(*sent, "detail"), "line\n" + forged);
  for (const auto& r : Records()) EXPECT_NE(r.target, "X");
}

TEST_F(AuditE2eTest, AuditTailAndCliAnswerOperatorsWithTheRecordsAsked) {
  ASSERT_EQ(Cli("admin", "SRV1 load TESTMOD").status, 0);
  ASSERT_EQ(Cli("admin", "SRV1 unload TESTMOD").status, 0);
  ASSERT_EQ(Cli("guest", "SRV1 load TESTMOD").status, 1);

  auto r = Cli("admin", "audit SRV1 --action load -n 5");
  ASSERT_EQ(r.status, 0) << r.output;
  std::vector<std::string> rows;
  std::istringstream in(r.output);
  for (std::string l; std::getline(in, l);) rows.push_back(l);
  ASSERT_EQ(rows.size(), 4u) << r.output;  // header, the start-up file's LOAD RFC, two loads
  EXPECT_THAT(rows[0], HasSubstr("ACTION"));
  EXPECT_THAT(rows[1], HasSubstr("(agent)"));
  EXPECT_THAT(rows[1], HasSubstr("RFC file=AUTOEXEC.QBT"));
  EXPECT_THAT(rows[2], HasSubstr("ADMIN"));
  EXPECT_THAT(rows[2], HasSubstr("TESTMOD"));
  EXPECT_THAT(rows[3], HasSubstr("GUEST"));
  EXPECT_THAT(rows[3], HasSubstr(std::to_string(kRefusedNotOperator)));
  EXPECT_THAT(rows[3], HasSubstr("127.0.0.1:"));

  r = Cli("admin", "SRV1 audit --user guest --action LOAD");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), 2) << r.output;

  r = Cli("admin", "audit SRV1 -n 1");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), 2) << r.output;
  EXPECT_THAT(r.output, HasSubstr("login"));  // this run's own login is the last record

  r = Cli("guest", "audit SRV1");
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.output, HasSubstr("The user does have console privileges."));
  EXPECT_EQ(Cli("admin", "audit SRV1 -n 0").status, 2);
  EXPECT_EQ(Cli("admin", "audit SRV1 --bogus x").status, 2);
}

TEST_F(AuditE2eTest, VerifyAcceptsTheAgentsTrailAndNamesTampering) {
  for (int i = 0; i < 3; ++i) ASSERT_EQ(Cli("admin", "SRV1 param 'Server Banner' v" + std::to_string(i)).status, 0);
  // While the agent runs, the trail does not end in a checkpoint yet.
  auto v = Verify(Quote(trail().string()));
  EXPECT_EQ(v.status, 3) << v.output;
  EXPECT_THAT(v.output, HasSubstr("after the last checkpoint"));
  agent_.Stop();
  v = Verify(Quote(trail().string()));
  EXPECT_EQ(v.status, 0) << v.output;
  EXPECT_THAT(v.output, HasSubstr("intact"));

  auto lines = Lines();
  ASSERT_GT(lines.size(), 6u);
  const auto at = lines[4].find("\"Server Banner\"");
  if (at != std::string::npos) lines[4].replace(at, 15, "\"Other Banner\"");
  else lines[4].insert(1, "\"x\":\"y\",");
  {
    std::ofstream out(trail(), std::ios::trunc);
    for (const auto& l : lines) out << l << "\n";
  }
  v = Verify(Quote(trail().string()));
  EXPECT_EQ(v.status, 1) << v.output;
  EXPECT_THAT(v.output, HasSubstr("audit.log:6 "));
  EXPECT_EQ(testsupport::RunShell(Quote(CVSERVERD_PATH) + " audit-verify").status, 2);
}

// A certificate renewed by a reload: the old key hands the trail over to the
// new one, and audit-verify accepts the trail given both certificates (the
// configuration now names only the new one).
TEST_F(AuditE2eTest, ARenewedCertificateTakesTheTrailOver) {
  const auto key = cvtest::NewKey();
  const auto cert = cvtest::MakeCert(key.get(), "127.0.0.1", -1, 30);
  const auto renewed = agent_.dir() / "renewed";
  std::filesystem::create_directories(renewed);
  cvtest::WritePem(renewed / "server.pem", cert.get());
  cvtest::WritePem(renewed / "server.key", key.get());
  ::chmod((renewed / "server.key").c_str(), 0600);
  agent_.extra += "[tls]\ncertificate = \"" + (renewed / "server.pem").string() + "\"\nkey = \"" +
                  (renewed / "server.key").string() + "\"\n";
  agent_.WriteConfig();
  agent_.Signal(SIGHUP);
  ASSERT_TRUE(agent_.WaitForLog("new server certificate")) << agent_.Log();
  const auto checkpoints = RecordsOnceThere(3, "checkpoint");
  ASSERT_EQ(checkpoints.size(), 3u);
  EXPECT_EQ(checkpoints[1].target, "rekey");
  EXPECT_EQ(Extra(checkpoints[1], "key"), Extra(checkpoints[0], "key"));
  EXPECT_EQ(Extra(checkpoints[1], "next"), Extra(checkpoints[2], "key"));
  EXPECT_NE(Extra(checkpoints[2], "key"), Extra(checkpoints[0], "key"));
  agent_.Stop();

  auto v = Verify(Quote(trail().string()));
  EXPECT_EQ(v.status, 1) << v.output;
  EXPECT_THAT(v.output, HasSubstr("audit.log:1 (record 1, checkpoint): checkpoint signed by another key"));
  const std::string before = Quote((agent_.dir() / "cvserverd-cert.pem").string());
  v = Verify("--certificate " + before + " " + Quote(trail().string()));
  EXPECT_EQ(v.status, 0) << v.output;
  EXPECT_THAT(v.output, HasSubstr("4 checkpoints"));
  // Only the certificates given: the configured one is left out.
  v = testsupport::RunShell(Quote(CVSERVERD_PATH) + " audit-verify --certificate " + before + " " +
                            Quote(trail().string()));
  EXPECT_EQ(v.status, 1) << v.output;
  EXPECT_THAT(v.output, HasSubstr(", checkpoint): checkpoint signed by another key"));
  EXPECT_THAT(v.output, ::testing::Not(HasSubstr("(record 1,"))) << "the checkpoints before the renewal verify";
}

class AuditRotationE2eTest : public AuditE2eTest {
 protected:
  void SetUp() override {
    auditExtra_ = "max_size = 4096\nkeep = 2\n";
    AuditE2eTest::SetUp();
  }
};

TEST_F(AuditRotationE2eTest, RotationKeepsTheChainAcrossFilesAndRestarts) {
  // About 700 bytes a run (its login and the change): three files' worth.
  for (int i = 0; i < 16; ++i) ASSERT_EQ(Cli("admin", "SRV1 param 'Server Banner' v" + std::to_string(i)).status, 0);
  agent_.Stop();
  ASSERT_TRUE(agent_.Start()) << agent_.Log();
  agent_.WriteClientIni("ADMIN");  // the new port
  std::filesystem::copy_file(agent_.dir() / "client.ini", agent_.dir() / "admin.ini",
                             std::filesystem::copy_options::overwrite_existing);
  ASSERT_EQ(Cli("admin", "SRV1 param 'Server Banner' again").status, 0);
  agent_.Stop();
  ASSERT_TRUE(std::filesystem::exists(trail().string() + ".1"));
  ASSERT_TRUE(std::filesystem::exists(trail().string() + ".2"));
  EXPECT_FALSE(std::filesystem::exists(trail().string() + ".3"));
  const std::string files =
      Quote(trail().string()) + " " + Quote(trail().string() + ".2") + " " + Quote(trail().string() + ".1");
  const auto v = Verify(files);
  EXPECT_EQ(v.status, 0) << v.output;
  // The current file alone: its first record follows the rotated one.
  const auto alone = Verify(Quote(trail().string()));
  EXPECT_EQ(alone.status, 0) << alone.output;
  EXPECT_THAT(alone.output, HasSubstr("follows an earlier record"));
}

class AuditRequiredE2eTest : public AuditE2eTest {
 protected:
  void SetUp() override {
    auditExtra_ = "file = \"/dev/full\"\nrequired = true\n";
    // Nothing to wait for in a trail that cannot be written.
    agent_.serverExtra = "";
    agent_.extra = "[[parameter]]\nname = \"Server Banner\"\ntype = \"text\"\nvalue = \"Hello\"\n"
                   "[audit]\njournal = false\n" +
                   auditExtra_;
    agent_.WriteFile("SYS/SYSTEM/TESTMOD.qrx",
                     "exec = [\"" CVTESTMODULE_PATH "\"]\nready = { alive_ms = 100 }\nstop_timeout_ms = 2000\n");
    ASSERT_TRUE(agent_.Start()) << agent_.Log();
    agent_.WriteClientIni("ADMIN");
    std::filesystem::copy_file(agent_.dir() / "client.ini", agent_.dir() / "admin.ini");
  }
};

TEST_F(AuditRequiredE2eTest, ActionsAreRefusedWhileTheTrailCannotBeWritten) {
  ASSERT_EQ(Cli("admin", "SRV1 info").status, 0);  // reading goes on
  for (const std::string args : {"SRV1 load TESTMOD", "SRV1 param 'Server Banner' x", "SRV1 send 1 hi"}) {
    SCOPED_TRACE(args);
    const auto r = Cli("admin", args);
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_THAT(r.output, HasSubstr(std::to_string(kCvErrFailure)));
  }
  const auto param = Cli("admin", "SRV1 param 'Server Banner'");
  EXPECT_THAT(param.output, HasSubstr("\"Hello\""));
  // Said at error priority once within the minute, with the count.
  const std::string log = agent_.Log();
  std::size_t said = 0;
  for (auto at = log.find("audit: cannot write"); at != std::string::npos; at = log.find("audit: cannot write", at + 1))
    ++said;
  EXPECT_EQ(said, 1u) << log;
  EXPECT_THAT(log, HasSubstr("[error]"));
}

// Directory users are recorded by the dotted name they logged in with and
// their directory object id.
TEST(AuditDirectoryE2e, DirectoryLoginsAreRecordedByDottedNameAndObjectId) {
  testsupport::Slapd slapd{10};
  ASSERT_TRUE(slapd.Start()) << slapd.Log();
  cvtest::AgentProcess agent;
  agent.extra = "[directory]\nuri = \"" + slapd.uri() + "\"\nbase = \"" + testsupport::Slapd::base() +
                "\"\ntree = \"ACME\"\nserver = \"SRV1.SALES.ACME\"\noperators = \"OPERATORS.EMPTY.ACME\"\n"
                "timeout_ms = 3000\n[audit]\njournal = false\n";
  ASSERT_TRUE(agent.Start()) << agent.Log();
  const auto login = [&](const std::string& password) {
    const auto pw = agent.dir() / "dir-password";
    std::filesystem::remove(pw);
    std::ofstream(pw) << password << "\n";
    ::chmod(pw.c_str(), 0600);
    const auto ini = agent.dir() / "dir-client.ini";
    std::ofstream(ini, std::ios::trunc) << "[Servers]\nSRV1=127.0.0.1:" << agent.port() << "\n[Trees]\nACME="
                                        << slapd.treeUrl() << "\n[Login]\nTree=ACME\nUser=JSMITH.SALES.ACME"
                                        << "\nPasswordFile=" << pw.string()
                                        << "\n[Timeouts]\nConnect=2000\nRequest=4000\n";
    return testsupport::RunShell("CORVANE_CLIENT=" + Quote(ini.string()) + " " + Quote(CVCLI_PATH) +
                                 " SRV1 load TESTMOD");
  };
  // JSMITH is no operator: logged in, then refused the load.
  const auto accepted = login("jsmith-secret");
  EXPECT_EQ(accepted.status, 1) << accepted.output;
  EXPECT_THAT(accepted.output, HasSubstr(std::to_string(kRefusedNotOperator)));
  EXPECT_EQ(login("wrong-password").status, 1);

  std::vector<cvaudit::Record> records;
  for (int i = 0; i < 200 && records.size() < 3; ++i) {
    if (i > 0) std::this_thread::sleep_for(25ms);  // written just after the reply
    records.clear();
    std::ifstream in(agent.dir() / "audit.log");
    for (std::string l; std::getline(in, l);) {
      auto r = cvaudit::Parse(l);
      ASSERT_TRUE(r) << l;
      if (r->action != "checkpoint") records.push_back(*r);
    }
  }
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].action, "login");
  EXPECT_EQ(records[0].outcome, 0u);
  EXPECT_EQ(records[0].who.user, "JSMITH.SALES.ACME");
  EXPECT_EQ(records[0].who.objectId, 1001u);
  EXPECT_EQ(records[0].who.mechanism, "directory");
  EXPECT_EQ(Extra(records[0], "operator"), "no");
  EXPECT_EQ(records[1].action, "load");
  EXPECT_EQ(records[1].who.user, "JSMITH.SALES.ACME");
  EXPECT_EQ(records[1].who.objectId, 1001u);
  EXPECT_EQ(records[1].outcome, kRefusedNotOperator);
  EXPECT_EQ(records[2].action, "login");
  EXPECT_EQ(records[2].who.user, "JSMITH.SALES.ACME");
  EXPECT_EQ(records[2].who.mechanism, "directory");
  EXPECT_NE(records[2].outcome, 0u);
  // The password appears nowhere in the trail.
  std::ifstream again(agent.dir() / "audit.log");
  const std::string all((std::istreambuf_iterator<char>(again)), std::istreambuf_iterator<char>());
  EXPECT_EQ(all.find("jsmith-secret"), std::string::npos);
  EXPECT_EQ(all.find("wrong-password"), std::string::npos);
}

}  // namespace
