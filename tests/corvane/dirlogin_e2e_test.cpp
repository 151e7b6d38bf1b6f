// Directory logins end to end: cvserverd with a [directory] section checks
// users of a private slapd; the client library logs in with [Login] Tree=.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "agent_harness.h"
#include "corvane/client/cverrors.h"
#include "corvane/client/kscalls.h"
#include "corvane/client/ksconn.h"
#include "corvane/client/ksdir.h"
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
