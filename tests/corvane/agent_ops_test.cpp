// The agent as a service sees it: SIGHUP re-reads the configuration while
// connections stay, the log carries journal priorities when it goes to the
// journal, and start-up and the fingerprint command say what is wrong.
// A real cvserverd on 127.0.0.1, clients on raw connections and through the
// client library.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "agent_harness.h"
#include "corvane/client/cverrors.h"
#include "corvane/client/kscalls.h"
#include "corvane/client/ksconn.h"
#include "test_certs.h"
#include "ww_version.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kParameter = "Maximum Packet Receive Buffers";

std::string RunCommand(const std::string& command, int& status) {
  std::string out;
  std::FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  char buf[512];
  while (p && std::fgets(buf, sizeof buf, p)) out += buf;
  status = p ? ::pclose(p) : -1;
  return out;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// One request on a raw connection: its reply's code, nothing when none came.
std::optional<std::uint32_t> Request(cvtest::RawClient& c, cvwire::Writer& w) {
  if (!c.SendBytes(w.Frame())) return std::nullopt;
  const auto reply = c.Receive(5s);
  if (!reply) return std::nullopt;
  cvwire::Reader r(*reply);
  return r.U32();
}

std::optional<std::uint32_t> SetNumber(cvtest::RawClient& c, std::uint32_t value) {
  cvwire::Writer w(cvwire::Type(cvwire::Msg::SetParameterNumber), c.NextId());
  w.Str(kParameter).U32(value);
  return Request(c, w);
}

std::optional<std::uint32_t> Ping(cvtest::RawClient& c) {
  cvwire::Writer w(cvwire::Type(cvwire::Msg::Ping), c.NextId());
  return Request(c, w);
}

std::optional<std::uint32_t> LoginAs(std::uint16_t port, const std::string& user, const std::string& password) {
  cvtest::RawClient c(port);
  return c.Login(user, password);
}

class AgentOpsTest : public ::testing::Test {
 protected:
  AgentOpsTest() {
    agent_.extra = std::string("[[parameter]]\nname = \"") + kParameter + "\"\ntype = \"number\"\nvalue = 500\n";
  }
  // Sends SIGHUP and waits for the outcome's log line (the n-th of its kind).
  void Reload(const std::string& outcome, int n) {
    agent_.Signal(SIGHUP);
    ASSERT_TRUE(agent_.WaitForLog(outcome, n)) << agent_.Log();
  }
  cvtest::AgentProcess agent_;
};

TEST_F(AgentOpsTest, ReloadAppliesUsersAndRightsWhileConnectionsStay) {
  ASSERT_TRUE(agent_.Start()) << agent_.Log();
  cvtest::RawClient guest(agent_.port());
  ASSERT_EQ(guest.Login("GUEST", "guest-secret"), std::optional<std::uint32_t>(kCvOk));
  cvtest::RawClient admin(agent_.port());
  ASSERT_EQ(admin.Login("ADMIN", "admin-secret"), std::optional<std::uint32_t>(kCvOk));
  EXPECT_EQ(SetNumber(guest, 600), std::optional<std::uint32_t>(kCvErrNotConsoleOperator));
  EXPECT_EQ(LoginAs(agent_.port(), "NEWBIE", "newbie-secret"), std::optional<std::uint32_t>(kCvErrLoginRefused));

  // GUEST becomes an operator, ADMIN leaves, NEWBIE arrives.
  agent_.users = {{"GUEST", "guest-secret", true}, {"NEWBIE", "newbie-secret", false}};
  agent_.WriteConfig();
  const pid_t pid = agent_.pid();
  Reload("configuration re-read", 1);

  EXPECT_EQ(agent_.pid(), pid);
  EXPECT_EQ(::kill(pid, 0), 0) << "SIGHUP must not end the agent";
  EXPECT_EQ(Ping(guest), std::optional<std::uint32_t>(kCvOk)) << "the connection made before the reload";
  EXPECT_EQ(SetNumber(guest, 600), std::optional<std::uint32_t>(kCvOk)) << "with the rights the file now gives";
  EXPECT_TRUE(admin.ClosedByPeer(5s)) << "a user the file no longer names is logged out";
  EXPECT_EQ(LoginAs(agent_.port(), "NEWBIE", "newbie-secret"), std::optional<std::uint32_t>(kCvOk));
  EXPECT_EQ(LoginAs(agent_.port(), "ADMIN", "admin-secret"), std::optional<std::uint32_t>(kCvErrLoginRefused));
  EXPECT_NE(agent_.Log().find("user 'ADMIN' is no longer configured"), std::string::npos) << agent_.Log();

  // Taking the right away again works the same way.
  agent_.users = {{"GUEST", "guest-secret", false}, {"NEWBIE", "newbie-secret", false}};
  agent_.WriteConfig();
  Reload("configuration re-read", 2);
  EXPECT_EQ(SetNumber(guest, 700), std::optional<std::uint32_t>(kCvErrNotConsoleOperator));
}

// What only a restart can change is named in the log and left as it was;
// the texts clients see change at once.
TEST_F(AgentOpsTest, ReloadNamesWhatNeedsARestart) {
  ASSERT_TRUE(agent_.Start()) << agent_.Log();
  agent_.WriteClientIni("GUEST");
  const std::uint16_t port = agent_.port();
  agent_.listenPort = static_cast<std::uint16_t>(port == 65535 ? port - 1 : port + 1);
  agent_.serverExtra = "capacity = 17\n";
  agent_.WriteConfig();
  std::string config;
  {
    std::ifstream in(agent_.dir() / "agent.toml");
    std::stringstream s;
    s << in.rdbuf();
    config = s.str();
  }
  const auto at = config.find("Web server of the sales office");
  ASSERT_NE(at, std::string::npos);
  config.replace(at, std::string("Web server of the sales office").size(), "Renamed office");
  agent_.WriteFile("agent.toml", config);
  Reload("configuration re-read", 1);
  const std::string log = agent_.Log();
  EXPECT_NE(log.find("a change of listen takes effect at the next start"), std::string::npos) << log;
  EXPECT_NE(log.find("a change of capacity takes effect at the next start"), std::string::npos) << log;
  EXPECT_EQ(log.find("a change of volume"), std::string::npos) << log;

  std::uint32_t h = 0;
  ASSERT_EQ(CvGetConnectionHandle("SRV1", 0, &h, nullptr), kCvOk) << "still on the old port " << port;
  char company[kCvServerTextSize] = {}, description[kCvServerTextSize] = {};
  ASSERT_EQ(CvGetServerDescription(h, company, description, nullptr, nullptr), kCvOk);
  EXPECT_STREQ(description, "Renamed office");
  std::uint16_t capacity = 0;
  ASSERT_EQ(CvGetServerInformation(h, nullptr, nullptr, nullptr, nullptr, &capacity, nullptr, nullptr), kCvOk);
  EXPECT_EQ(capacity, 250u) << "capacity stays until a restart";
  while (CvReleaseConnection(h) == kCvOk) {
  }
}

// A configuration that does not load leaves the running one in place, and
// the agent says why at error level.
TEST_F(AgentOpsTest, AFailingReloadKeepsTheRunningConfiguration) {
  const std::string dir = agent_.dir().string();
  auto key = cvtest::NewKey();
  auto other = cvtest::NewKey();
  cvtest::WritePem(dir + "/server.pem", cvtest::MakeCert(key.get(), "SRV1", -1, 30).get());
  cvtest::WritePem(dir + "/server.key", key.get());
  cvtest::WritePem(dir + "/other.key", other.get());
  ::chmod((dir + "/server.key").c_str(), 0600);
  ::chmod((dir + "/other.key").c_str(), 0600);
  const std::string tls = "[tls]\ncertificate = \"" + dir + "/server.pem\"\nkey = \"" + dir + "/server.key\"\n";
  agent_.extra += tls;
  ASSERT_TRUE(agent_.Start()) << agent_.Log();
  const std::string fingerprint = agent_.Fingerprint();
  cvtest::RawClient held(agent_.port());
  ASSERT_EQ(held.Login("ADMIN", "admin-secret"), std::optional<std::uint32_t>(kCvOk));

  const std::string base = agent_.extra;
  struct Case {
    const char* what;
    std::string extra;  // appended to the configuration that names NEWBIE
    std::string reason;
  };
  const Case cases[] = {
      {"not TOML", "[[user]\nname = \"X\"\n", ""},
      {"a user without a verifier", "[[user]]\nname = \"BROKEN\"\npassword = \"secret\"\n",
       "[[user]] BROKEN: name or password verifier is invalid"},
      {"a certificate file that is missing",
       "[tls]\ncertificate = \"" + dir + "/missing.pem\"\nkey = \"" + dir + "/server.key\"\n", "missing.pem"},
      {"a key that does not match the certificate",
       "[tls]\ncertificate = \"" + dir + "/server.pem\"\nkey = \"" + dir + "/other.key\"\n",
       "does not match the certificate"},
      {"a directory section without its settings", "[directory]\nuri = \"ldap://127.0.0.1:1\"\n",
       "[directory] needs uri"},
  };
  int failures = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    agent_.users = {{"ADMIN", "admin-secret", true}, {"NEWBIE", "newbie-secret", false}};
    agent_.extra = std::string("[[parameter]]\nname = \"") + kParameter + "\"\ntype = \"number\"\nvalue = 500\n" +
                   (c.extra.starts_with("[tls]") ? "" : tls) + c.extra;
    agent_.WriteConfig();
    Reload("the configuration in use stays as it was", ++failures);
    const auto lines = Lines(agent_.Log());
    std::string errorLine;
    for (const auto& line : lines) {
      if (line.find("the configuration in use stays as it was") != std::string::npos) errorLine = line;
    }
    EXPECT_NE(errorLine.find("error"), std::string::npos) << "logged at error level: " << errorLine;
    EXPECT_NE(errorLine.find(c.reason), std::string::npos) << errorLine;
    EXPECT_EQ(::kill(agent_.pid(), 0), 0);
    EXPECT_EQ(LoginAs(agent_.port(), "NEWBIE", "newbie-secret"), std::optional<std::uint32_t>(kCvErrLoginRefused))
        << "nothing of the failed file was taken";
    EXPECT_EQ(LoginAs(agent_.port(), "ADMIN", "admin-secret"), std::optional<std::uint32_t>(kCvOk));
    EXPECT_EQ(Ping(held), std::optional<std::uint32_t>(kCvOk));
    EXPECT_EQ(agent_.Fingerprint(), fingerprint) << "the certificate in use stays";
  }
  agent_.extra = base;
}

// A renewed certificate is taken without a restart: new connections get it
// (a client that pinned the old one refuses the server), connections made
// before keep theirs.
TEST_F(AgentOpsTest, ReloadTakesARenewedCertificate) {
  const std::string dir = agent_.dir().string();
  auto key = cvtest::NewKey();
  cvtest::WritePem(dir + "/server.pem", cvtest::MakeCert(key.get(), "SRV1", -1, 30).get());
  cvtest::WritePem(dir + "/server.key", key.get());
  ::chmod((dir + "/server.key").c_str(), 0600);
  agent_.extra += "[tls]\ncertificate = \"" + dir + "/server.pem\"\nkey = \"" + dir + "/server.key\"\n";
  ASSERT_TRUE(agent_.Start()) << agent_.Log();
  const std::string before = agent_.Fingerprint();
  agent_.WriteClientIni("ADMIN");
  std::uint32_t h = 0;
  ASSERT_EQ(CvGetConnectionHandle("SRV1", 0, &h, nullptr), kCvOk) << agent_.Log();
  while (CvReleaseConnection(h) == kCvOk) {
  }
  cvtest::RawClient held(agent_.port());
  ASSERT_EQ(held.Login("ADMIN", "admin-secret"), std::optional<std::uint32_t>(kCvOk));

  auto renewed = cvtest::NewKey();
  cvtest::WritePem(dir + "/server.pem.new", cvtest::MakeCert(renewed.get(), "SRV1", -1, 60).get());
  cvtest::WritePem(dir + "/server.key.new", renewed.get());
  ::chmod((dir + "/server.key.new").c_str(), 0600);
  std::filesystem::rename(dir + "/server.key.new", dir + "/server.key");
  std::filesystem::rename(dir + "/server.pem.new", dir + "/server.pem");
  Reload("new server certificate", 1);

  const std::string after = agent_.Fingerprint();
  EXPECT_NE(after, before) << agent_.Log();
  EXPECT_EQ(Ping(held), std::optional<std::uint32_t>(kCvOk)) << "the connection made before the renewal";
  EXPECT_EQ(CvGetConnectionHandle("SRV1", 0, &h, nullptr), kCvErrNoAnswer)
      << "the client pinned the old certificate and refuses the new one";
  cvtest::RawClient fresh(agent_.port());
  EXPECT_EQ(fresh.Login("ADMIN", "admin-secret"), std::optional<std::uint32_t>(kCvOk));
}

// With JOURNAL_STREAM naming its standard error, every line starts with its
// syslog priority; naming another file, or unset, the lines stay plain.
TEST_F(AgentOpsTest, LogLinesCarryJournalPrioritiesWhenTheJournalIsTheOutput) {
  struct Case {
    const char* what;
    bool journal;      // JOURNAL_STREAM names the log file
    const char* value; // else this value (nullptr: unset)
  };
  const Case cases[] = {
      {"the journal", true, nullptr},
      {"another file", false, "1:1"},
      {"malformed", false, "not-a-stream"},
      {"unset", false, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    cvtest::AgentProcess agent;
    agent.WriteFile("agent.log", "");
    struct stat st {};
    ASSERT_EQ(::stat((agent.dir() / "agent.log").c_str(), &st), 0);
    const std::string stream = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    if (c.journal) {
      ::setenv("JOURNAL_STREAM", stream.c_str(), 1);
    } else if (c.value) {
      ::setenv("JOURNAL_STREAM", c.value, 1);
    } else {
      ::unsetenv("JOURNAL_STREAM");
    }
    const bool started = agent.Start();
    ::unsetenv("JOURNAL_STREAM");
    ASSERT_TRUE(started) << agent.Log();
    // An error: a reload of a file that is not TOML.
    agent.WriteFile("agent.toml", "[server\n");
    agent.Signal(SIGHUP);
    ASSERT_TRUE(agent.WaitForLog("stays as it was")) << agent.Log();
    agent.Stop();
    const auto lines = Lines(agent.Log());
    ASSERT_FALSE(lines.empty());
    int listening = 0, failed = 0;
    for (const auto& line : lines) {
      if (c.journal) {
        EXPECT_EQ(line.rfind('<', 0), 0u) << line;
        EXPECT_EQ(line.find('\x1b'), std::string::npos) << "no colours in the journal: " << line;
      } else {
        EXPECT_NE(line.rfind('<', 0), 0u) << line;
      }
      if (line.find("listening on") != std::string::npos) {
        ++listening;
        if (c.journal) {
          EXPECT_EQ(line.rfind("<6>server SRV1 listening on", 0), 0u) << line;
        }
      }
      if (line.find("stays as it was") != std::string::npos) {
        ++failed;
        if (c.journal) {
          EXPECT_EQ(line.rfind("<3>", 0), 0u) << line;
        }
      }
    }
    EXPECT_EQ(listening, 1);
    EXPECT_EQ(failed, 1);
  }
}

TEST_F(AgentOpsTest, StartUpRefusesAVolumeItCannotUse) {
  struct Case {
    const char* what;
    std::function<void(const std::filesystem::path&)> make;
    std::string says;
  };
  const Case cases[] = {
      {"missing", [](const std::filesystem::path& v) { std::filesystem::remove_all(v); },
       "cannot be reached: No such file or directory"},
      {"a file",
       [](const std::filesystem::path& v) {
         std::filesystem::remove_all(v);
         std::ofstream(v) << "not a folder\n";
       },
       "is not a folder"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    cvtest::AgentProcess agent;
    c.make(agent.volume());
    EXPECT_FALSE(agent.Start());
    EXPECT_FALSE(agent.running());
    EXPECT_TRUE(WIFEXITED(agent.exitStatus()) && WEXITSTATUS(agent.exitStatus()) == 1) << agent.exitStatus();
    EXPECT_NE(agent.Log().find("the volume " + agent.volume().string() + " " + c.says), std::string::npos)
        << agent.Log();
    EXPECT_EQ(agent.Log().find("listening on"), std::string::npos);
  }
}

TEST_F(AgentOpsTest, VersionComesFromTheBuild) {
  int status = -1;
  const std::string printed = RunCommand(std::string(CVSERVERD_PATH) + " --version", status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(printed, "cvserverd " WW_VERSION " (agent protocol 2, TLS 1.3)\n");
  ASSERT_TRUE(agent_.Start()) << agent_.Log();
  EXPECT_NE(agent_.Log().find("cvserverd " WW_VERSION " (agent protocol 2, TLS 1.3) starting"), std::string::npos)
      << agent_.Log();
}

// Run by a user who may not enter the state folder, the fingerprint command
// says the certificate cannot be read, not that it was never made.
TEST_F(AgentOpsTest, FingerprintTellsAnUnreadableCertificateFromAMissingOne) {
  // A layout another user can reach: the configuration readable by all, the
  // state folder private.
  const std::filesystem::path root = agent_.dir() / "open";
  const std::filesystem::path state = root / "state";
  std::filesystem::create_directories(state);
  agent_.WriteFile("open/agent.toml", "[server]\nname = \"SRV1\"\nvolume = \"" + agent_.volume().string() +
                                          "\"\nstate = \"" + (state / "state.db").string() + "\"\n");
  std::filesystem::permissions(agent_.dir(), std::filesystem::perms(0755));
  std::filesystem::permissions(root, std::filesystem::perms(0755));
  std::filesystem::permissions(root / "agent.toml", std::filesystem::perms(0644));
  const std::string command = std::string(CVSERVERD_PATH) + " fingerprint --config " + (root / "agent.toml").string();
  int status = -1;
  std::string out = RunCommand(command, status);
  EXPECT_NE(status, 0);
  EXPECT_NE(out.find("has not made its certificate"), std::string::npos) << out;

  // Root passes every permission check: the other user is nobody.
  std::string as = command;
  if (::geteuid() == 0) {
    as = "setpriv --reuid=65534 --regid=65534 --clear-groups " + command;
    std::filesystem::permissions(state, std::filesystem::perms(0700));
  } else {
    std::filesystem::permissions(state, std::filesystem::perms::none);
  }
  out = RunCommand(as, status);
  std::filesystem::permissions(state, std::filesystem::perms(0700));
  EXPECT_NE(status, 0);
  EXPECT_NE(out.find("cannot be read: Permission denied"), std::string::npos) << out;
  EXPECT_EQ(out.find("has not made"), std::string::npos) << out;
}

}  // namespace
