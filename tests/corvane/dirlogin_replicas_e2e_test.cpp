// Directory logins at a directory beyond one server: cvserverd fails over
// between replicas, reaches its directory over TLS (ldaps:// or StartTLS,
// with a certificate the test makes), sends no password in the clear to a
// directory elsewhere, and keeps module operations apart from a directory
// that does not answer.
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/stat.h>

#include <arpa/inet.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "agent_harness.h"
#include "corvane/client/cverrors.h"
#include "corvane/client/kscalls.h"
#include "corvane/client/ksconn.h"
#include "corvane/client/ksdir.h"
#include "corvane/wire/dirmech.h"
#include "corvane/wire/login.h"
#include "support/slapd_fixture.h"
#include "support/temp_dir.h"
#include "test_certs.h"

namespace {

using cvwire::Msg;
using testsupport::Slapd;

std::vector<std::uint8_t> DirectoryHello(std::uint32_t id, const std::string& user, const std::string& password) {
  cvwire::Writer w(cvwire::Type(Msg::Hello), id);
  w.U32(cvwire::kProtocolVersion).Str("test").Str(cvwire::kMechDirectory);
  w.Blob(cvwire::dirmech::Encode(cvwire::dirmech::Hello{"ACME", user, password}));
  return w.Frame();
}

std::optional<cvwire::LoginReply> ReadAnswer(cvtest::RawClient& c,
                                             std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  const auto payload = c.Receive(timeout);
  if (!payload) return std::nullopt;
  cvwire::Reader r(*payload);
  const cvwire::LoginReply a = cvwire::ReadLoginReply(r);
  if (r.type() != cvwire::ReplyType(Msg::Hello) || !r.Done()) return std::nullopt;
  return a;
}

// The code a directory login of JSMITH with its password gets from the agent.
std::optional<std::uint32_t> LoginCode(const cvtest::AgentProcess& agent, const std::string& password = "jsmith-secret") {
  cvtest::RawClient raw(agent.port());
  if (!raw.connected()) return std::nullopt;
  if (!raw.SendBytes(DirectoryHello(raw.NextId(), "JSMITH.SALES.ACME", password))) return std::nullopt;
  const auto a = ReadAnswer(raw);
  if (!a) return std::nullopt;
  return a->code;
}

std::string DirectorySection(const std::string& uris, const std::string& more = "", int timeoutMs = 1500) {
  return "[directory]\nuri = \"" + uris + "\"\nbase = \"" + Slapd::base() +
         "\"\ntree = \"ACME\"\nserver = \"SRV1.SALES.ACME\"\noperators = \"OPERATORS.EMPTY.ACME\"\ntimeout_ms = " +
         std::to_string(timeoutMs) + "\n" + more;
}

std::uint16_t ClosedPort() {
  cvtest::PortGate gate;
  return gate.port();
}

TEST(DirectoryReplicas, ALoginIsCheckedAtTheNextReplicaWhenOneIsDownOrSilent) {
  Slapd slapd(10);
  ASSERT_TRUE(slapd.Start()) << slapd.Log();
  cvtest::SilentServer silent;
  const std::string down = "ldap://127.0.0.1:" + std::to_string(ClosedPort());
  const std::string quiet = "ldap://127.0.0.1:" + std::to_string(silent.port());
  cvtest::AgentProcess agent;
  agent.extra = DirectorySection(down + " " + quiet + " " + slapd.uri());
  ASSERT_TRUE(agent.Start()) << agent.Log();
  // Twice: the second login starts at the replica that answered.
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(LoginCode(agent), std::optional<std::uint32_t>(0u)) << agent.Log();
  }
  EXPECT_EQ(LoginCode(agent, "wrong"), std::optional<std::uint32_t>(kCvErrLoginRefused));
  // With no replica answering, the login says the directory is unreachable.
  slapd.Stop();
  EXPECT_EQ(LoginCode(agent), std::optional<std::uint32_t>(kCvErrDirPrimaryConnection)) << agent.Log();
  EXPECT_NE(agent.Log().find("no directory server answered"), std::string::npos) << agent.Log();
}

TEST(DirectoryReplicas, TheConsolesOperationsGoOnAtTheConsumerOfAReplicatedPairWhenTheProviderStops) {
  cvtest::AgentProcess agent;
  agent.listenPort = ClosedPort();  // SRV1's address in the directory, known before the agent starts
  Slapd provider(10), consumer(0);
  provider.provider = true;
  ASSERT_TRUE(provider.Start("127.0.0.1:" + std::to_string(agent.listenPort))) << provider.Log();
  consumer.ConsumerOf(provider);
  ASSERT_TRUE(consumer.Start()) << consumer.Log();
  ASSERT_TRUE(consumer.WaitFor("cn=JSMITH,ou=SALES,o=ACME," + Slapd::base(), 30000)) << consumer.Log();
  agent.extra = DirectorySection(provider.uri() + " " + consumer.uri());
  ASSERT_TRUE(agent.Start()) << agent.Log();
  agent.WriteClientIni("ADMIN");
  std::ofstream(agent.dir() / "client.ini", std::ios::app)
      << "[Trees]\nACME=" << provider.treeUrl() << " " << consumer.treeUrl() << "\n";

  // Binding a server through the directory: the operations FullName makes.
  auto bindThroughDirectory = [&] {
    std::uint32_t ctx = 0, conn = 0;
    EXPECT_EQ(CvCreateContextHandle(&ctx), 0u);
    EXPECT_EQ(CvSetContext(ctx, kCvCtxKeyTreeName, "ACME"), 0u);
    EXPECT_EQ(CvSetContext(ctx, kCvCtxKeyNameContext, "[Root]"), 0u);
    char dn[kCvDirNameSize] = {};
    CvObjectInfo info{};
    EXPECT_EQ(CvReadObjectInfo(ctx, "SRV1.SALES.ACME", dn, &info), 0u);
    EXPECT_STREQ(info.baseClass, "KCP Server");
    const std::uint32_t rc = CvOpenConnectionToDirServer(ctx, "SRV1.SALES.ACME", &conn);
    EXPECT_EQ(rc, 0u) << agent.Log();
    if (rc == 0) {
      EXPECT_EQ(CvAuthenticateConnection(ctx, conn), 0u);
      char name[kCvDirNameSize] = {};
      EXPECT_EQ(CvGetServerDirectoryName(ctx, conn, name), 0u);
      EXPECT_STREQ(name, "SRV1.SALES.ACME");
      CvReleaseConnection(conn);
    }
    CvFreeContext(ctx);
  };
  bindThroughDirectory();
  EXPECT_EQ(LoginCode(agent), std::optional<std::uint32_t>(0u)) << agent.Log();

  provider.Stop();
  bindThroughDirectory();
  EXPECT_EQ(LoginCode(agent), std::optional<std::uint32_t>(0u)) << agent.Log();
  EXPECT_EQ(LoginCode(agent, "wrong"), std::optional<std::uint32_t>(kCvErrLoginRefused));
}

TEST(DirectoryTls, TheAgentVerifiesTheDirectorysCertificate) {
  testsupport::TempDir dir;
  cvtest::WriteDirectoryTlsFiles(dir.path());
  Slapd slapd(10);
  slapd.tlsCertificate = dir / "server.pem";
  slapd.tlsKey = dir / "server.key";
  ASSERT_TRUE(slapd.Start()) << slapd.Log();

  struct Case {
    const char* what;
    bool ldaps;
    bool startTls;
    const char* ca;
    std::uint32_t code;
  };
  const Case cases[] = {
      {"ldaps", true, false, "ca.pem", 0},
      {"StartTLS", false, true, "ca.pem", 0},
      {"ldaps, another CA", true, false, "other-ca.pem", kCvErrDirPrimaryConnection},
      {"StartTLS, another CA", false, true, "other-ca.pem", kCvErrDirPrimaryConnection},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    cvtest::AgentProcess agent;
    agent.extra = DirectorySection(c.ldaps ? slapd.ldapsUri() : slapd.uri(),
                                   std::string("start_tls = ") + (c.startTls ? "true" : "false") + "\nca_file = \"" +
                                       (dir / c.ca) + "\"\n");
    ASSERT_TRUE(agent.Start()) << agent.Log();
    EXPECT_EQ(LoginCode(agent), std::optional<std::uint32_t>(c.code)) << agent.Log();
    if (c.code) {
      EXPECT_NE(agent.Log().find("TLS"), std::string::npos) << agent.Log();
    } else {
      EXPECT_EQ(LoginCode(agent, "wrong"), std::optional<std::uint32_t>(kCvErrLoginRefused));
    }
  }
}

// An IPv4 address of this machine that is not loopback, when it has one.
std::optional<std::string> OwnAddress() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return std::nullopt;
  std::optional<std::string> found;
  for (ifaddrs* i = list; i && !found; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
    const auto* in = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
    if ((ntohl(in->sin_addr.s_addr) >> 24) == 127) continue;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    found = text;
  }
  ::freeifaddrs(list);
  return found;
}

TEST(DirectoryTls, NoPasswordGoesInTheClearToADirectoryOffLoopback) {
  const auto own = OwnAddress();
  if (!own) GTEST_SKIP() << "this machine has no IPv4 address besides loopback";
  // slapd on this machine's own address: not loopback as far as the agent
  // can tell, and reached by nobody else's traffic.
  Slapd slapd(10);
  slapd.host = *own;
  slapd.debug = "stats";
  ASSERT_TRUE(slapd.Start()) << slapd.Log();
  cvtest::AgentProcess agent;
  agent.extra = DirectorySection(slapd.uri());
  ASSERT_TRUE(agent.Start()) << agent.Log();
  EXPECT_EQ(LoginCode(agent), std::optional<std::uint32_t>(kCvErrLoginRefused)) << agent.Log();
  EXPECT_NE(agent.Log().find("neither encrypted"), std::string::npos) << agent.Log();
  // The user was looked up (anonymously, which sends nothing secret) but
  // never bound: slapd saw no bind with the user's name.
  const std::string seen = slapd.Log();
  EXPECT_NE(seen.find(" SRCH base="), std::string::npos) << seen;
  EXPECT_EQ(seen.find("BIND dn=\"cn=JSMITH"), std::string::npos) << seen;
}

TEST(DirectoryWorkers, AModuleStartIsNotHeldUpByADirectoryThatNeverAnswers) {
  auto silent = std::make_unique<cvtest::SilentServer>();
  cvtest::AgentProcess agent;
  // Long enough that a module start queued behind the directory would wait
  // far longer than a module start takes.
  agent.extra = DirectorySection("ldap://127.0.0.1:" + std::to_string(silent->port()), "", 60000);
  agent.WriteFile("SYS/SYSTEM/TESTMOD.qrx",
                  "description = \"Test module\"\nexec = [\"" CVTESTMODULE_PATH
                  "\", \"--pidfile\", \"{volume}/TESTMOD.pid\", \"{args}\"]\nready = { alive_ms = 150 }\n"
                  "stop_timeout_ms = 2000\n");
  ASSERT_TRUE(agent.Start()) << agent.Log();

  // Several directory logins wait on the silent directory...
  std::vector<cvtest::RawClient> waiting;
  for (int i = 0; i < 3; ++i) {
    waiting.emplace_back(agent.port());
    ASSERT_TRUE(waiting.back().connected());
    ASSERT_TRUE(waiting.back().SendBytes(DirectoryHello(waiting.back().NextId(), "JSMITH.SALES.ACME", "jsmith-secret")));
  }
  // ...while an operator starts and stops a module.
  agent.WriteClientIni("ADMIN");
  std::uint32_t h = 0;
  ASSERT_EQ(CvGetConnectionHandle("SRV1", 0, &h, nullptr), kCvOk) << agent.Log();
  EXPECT_EQ(CvLoadModule(h, "TESTMOD "), kCvOk) << agent.Log();
  EXPECT_EQ(CvUnloadModule(h, "TESTMOD"), kCvOk) << agent.Log();
  CvReleaseConnection(h);
  // The module operations are done and no directory login has its answer yet:
  // they did not wait for each other.
  for (auto& c : waiting) EXPECT_FALSE(c.Receive(std::chrono::milliseconds(0))) << "a login was answered early";

  // The directory goes away: every waiting login is answered, refused.
  silent.reset();
  for (auto& c : waiting) {
    const auto a = ReadAnswer(c, std::chrono::seconds(30));
    ASSERT_TRUE(a) << agent.Log();
    EXPECT_EQ(a->code, kCvErrDirPrimaryConnection);
  }
}

}  // namespace
