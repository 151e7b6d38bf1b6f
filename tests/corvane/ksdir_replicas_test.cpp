// The directory beyond one server: a replicated pair of private slapds
// (syncprov and syncrepl) with failover between them, servers that are down
// or silent, a listing that loses its server, TLS to the directory with a
// certificate the test makes, and the rules of the directory helpers that
// decide where a password may go.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "agent_harness.h"
#include "corvane/client/cverrors.h"
#include "corvane/client/cvfailure.h"
#include "corvane/client/ksdir.h"
#include "corvane/directory/ldapdir.h"
#include "support/slapd_fixture.h"
#include "support/temp_dir.h"
#include "test_certs.h"

namespace {

using testsupport::Slapd;

const std::string kBase = Slapd::base();

// A port on 127.0.0.1 where nothing listens.
std::uint16_t ClosedPort() {
  cvtest::PortGate gate;  // bound, never listening: connections are refused
  return gate.port();
}

// Why the last failed operation failed. ReadValue keeps it, as freeing its
// buffers afterwards starts operations of their own.
std::string kept;
std::string FailureText() {
  if (!kept.empty()) return std::exchange(kept, {});
  char text[1024] = {};
  CvGetFailureText(text, sizeof text);
  return text;
}

// client.ini with the tree ACME at the given servers, and more lines.
class ClientIni {
 public:
  void Write(const std::vector<std::string>& uris, const std::string& more = "") {
    std::string line;
    for (const auto& u : uris) line += (line.empty() ? "" : " ") + u + "/" + kBase;
    std::ofstream(path(), std::ios::trunc) << "[Trees]\nACME=" << line << "\n[Timeouts]\nConnect=1500\nRequest=2000\n"
                                           << more;
    ::setenv("CORVANE_CLIENT", path().c_str(), 1);
  }
  std::string path() const { return dir_ / "client.ini"; }
  std::filesystem::path dir() const { return dir_.path(); }

 private:
  testsupport::TempDir dir_;
};

// One context on ACME's root, freed at the end.
struct Context {
  std::uint32_t handle = 0;
  Context() {
    EXPECT_EQ(CvCreateContextHandle(&handle), 0u);
    EXPECT_EQ(CvSetContext(handle, kCvCtxKeyTreeName, "ACME"), 0u);
    EXPECT_EQ(CvSetContext(handle, kCvCtxKeyNameContext, "[Root]"), 0u);
  }
  ~Context() { CvFreeContext(handle); }
};

struct Buffer {
  std::uint32_t handle = 0;
  Buffer() { EXPECT_EQ(CvAllocBuffer(kCvDirBufferSize, &handle), 0u); }
  ~Buffer() { CvFreeBuffer(handle); }
};

// The names of one batch in buffer.
std::vector<std::string> Names(std::uint32_t ctx, std::uint32_t buffer) {
  std::vector<std::string> names;
  std::uint32_t count = 0;
  if (CvGetObjectCount(ctx, buffer, &count) != 0) return names;
  for (std::uint32_t i = 0; i < count; ++i) {
    char name[kCvDirObjectNameSize] = {};
    if (CvGetObjectName(ctx, buffer, name, nullptr, nullptr) != 0) break;
    names.emplace_back(name);
  }
  return names;
}

// A whole listing; the code of the call that ended it.
std::uint32_t ListAll(std::uint32_t ctx, const char* container, std::vector<std::string>& names) {
  Buffer b;
  std::uint32_t iteration = kCvIterationStart;
  for (int batches = 0; batches < 10000; ++batches) {
    if (std::uint32_t rc = CvListContainer(ctx, container, &iteration, b.handle)) return rc;
    for (auto& n : Names(ctx, b.handle)) names.push_back(std::move(n));
    if (iteration == kCvIterationStart) return 0;
  }
  return kCvErrFailure;
}

// The first value of attribute of the object, read with CvReadObject.
std::uint32_t ReadValue(std::uint32_t ctx, const char* object, const char* attribute, std::string& value) {
  Buffer request, reply;
  if (std::uint32_t rc = CvInitDirBuffer(ctx, kCvDirOpRead, request.handle)) return rc;
  if (std::uint32_t rc = CvPutAttributeName(ctx, request.handle, attribute)) return rc;
  std::uint32_t iteration = kCvIterationStart;
  if (std::uint32_t rc = CvReadObject(ctx, object, kCvInfoAttributeValues, 0, request.handle, &iteration, reply.handle)) {
    kept = FailureText();
    return rc;
  }
  std::uint32_t count = 0;
  if (std::uint32_t rc = CvGetAttributeCount(ctx, reply.handle, &count)) return rc;
  if (count == 0) return kCvErrNoMoreEntries;
  char name[kCvDirAttributeNameSize] = {};
  std::uint32_t values = 0, syntax = 0;
  if (std::uint32_t rc = CvGetAttributeName(ctx, reply.handle, name, &values, &syntax)) return rc;
  char text[1024] = {};
  if (std::uint32_t rc = CvGetAttributeValue(ctx, reply.handle, syntax, sizeof text, text)) return rc;
  value = text;
  return 0;
}

// --- Where a password may go, and the helpers' parsers ---

TEST(ClearBind, OnlyLoopbackPeersMayGetAPasswordWithoutTls) {
  struct Case {
    const char* address;
    bool allowed;
  };
  const Case cases[] = {
      {"127.0.0.1", true},     {"127.8.9.10", true},          {"::1", true},
      {"::ffff:127.0.0.1", true}, {"10.0.0.1", false},        {"192.168.1.20", false},
      {"128.0.0.1", false},    {"2001:db8::1", false},        {"::ffff:10.0.0.1", false},
      {"::", false},           {"0.0.0.0", false},
  };
  for (const auto& c : cases) {
    sockaddr_in in{};
    sockaddr_in6 in6{};
    if (::inet_pton(AF_INET, c.address, &in.sin_addr) == 1) {
      in.sin_family = AF_INET;
      EXPECT_EQ(cvdir::ClearBindAllowed(&in, sizeof in), c.allowed) << c.address;
    } else {
      ASSERT_EQ(::inet_pton(AF_INET6, c.address, &in6.sin6_addr), 1) << c.address;
      in6.sin6_family = AF_INET6;
      EXPECT_EQ(cvdir::ClearBindAllowed(&in6, sizeof in6), c.allowed) << c.address;
    }
  }
  sockaddr_in shortRecord{};
  shortRecord.sin_family = AF_INET;
  shortRecord.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_FALSE(cvdir::ClearBindAllowed(&shortRecord, 4)) << "a truncated address record";
  EXPECT_FALSE(cvdir::ClearBindAllowed(nullptr, 0));
}

TEST(GeneralizedTime, ServerTimestampsBecomeSecondsSince1970) {
  struct Case {
    const char* text;
    bool ok;
    std::int64_t seconds;
  };
  const Case cases[] = {
      {"19700101000000Z", true, 0},
      {"20261208121500Z", true, 1796732100},
      {"20261208121500.123456Z", true, 1796732100},
      {"202612081215Z", true, 1796732100},
      {"20261208141500+0200", true, 1796732100},
      {"20261208071500-05", true, 1796732100},
      {"20000229235959Z", true, 951868799},
      {"20261208121500", false, 0},
      {"20261308121500Z", false, 0},
      {"20261208251500Z", false, 0},
      {"2026120812150Z", false, 0},
      {"20261208121500.Z", false, 0},
      {"20261208121500Zjunk", false, 0},
      {"", false, 0},
      {"abcdefghijklmnZ", false, 0},
  };
  for (const auto& c : cases) {
    std::int64_t s = -1;
    EXPECT_EQ(cvdir::ParseGeneralizedTime(c.text, s), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(s, c.seconds) << c.text;
    }
  }
}

TEST(Replicas, UriListsSplitOnBlanks) {
  EXPECT_EQ(cvdir::SplitUris("ldap://a:389 ldaps://b:636\t ldap://c"),
            (std::vector<std::string>{"ldap://a:389", "ldaps://b:636", "ldap://c"}));
  EXPECT_TRUE(cvdir::SplitUris(" \t ").empty());
}

TEST(Replicas, ASessionGoesToTheFirstServerThatConnectsAndLaterOnesStartThere) {
  Slapd slapd(10);
  ASSERT_TRUE(slapd.Start()) << slapd.Log();
  const std::string down = "ldap://127.0.0.1:" + std::to_string(ClosedPort());
  cvdir::Replicas replicas({down, slapd.uri()}, cvdir::Options{1000, 2000, false, {}});
  std::unique_ptr<cvdir::Session> s;
  std::string error;
  ASSERT_EQ(replicas.Open(s, {}, {}, &error), 0u) << error;
  EXPECT_EQ(s->uri(), slapd.uri());
  EXPECT_FALSE(s->encrypted());
  // Every replica left out: nothing to open, and the reason says so.
  std::unique_ptr<cvdir::Session> none;
  EXPECT_EQ(replicas.Open(none, {down, slapd.uri()}, {}, &error), kCvErrDirPrimaryConnection);
  EXPECT_FALSE(none);
  // The server that answered is tried first from now on: with it gone, the
  // failure names the server that was tried after it, the one that is down.
  slapd.Stop();
  EXPECT_EQ(replicas.Open(none, {}, {}, &error), kCvErrDirPrimaryConnection);
  EXPECT_NE(error.find(down), std::string::npos) << error;
}

// --- A replicated pair ---

class ReplicatedDirectory : public ::testing::Test {
 protected:
  void SetUp() override {
    kept.clear();  // a text an earlier test kept and never asked for
    provider_.provider = true;
    ASSERT_TRUE(provider_.Start()) << provider_.Log();
    consumer_.ConsumerOf(provider_);
    ASSERT_TRUE(consumer_.Start()) << consumer_.Log();
    // The consumer has refreshed once the last entry of the load is there.
    ASSERT_TRUE(consumer_.WaitFor("cn=OBJ00600,ou=BIG,o=ACME," + kBase, 30000)) << consumer_.Log();
  }

  Slapd provider_{600};
  Slapd consumer_{0};
  ClientIni ini_;
};

TEST_F(ReplicatedDirectory, AnEntryAddedAtTheProviderAppearsAtTheConsumer) {
  const std::string dn = "cn=SRV3,ou=SALES,o=ACME," + kBase;
  EXPECT_FALSE(consumer_.Exists(dn));
  ASSERT_TRUE(provider_.Add(dn, {{"objectClass", "kcpServer"}, {"cn", "SRV3"}, {"kcpNetworkAddress", "127.0.0.1:1"}}));
  EXPECT_TRUE(consumer_.WaitFor(dn, 30000)) << consumer_.Log();

  // And the client sees it through either server.
  for (const auto& uri : {provider_.uri(), consumer_.uri()}) {
    ini_.Write({uri});
    Context ctx;
    std::string address;
    EXPECT_EQ(ReadValue(ctx.handle, "SRV3.SALES.ACME", "kcpNetworkAddress", address), 0u) << uri;
    EXPECT_EQ(address, "127.0.0.1:1") << uri;
  }
}

TEST_F(ReplicatedDirectory, ListingsReadsAndObjectInformationGoOnAtTheConsumerWhenTheProviderStops) {
  ini_.Write({provider_.uri(), consumer_.uri()});
  Context ctx;
  std::string uid;
  ASSERT_EQ(ReadValue(ctx.handle, "JSMITH.SALES.ACME", "uidNumber", uid), 0u) << FailureText();
  EXPECT_EQ(uid, "1001");

  provider_.Stop();
  // The open session's server is gone: the same operations, on the same
  // context, are served by the consumer.
  uid.clear();
  EXPECT_EQ(ReadValue(ctx.handle, "JSMITH.SALES.ACME", "uidNumber", uid), 0u) << FailureText();
  EXPECT_EQ(uid, "1001");
  std::vector<std::string> names;
  ASSERT_EQ(ListAll(ctx.handle, "SALES.ACME", names), 0u) << FailureText();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"ADMIN", "JSMITH", "SRV1", "SRV2"}));
  char dn[kCvDirNameSize] = {};
  CvObjectInfo info{};
  ASSERT_EQ(CvReadObjectInfo(ctx.handle, "SALES.ACME", dn, &info), 0u);
  EXPECT_STREQ(dn, "SALES.ACME");
  EXPECT_EQ(info.subordinateCount, 4u);

  // A new context goes straight to the consumer, which answered last.
  Context fresh;
  names.clear();
  EXPECT_EQ(ListAll(fresh.handle, "BIG.ACME", names), 0u) << FailureText();
  EXPECT_EQ(names.size(), 600u);

  // With both gone the caller hears that no directory server answers.
  consumer_.Stop();
  EXPECT_EQ(ReadValue(ctx.handle, "JSMITH.SALES.ACME", "uidNumber", uid), kCvErrDirPrimaryConnection);
}

TEST_F(ReplicatedDirectory, AListingThatLosesItsServerSaysSoAndTheNextListingIsWhole) {
  ini_.Write({provider_.uri(), consumer_.uri()});
  Context ctx;
  Buffer b;
  std::uint32_t iteration = kCvIterationStart;
  ASSERT_EQ(CvListContainer(ctx.handle, "BIG.ACME", &iteration, b.handle), 0u) << FailureText();
  ASSERT_NE(iteration, kCvIterationStart) << "one batch holds all of BIG";
  std::vector<std::string> names = Names(ctx.handle, b.handle);
  provider_.Stop();
  std::uint32_t rc = 0;
  for (int calls = 0; calls < 1000 && rc == 0 && iteration != kCvIterationStart; ++calls) {
    rc = CvListContainer(ctx.handle, "BIG.ACME", &iteration, b.handle);
    if (rc == 0) {
      for (auto& n : Names(ctx.handle, b.handle)) names.push_back(std::move(n));
    }
  }
  // The batches already read stay; the listing ends with the code of a lost
  // server instead of passing for complete, and the iteration is gone.
  EXPECT_EQ(rc, kCvErrDirPrimaryConnection);
  EXPECT_LT(names.size(), 600u);
  EXPECT_EQ(iteration, kCvIterationStart);
  EXPECT_NE(FailureText().find("lost during a listing"), std::string::npos) << FailureText();

  // Listed again from the start, it comes whole from the consumer.
  std::vector<std::string> again;
  ASSERT_EQ(ListAll(ctx.handle, "BIG.ACME", again), 0u) << FailureText();
  EXPECT_EQ(again.size(), 600u);
}

TEST_F(ReplicatedDirectory, ServersThatAreDownOrSilentArePassedOver) {
  cvtest::SilentServer silent;
  const std::string down = "ldap://127.0.0.1:" + std::to_string(ClosedPort());
  const std::string quiet = "ldap://127.0.0.1:" + std::to_string(silent.port());
  const std::vector<std::vector<std::string>> orders = {
      {down, consumer_.uri()}, {quiet, consumer_.uri()}, {down, quiet, provider_.uri()}};
  for (const auto& order : orders) {
    SCOPED_TRACE(order.front() + " first, " + std::to_string(order.size()) + " servers");
    ini_.Write(order);
    Context ctx;
    std::string uid;
    EXPECT_EQ(ReadValue(ctx.handle, "ADMIN.SALES.ACME", "uidNumber", uid), 0u) << FailureText();
    EXPECT_EQ(uid, "1000");
    std::vector<std::string> names;
    EXPECT_EQ(ListAll(ctx.handle, "EMPTY.ACME", names), 0u) << FailureText();
    EXPECT_EQ(names.size(), 3u);
  }
}

// --- TLS to the directory ---

class TlsDirectory : public ::testing::Test {
 protected:
  void SetUp() override { kept.clear(); }  // as in ReplicatedDirectory
  static void SetUpTestSuite() {
    dir_ = new testsupport::TempDir();
    cvtest::WriteDirectoryTlsFiles(dir_->path());
    slapd_ = new Slapd(10);
    slapd_->tlsCertificate = *dir_ / "server.pem";
    slapd_->tlsKey = *dir_ / "server.key";
    ASSERT_TRUE(slapd_->Start()) << slapd_->Log();
  }
  static void TearDownTestSuite() {
    delete slapd_;
    delete dir_;
  }

  static std::string Ca() { return *dir_ / "ca.pem"; }
  static std::string OtherCa() { return *dir_ / "other-ca.pem"; }

  static Slapd* slapd_;
  static testsupport::TempDir* dir_;
  ClientIni ini_;
};
Slapd* TlsDirectory::slapd_ = nullptr;
testsupport::TempDir* TlsDirectory::dir_ = nullptr;

TEST_F(TlsDirectory, TheDirectorysCertificateIsVerifiedOverLdapsAndStartTls) {
  struct Case {
    const char* what;
    bool ldaps;
    bool startTls;
    bool rightCa;
    std::uint32_t code;
  };
  const Case cases[] = {
      {"ldaps with the CA", true, false, true, 0},
      {"StartTLS with the CA", false, true, true, 0},
      {"ldaps with another CA", true, false, false, kCvErrDirPrimaryConnection},
      {"StartTLS with another CA", false, true, false, kCvErrDirPrimaryConnection},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ini_.Write({c.ldaps ? slapd_->ldapsUri() : slapd_->uri()},
               std::string("[Directory]\nStartTLS=") + (c.startTls ? "yes" : "no") +
                   "\nCAFile=" + (c.rightCa ? Ca() : OtherCa()) + "\n");
    Context ctx;
    std::string uid;
    EXPECT_EQ(ReadValue(ctx.handle, "JSMITH.SALES.ACME", "uidNumber", uid), c.code) << FailureText();
    if (c.code == 0) {
      EXPECT_EQ(uid, "1001");
    } else {
      const std::string why = FailureText();
      EXPECT_NE(why.find("TLS"), std::string::npos) << why;
    }
  }
}

TEST_F(TlsDirectory, ADirectoryUserReadsAsItselfOverTls) {
  const auto pw = ini_.dir() / "password";
  std::ofstream(pw) << "jsmith-secret\n";
  ::chmod(pw.c_str(), 0600);
  const std::string login = "[Login]\nTree=ACME\nUser=JSMITH.SALES.ACME\nPasswordFile=" + pw.string() + "\n";
  // userPassword is readable by its owner only: reading it proves the bind.
  for (const bool ldaps : {true, false}) {
    SCOPED_TRACE(ldaps ? "ldaps" : "StartTLS");
    ini_.Write({ldaps ? slapd_->ldapsUri() : slapd_->uri()},
               std::string("[Directory]\nStartTLS=") + (ldaps ? "no" : "yes") + "\nCAFile=" + Ca() + "\n" + login);
    Context ctx;
    std::string password;
    EXPECT_EQ(ReadValue(ctx.handle, "JSMITH.SALES.ACME", "userPassword", password), 0u) << FailureText();
    EXPECT_EQ(password, "jsmith-secret");
  }
}

TEST_F(TlsDirectory, AReplicaThatNeverCompletesItsHandshakeIsPassedOver) {
  cvtest::SilentServer silent;
  for (const bool ldaps : {true, false}) {
    SCOPED_TRACE(ldaps ? "ldaps" : "StartTLS");
    const std::string port = std::to_string(silent.port());
    ini_.Write({(ldaps ? "ldaps://127.0.0.1:" : "ldap://127.0.0.1:") + port, ldaps ? slapd_->ldapsUri() : slapd_->uri()},
               std::string("[Directory]\nStartTLS=") + (ldaps ? "no" : "yes") + "\nCAFile=" + Ca() + "\n");
    Context ctx;
    std::string uid;
    EXPECT_EQ(ReadValue(ctx.handle, "GUEST.EMPTY.ACME", "uidNumber", uid), 0u) << FailureText();
    EXPECT_EQ(uid, "1002");
  }
}

TEST_F(TlsDirectory, AServerWithoutACertificateForItsNameIsRefused) {
  // The certificate names 127.0.0.1; reached as localhost it does not match.
  ini_.Write({"ldaps://localhost:" + std::to_string(slapd_->tlsPort())}, "[Directory]\nCAFile=" + Ca() + "\n");
  Context ctx;
  std::string uid;
  EXPECT_EQ(ReadValue(ctx.handle, "JSMITH.SALES.ACME", "uidNumber", uid), kCvErrDirPrimaryConnection)
      << FailureText();
}

// A directory server that goes away under an open session, over each kind
// of connection: the next request fails as a lost connection, and closing
// the session (libldap writes its unbind to the dead socket) leaves the
// host alive with SIGPIPE at its default. In a child process of its own,
// with a slapd of its own, since SIGPIPE would end the process.
TEST(DirectoryHostTest, ADirectoryThatGoesNeitherHangsNorKillsTheHost) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  enum class Kind { Plain, StartTls, Ldaps };
  for (const Kind kind : {Kind::Plain, Kind::StartTls, Kind::Ldaps}) {
    SCOPED_TRACE(static_cast<int>(kind));
    EXPECT_EXIT(
        {
          ::signal(SIGPIPE, SIG_DFL);
          testsupport::TempDir dir;
          cvtest::WriteDirectoryTlsFiles(dir.path());
          Slapd slapd(10);
          slapd.tlsCertificate = dir / "server.pem";
          slapd.tlsKey = dir / "server.key";
          if (!slapd.Start()) std::_Exit(2);
          cvdir::Options options;
          options.startTls = kind == Kind::StartTls;
          options.caFile = dir / "ca.pem";
          std::unique_ptr<cvdir::Session> session;
          if (cvdir::Session::Open(kind == Kind::Ldaps ? slapd.ldapsUri() : slapd.uri(), options, session) != kCvOk)
            std::_Exit(3);
          std::string dn;
          if (session->FindOne(Slapd::base(), "(objectClass=*)", dn) != kCvOk) std::_Exit(4);
          slapd.Stop();
          for (int i = 0; i < 3; ++i) {
            if (!cvdir::Session::Lost(session->FindOne(Slapd::base(), "(objectClass=*)", dn))) std::_Exit(5);
          }
          session.reset();
          std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
  }
}

}  // namespace
