// Directory logins end to end: cvserverd with a [directory] section checks
// users of a private slapd; the client library logs in with [Login] Tree=.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <string>

#include "agent_harness.h"
#include "corvane/client/cverrors.h"
#include "corvane/client/kscalls.h"
#include "corvane/client/ksconn.h"
#include "corvane/client/ksdir.h"
#include "corvane/wire/dirmech.h"
#include "corvane/wire/login.h"
#include "support/run.h"
#include "support/slapd_fixture.h"

namespace {

class DirectoryLogin : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(slapd_.Start()) << slapd_.Log();
    agent_.extra = "[directory]\nuri = \"" + slapd_.uri() + "\"\nbase = \"" + testsupport::Slapd::base() +
                   "\"\ntree = \"ACME\"\nserver = \"SRV1.SALES.ACME\"\noperators = \"OPERATORS.EMPTY.ACME\"\n"
                   "timeout_ms = 3000\n";
    ASSERT_TRUE(agent_.Start()) << agent_.Log();
    ASSERT_TRUE(slapd_.Replace("cn=SRV1,ou=SALES,o=ACME," + testsupport::Slapd::base(), "kcpNetworkAddress",
                               "127.0.0.1:" + std::to_string(agent_.port())));
  }

  // client.ini for a directory login of user with password.
  void Login(const std::string& user, const std::string& password) {
    const auto pw = agent_.dir() / "dir-password";
    std::filesystem::remove(pw);
    std::ofstream(pw) << password << "\n";
    ::chmod(pw.c_str(), 0600);
    const auto ini = agent_.dir() / "dir-client.ini";
    std::ofstream(ini, std::ios::trunc) << "[Servers]\nSRV1=127.0.0.1:" << agent_.port() << "\n[Trees]\nACME="
                                        << slapd_.treeUrl() << "\n[Login]\nTree=ACME\nUser=" << user
                                        << "\nPasswordFile=" << pw.string()
                                        << "\n[Timeouts]\nConnect=2000\nRequest=4000\n";
    ::setenv("CORVANE_CLIENT", ini.c_str(), 1);
  }

  testsupport::Slapd slapd_{10};
  cvtest::AgentProcess agent_;
};

TEST_F(DirectoryLogin, AUserOfTheTreeGetsAnAuthenticatedConnectionNamedByItsUidNumber) {
  Login("JSMITH.SALES.ACME", "jsmith-secret");
  std::uint32_t conn = 0;
  ASSERT_EQ(CvGetConnectionHandle("SRV1", 0, &conn, nullptr), 0u) << agent_.Log();
  std::uint32_t state = 0;
  ASSERT_EQ(CvGetConnectionItem(conn, kCvItemState, sizeof state, &state), 0u);
  EXPECT_EQ(state, kCvStateDirectoryAuthenticated);
  char tree[kCvTreeNameSize] = {};
  ASSERT_EQ(CvGetConnectionItem(conn, kCvItemTreeName, 514, tree), 0u);
  EXPECT_EQ(std::string(tree).substr(0, 4), "ACME");
  std::uint32_t installed = 0;
  ASSERT_EQ(CvGetConnectionItem(conn, kCvItemDirectory, sizeof installed, &installed), 0u);
  EXPECT_EQ(installed, 1u);

  std::uint32_t ctx = 0;
  ASSERT_EQ(CvCreateContextHandle(&ctx), 0u);
  char name[kCvDirNameSize] = {};
  ASSERT_EQ(CvGetServerDirectoryName(ctx, conn, name), 0u);
  EXPECT_STREQ(name, "SRV1.SALES.ACME");
  ASSERT_EQ(CvMapIdToName(ctx, conn, 1001, name), 0u);
  EXPECT_STREQ(name, "JSMITH.SALES.ACME");
  EXPECT_EQ(CvMapIdToName(ctx, conn, 4242, name), kCvErrDirNoSuchEntry);

  // The connection table names the user by its uidNumber; JSMITH is no operator.
  bool found = false;
  for (std::uint32_t slot = 1; slot <= 5 && !found; ++slot) {
    char object[260] = {};
    std::uint16_t type = 0;
    std::uint32_t id = 0;
    CvLoginTime time{};
    if (CvGetConnectionInformation(conn, slot, object, &type, &id, &time) == 0) {
      found = true;
      EXPECT_STREQ(object, "JSMITH");
      EXPECT_EQ(id, 1001u);
    }
  }
  EXPECT_TRUE(found);
  EXPECT_EQ(CvLoadModule(conn, "NOSUCH "), kCvErrNotConsoleOperator);
  CvFreeContext(ctx);
  CvReleaseConnection(conn);
}

TEST_F(DirectoryLogin, MembersOfTheOperatorGroupAreOperators) {
  Login("ADMIN.SALES.ACME", "admin-secret");
  std::uint32_t conn = 0;
  ASSERT_EQ(CvGetConnectionHandle("SRV1", 0, &conn, nullptr), 0u) << agent_.Log();
  EXPECT_NE(CvLoadModule(conn, "NOSUCH "), kCvErrNotConsoleOperator);
  CvReleaseConnection(conn);
}

// SIGHUP re-reads [directory]: a login follows the settings of the moment,
// and a connection made before a reload stays.
TEST_F(DirectoryLogin, ReloadTakesNewDirectorySettings) {
  cvtest::RawClient held(agent_.port());
  ASSERT_EQ(held.Login("GUEST", "guest-secret"), std::optional<std::uint32_t>(0u));
  const std::string good = agent_.extra;
  const auto at = good.find("tree = \"ACME\"");
  ASSERT_NE(at, std::string::npos);
  agent_.extra = std::string(good).replace(at, 13, "tree = \"OTHER\"");
  agent_.WriteConfig();
  agent_.Signal(SIGHUP);
  ASSERT_TRUE(agent_.WaitForLog("configuration re-read", 1)) << agent_.Log();

  Login("JSMITH.SALES.ACME", "jsmith-secret");
  std::uint32_t conn = 0;
  EXPECT_NE(CvGetConnectionHandle("SRV1", 0, &conn, nullptr), 0u) << "ACME is no longer this agent's tree";

  agent_.extra = good;
  agent_.WriteConfig();
  agent_.Signal(SIGHUP);
  ASSERT_TRUE(agent_.WaitForLog("configuration re-read", 2)) << agent_.Log();
  ASSERT_EQ(CvGetConnectionHandle("SRV1", 0, &conn, nullptr), 0u) << agent_.Log();
  CvReleaseConnection(conn);

  cvwire::Writer ping(cvwire::Type(cvwire::Msg::Ping), held.NextId());
  ASSERT_TRUE(held.SendBytes(ping.Frame()));
  const auto reply = held.Receive();
  ASSERT_TRUE(reply) << "the connection made before the reloads";
  cvwire::Reader r(*reply);
  EXPECT_EQ(r.U32(), 0u);
}

TEST_F(DirectoryLogin, WrongPasswordsAndMissingOrNonPosixUsersAreRefused) {
  struct Case {
    const char* user;
    const char* password;
  };
  const Case cases[] = {
      {"JSMITH.SALES.ACME", "wrong"},
      {"NOBODY.SALES.ACME", "jsmith-secret"},
      {"OPERATORS.EMPTY.ACME", "x"},
      {"JSMITH.SALES", "jsmith-secret"},
      {"LOCKED.EMPTY.ACME", "locked-secret"},  // locked by the directory's password policy
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.user);
    Login(c.user, c.password);
    std::uint32_t conn = 0;
    EXPECT_EQ(CvGetConnectionHandle("SRV1", 0, &conn, nullptr), kCvErrLoginRefused);
  }
  // GUEST differs from LOCKED only by the lock: the same policy lets it in.
  Login("GUEST.EMPTY.ACME", "guest-secret");
  std::uint32_t conn = 0;
  ASSERT_EQ(CvGetConnectionHandle("SRV1", 0, &conn, nullptr), 0u) << agent_.Log();
  CvReleaseConnection(conn);
}

// The directory's password policy: a user whose password an administrator
// reset (and must change first) or whose password has expired gets no
// connection, although the directory took the password; the agent's log
// says why.
TEST_F(DirectoryLogin, PasswordsThatMustBeChangedOrHaveExpiredAreRefused) {
  const struct {
    const char* user;
    const char* password;
    const char* why;
  } cases[] = {
      {"RESET.POLICIES", "reset-secret", "directory login of 'RESET.POLICIES' refused: the password must be changed first"},
      {"EXPIRED.POLICIES", "expired-secret", "directory login of 'EXPIRED.POLICIES' refused: the password has expired"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.user);
    Login(c.user, c.password);
    std::uint32_t conn = 0;
    EXPECT_EQ(CvGetConnectionHandle("SRV1", 0, &conn, nullptr), kCvErrLoginRefused);
    EXPECT_THAT(agent_.Log(), ::testing::HasSubstr(c.why));
  }
  EXPECT_THAT(agent_.Log(), ::testing::Not(::testing::HasSubstr("'RESET.POLICIES' logged in")));
}

// Guessing a directory user's password: past the free failures the name is
// locked out, whatever the password; the agent logs the lockout.
TEST_F(DirectoryLogin, GuessingADirectoryPasswordLocksTheNameOut) {
  agent_.Stop();
  agent_.extra += "[logins]\nfree_failures = 1\nfirst_delay_ms = 20\nmax_delay_ms = 40\nuser_lockout_after = 4\n"
                  "user_lockout_ms = 60000\n";
  ASSERT_TRUE(agent_.Start()) << agent_.Log();
  ASSERT_TRUE(slapd_.Replace("cn=SRV1,ou=SALES,o=ACME," + testsupport::Slapd::base(), "kcpNetworkAddress",
                             "127.0.0.1:" + std::to_string(agent_.port())));
  for (int i = 0; i < 4; ++i) {
    Login("JSMITH.SALES.ACME", "guess" + std::to_string(i));
    std::uint32_t conn = 0;
    EXPECT_EQ(CvGetConnectionHandle("SRV1", 0, &conn, nullptr), kCvErrLoginRefused);
  }
  EXPECT_THAT(agent_.Log(), ::testing::HasSubstr("user 'JSMITH.SALES.ACME' locked out for 60 s after 4 failed logins"));
  Login("JSMITH.SALES.ACME", "jsmith-secret");
  std::uint32_t conn = 0;
  EXPECT_EQ(CvGetConnectionHandle("SRV1", 0, &conn, nullptr), kCvErrLoginRefused) << "the right password, locked out";
  Login("GUEST.EMPTY.ACME", "guest-secret");
  ASSERT_EQ(CvGetConnectionHandle("SRV1", 0, &conn, nullptr), 0u) << "another name" << agent_.Log();
  CvReleaseConnection(conn);
}

}  // namespace

namespace {

testsupport::RunResult Cli(const std::string& args) {
  return testsupport::RunShell(testsupport::Quote(CVCLI_PATH) + " " + args + " 2>&1");
}

TEST_F(DirectoryLogin, CvcliListsReadsAndMapsIds) {
  Login("JSMITH.SALES.ACME", "jsmith-secret");
  struct Case {
    const char* args;
    int status;
    std::vector<std::string> lines;  // each must appear in the output
  };
  const Case cases[] = {
      {"--dir trees", 0, {"ACME"}},
      {"--dir list ACME SALES.ACME", 0, {"SRV1", "KCP Server", "JSMITH", "User"}},
      {"--dir list ACME", 0, {"ACME", "Organization", "US", "Country"}},
      {"--dir list ACME BIG.ACME", 0, {"OBJ00001", "OBJ00010", "Device"}},
      {"--dir read ACME SRV1.SALES.ACME description", 0,
       {"name: SRV1.SALES.ACME", "class: KCP Server", "description: Sales file server in the directory"}},
      {"--dir read ACME JSMITH.SALES.ACME", 0, {"uidNumber: 1001", "class: User"}},
      {"--dir id SRV1 1000", 0, {"ADMIN.SALES.ACME"}},
      {"--dir read ACME NOPE.ACME", 1, {"4294966695", "Invalid entry name"}},
      {"--dir id SRV1 99999", 1, {"Invalid entry name"}},
      {"--dir list", 2, {"usage"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    const auto r = Cli(c.args);
    EXPECT_EQ(r.status, c.status) << r.output;
    for (const auto& line : c.lines) EXPECT_THAT(r.output, ::testing::HasSubstr(line));
  }
}

}  // namespace

// The directory mechanism on the wire. The password is in the Hello's data,
// so it must never be read from a connection that is not TLS. No such path
// exists: a Session peeks at the first bytes and closes anything that is not
// a TLS handshake record, and reads frames only after the handshake (and the
// channel binding) succeeded; the login handlers are reached from those
// frames alone. The last test shows it from outside: plain and TLS 1.2
// clients sending a valid directory Hello get no answer and no login.
namespace {

using cvwire::Msg;

using LoginAnswer = cvwire::LoginReply;

std::vector<std::uint8_t> DirectoryHello(std::uint32_t id, std::uint32_t version, const std::string& user,
                                         const std::string& password, const std::string& tree = "ACME") {
  cvwire::Writer w(cvwire::Type(Msg::Hello), id);
  w.U32(version).Str("test").Str(cvwire::kMechDirectory);
  w.Blob(cvwire::dirmech::Encode(cvwire::dirmech::Hello{tree, user, password}));
  return w.Frame();
}

std::optional<LoginAnswer> ReadAnswer(cvtest::RawClient& c) {
  const auto payload = c.Receive();
  if (!payload) return std::nullopt;
  cvwire::Reader r(*payload);
  const LoginAnswer a = cvwire::ReadLoginReply(r);
  if (r.type() != cvwire::ReplyType(Msg::Hello) || !r.Done()) return std::nullopt;
  return a;
}

TEST_F(DirectoryLogin, TheMechanismAnswersWithTheUserAndTheAgentsOwnObject) {
  struct Case {
    const char* user;
    const char* password;
    std::uint32_t objectId;
    bool isOperator;
  };
  const Case cases[] = {{"JSMITH.SALES.ACME", "jsmith-secret", 1001, false},
                        {"admin.sales.acme", "admin-secret", 1000, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.user);
    cvtest::RawClient raw(agent_.port());
    ASSERT_TRUE(raw.connected());
    ASSERT_TRUE(raw.SendBytes(DirectoryHello(raw.NextId(), cvwire::kProtocolVersion, c.user, c.password)));
    const auto a = ReadAnswer(raw);
    ASSERT_TRUE(a) << agent_.Log();
    EXPECT_EQ(a->code, 0u);
    EXPECT_TRUE(a->done);
    EXPECT_NE(a->slot, 0u);
    EXPECT_EQ(a->objectId, c.objectId);
    EXPECT_EQ(a->isOperator, c.isOperator);
    const auto welcome = cvwire::dirmech::ParseWelcome(a->data);
    ASSERT_TRUE(welcome);
    EXPECT_EQ(welcome->tree, "ACME");
    EXPECT_EQ(welcome->server, "SRV1.SALES.ACME");
    // Logged in: a request is served.
    cvwire::Writer ping(cvwire::Type(Msg::Ping), raw.NextId());
    ASSERT_TRUE(raw.SendBytes(ping.Frame()));
    const auto pong = raw.Receive();
    ASSERT_TRUE(pong);
    cvwire::Reader pr(*pong);
    EXPECT_EQ(pr.U32(), 0u);
  }
}

TEST_F(DirectoryLogin, OtherVersionsAreRefusedAndTheThirdRefusalClosesTheConnection) {
  cvtest::RawClient raw(agent_.port());
  ASSERT_TRUE(raw.connected());
  // Another protocol version: refused with the agent's version, and counted
  // among the connection's three refusals.
  for (std::uint32_t version : {1u, cvwire::kProtocolVersion + 1}) {
    ASSERT_TRUE(raw.SendBytes(DirectoryHello(raw.NextId(), version, "JSMITH.SALES.ACME", "jsmith-secret")));
    const auto a = ReadAnswer(raw);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->code, cvwire::kCodeUnsupported);
    EXPECT_EQ(a->version, cvwire::kProtocolVersion);
  }
  ASSERT_TRUE(raw.SendBytes(DirectoryHello(raw.NextId(), cvwire::kProtocolVersion, "JSMITH.SALES.ACME", "wrong")));
  const auto third = ReadAnswer(raw);
  ASSERT_TRUE(third);
  EXPECT_EQ(third->code, kCvErrLoginRefused);
  EXPECT_TRUE(raw.ClosedByPeer(std::chrono::seconds(5)));

  // Three refusals of any kind (a wrong password, another tree, an empty
  // password): the third answer is the last.
  cvtest::RawClient again(agent_.port());
  ASSERT_TRUE(again.connected());
  const std::pair<std::string, std::string> tries[] = {
      {"wrong", "ACME"}, {"jsmith-secret", "OTHER"}, {"", "ACME"}};
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(again.SendBytes(DirectoryHello(again.NextId(), cvwire::kProtocolVersion, "JSMITH.SALES.ACME",
                                               tries[i].first, tries[i].second)));
    const auto a = ReadAnswer(again);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->code, kCvErrLoginRefused);
  }
  EXPECT_TRUE(again.ClosedByPeer(std::chrono::seconds(5)));

  // Data that is not the mechanism's: the connection is closed at once.
  cvtest::RawClient bad(agent_.port());
  ASSERT_TRUE(bad.connected());
  cvwire::Writer w(cvwire::Type(Msg::Hello), bad.NextId());
  w.U32(cvwire::kProtocolVersion).Str("test").Str(cvwire::kMechDirectory).Blob(std::vector<std::uint8_t>{3, 0, 'A'});
  ASSERT_TRUE(bad.SendBytes(w.Frame()));
  EXPECT_FALSE(bad.Receive(std::chrono::seconds(3)));

  // The separate directory login message of before (0x0401: tree, user,
  // password, workstation) is no login: before a Hello it closes the connection.
  cvtest::RawClient old(agent_.port());
  ASSERT_TRUE(old.connected());
  cvwire::Writer o(0x0401, old.NextId());
  o.U32(cvwire::kProtocolVersion).Str("ACME").Str("JSMITH.SALES.ACME").Str("jsmith-secret").Str("test");
  ASSERT_TRUE(old.SendBytes(o.Frame()));
  EXPECT_FALSE(old.Receive(std::chrono::seconds(3)));
  EXPECT_THAT(agent_.Log(), ::testing::Not(::testing::HasSubstr("directory user")));
}

TEST_F(DirectoryLogin, ClientsWithoutTls13NeverReachTheDirectoryLogin) {
  for (auto mode : {cvtest::RawClient::Mode::Plain, cvtest::RawClient::Mode::OldTls}) {
    SCOPED_TRACE(static_cast<int>(mode));
    cvtest::RawClient raw(agent_.port(), mode);
    if (mode == cvtest::RawClient::Mode::Plain) {
      ASSERT_TRUE(raw.connected());
      // The Hello goes out in the clear; the agent must close without reading it.
      raw.SendBytes(DirectoryHello(1, cvwire::kProtocolVersion, "JSMITH.SALES.ACME", "jsmith-secret"));
      EXPECT_FALSE(raw.Receive(std::chrono::seconds(3)));
    } else {
      EXPECT_FALSE(raw.connected());  // the TLS 1.2 handshake fails, nothing is sent
    }
  }
  // The handler logs every directory login it sees, proved or refused; it saw none.
  const std::string log = agent_.Log();
  EXPECT_THAT(log, ::testing::HasSubstr("not TLS"));
  EXPECT_THAT(log, ::testing::Not(::testing::HasSubstr("directory user")));
  EXPECT_THAT(log, ::testing::Not(::testing::HasSubstr("directory login")));
  // And no connection was taken: a real login finds itself alone in the table.
  Login("JSMITH.SALES.ACME", "jsmith-secret");
  std::uint32_t conn = 0;
  ASSERT_EQ(CvGetConnectionHandle("SRV1", 0, &conn, nullptr), 0u) << agent_.Log();
  int taken = 0;
  for (std::uint32_t slot = 1; slot <= 10; ++slot) {
    char object[260] = {};
    std::uint16_t type = 0;
    std::uint32_t id = 0;
    CvLoginTime time{};
    if (CvGetConnectionInformation(conn, slot, object, &type, &id, &time) == 0) ++taken;
  }
  EXPECT_EQ(taken, 1);
  CvReleaseConnection(conn);
}

}  // namespace
