// The agent's TLS transport, server identity and SCRAM logins, end to end: a
// real cvserverd on 127.0.0.1, the real client library, and clients and
// relays that misbehave on purpose.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "agent_harness.h"
#include "corvane/client/cverrors.h"
#include "corvane/client/cvfailure.h"
#include "corvane/client/kscalls.h"
#include "corvane/client/ksconn.h"
#include "corvane/wire/scram.h"
#include "test_certs.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string ReadText(const std::filesystem::path& p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string FailureText() {
  char text[2048] = {};
  CvGetFailureText(text, sizeof text);
  return text;
}

// Output of a command, with its exit status.
std::string RunCommand(const std::string& command, int& status) {
  std::string out;
  std::FILE* p = ::popen(command.c_str(), "r");
  char buf[512];
  while (p && std::fgets(buf, sizeof buf, p)) out += buf;
  status = p ? ::pclose(p) : -1;
  return out;
}

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class TlsTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (std::uint32_t h : handles_) {
      while (CvReleaseConnection(h) == kCvOk) {
      }
    }
  }
  std::uint32_t Connect(std::uint32_t want = kCvOk) {
    std::uint32_t h = 0;
    EXPECT_EQ(CvGetConnectionHandle("SRV1", 0, &h, nullptr), want) << FailureText() << "\n" << agent_.Log();
    if (want == kCvOk) handles_.push_back(h);
    return h;
  }
  void ReleaseAll() {
    for (std::uint32_t h : handles_) {
      while (CvReleaseConnection(h) == kCvOk) {
      }
    }
    handles_.clear();
  }
  cvtest::AgentProcess agent_;
  std::vector<std::uint32_t> handles_;
};

TEST_F(TlsTest, FirstContactRecordsTheServerWhichTheFingerprintCommandNames) {
  int status = -1;
  agent_.WriteFile("agent.toml", "[server]\nname = \"SRV1\"\nstate = \"" + (agent_.dir() / "state.db").string() + "\"\n");
  const std::string before =
      RunCommand(std::string(CVSERVERD_PATH) + " fingerprint --config " + (agent_.dir() / "agent.toml").string(), status);
  EXPECT_NE(status, 0) << "no certificate before the first start: " << before;
  EXPECT_FALSE(std::filesystem::exists(agent_.dir() / "cvserverd-key.pem")) << "and the command makes none";
  ASSERT_TRUE(agent_.Start()) << agent_.Log();
  agent_.WriteClientIni("ADMIN");
  const std::string fingerprint = agent_.Fingerprint();
  ASSERT_TRUE(std::regex_match(fingerprint, std::regex("([0-9A-F]{2}:){31}[0-9A-F]{2}"))) << agent_.Log();

  const std::string printed =
      RunCommand(std::string(CVSERVERD_PATH) + " fingerprint --config " + (agent_.dir() / "agent.toml").string(), status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(printed, fingerprint + "\n");
  struct stat st {};
  ASSERT_EQ(::stat((agent_.dir() / "cvserverd-key.pem").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "the key the agent made";

  EXPECT_FALSE(std::filesystem::exists(agent_.knownServers()));
  Connect();
  const std::string known = ReadText(agent_.knownServers());
  EXPECT_NE(known.find("SRV1 127.0.0.1:" + std::to_string(agent_.port()) + " " + fingerprint + "\n"),
            std::string::npos)
      << known;

  // The same key after a restart (on another port): still trusted, not recorded twice.
  ReleaseAll();
  agent_.Stop();
  ASSERT_TRUE(agent_.Start()) << agent_.Log();
  EXPECT_EQ(agent_.Fingerprint(), fingerprint);
  agent_.WriteClientIni("ADMIN");
  Connect();
  EXPECT_EQ(Count(ReadText(agent_.knownServers()), "SRV1 "), 1);
}

// Another agent with a key of its own takes over the name and the port.
TEST_F(TlsTest, AnImpostorOnTheSameNameAndPortIsRefusedUntilTheLineIsRemoved) {
  ASSERT_TRUE(agent_.Start()) << agent_.Log();
  agent_.WriteClientIni("ADMIN");
  Connect();
  ReleaseAll();
  const std::string real = agent_.Fingerprint();
  const std::uint16_t port = agent_.port();
  agent_.Stop();

  cvtest::AgentProcess impostor;
  impostor.listenPort = port;
  ASSERT_TRUE(impostor.Start()) << impostor.Log();
  ASSERT_EQ(impostor.port(), port);
  const std::string other = impostor.Fingerprint();
  ASSERT_NE(other, real);

  const auto start = Clock::now();
  Connect(kCvErrNoAnswer);
  EXPECT_LT(Clock::now() - start, 2s);
  const std::string why = FailureText();
  EXPECT_NE(why.find("server SRV1"), std::string::npos) << why;
  EXPECT_NE(why.find(real), std::string::npos) << why;
  EXPECT_NE(why.find(other), std::string::npos) << why;
  EXPECT_NE(why.find(agent_.knownServers().string()), std::string::npos) << why;
  EXPECT_EQ(impostor.Log().find("logged in"), std::string::npos) << "no login reached the impostor";

  // What the message says to do after a planned certificate change works.
  std::string known = ReadText(agent_.knownServers());
  known.erase(known.find("SRV1 "));
  std::ofstream(agent_.knownServers(), std::ios::trunc) << known;
  Connect();
  EXPECT_NE(ReadText(agent_.knownServers()).find(other), std::string::npos);
}

TEST_F(TlsTest, StrictTrustTakesOnlyKnownOrCaSignedServers) {
  // A CA of the test's own and a certificate it signed for 127.0.0.1.
  const auto caKey = cvtest::NewKey();
  const auto ca = cvtest::MakeCert(caKey.get(), "Test CA", -1, 30, nullptr, nullptr, true);
  const auto key = cvtest::NewKey();
  const auto cert = cvtest::MakeCert(key.get(), "SRV1", -1, 30, caKey.get(), ca.get());
  const std::string dir = agent_.dir().string();
  cvtest::WritePem(dir + "/ca.pem", ca.get());
  cvtest::WritePem(dir + "/srv1.pem", cert.get());
  cvtest::WritePem(dir + "/srv1.key", key.get());

  ASSERT_TRUE(agent_.Start()) << agent_.Log();  // its own self-signed pair first
  agent_.clientExtra = "[Trust]\nStrict=yes\n";
  agent_.WriteClientIni("ADMIN");
  Connect(kCvErrNoAnswer);
  EXPECT_NE(FailureText().find("Strict=yes"), std::string::npos) << FailureText();
  EXPECT_FALSE(std::filesystem::exists(agent_.knownServers())) << "nothing recorded";

  agent_.clientExtra = "[Trust]\nStrict=yes\nCAFile=" + dir + "/ca.pem\n";
  agent_.WriteClientIni("ADMIN");
  Connect(kCvErrNoAnswer);  // still the self-signed certificate

  agent_.Stop();
  agent_.extra = "[tls]\ncertificate = \"" + dir + "/srv1.pem\"\nkey = \"" + dir + "/srv1.key\"\n";
  ASSERT_TRUE(agent_.Start()) << agent_.Log();
  agent_.WriteClientIni("ADMIN");
  Connect();
  EXPECT_FALSE(std::filesystem::exists(agent_.knownServers())) << "a CA-signed server needs no record";
}

TEST_F(TlsTest, TheAgentDoesNotStartWithACertificateItCannotUse) {
  const std::string dir = agent_.dir().string();
  const auto key = cvtest::NewKey();
  const auto otherKey = cvtest::NewKey();
  cvtest::WritePem(dir + "/good.pem", cvtest::MakeCert(key.get(), "SRV1", -1, 30).get());
  cvtest::WritePem(dir + "/expired.pem", cvtest::MakeCert(key.get(), "SRV1", -30, -1).get());
  cvtest::WritePem(dir + "/future.pem", cvtest::MakeCert(key.get(), "SRV1", 2, 30).get());
  cvtest::WritePem(dir + "/good.key", key.get());
  cvtest::WritePem(dir + "/other.key", otherKey.get());
  std::ofstream(dir + "/junk.pem") << "-----BEGIN CERTIFICATE-----\nnot base64\n-----END CERTIFICATE-----\n";
  struct Case {
    const char* what;
    std::string tls;
    const char* says;
  } cases[] = {
      {"expired", "certificate = \"" + dir + "/expired.pem\"\nkey = \"" + dir + "/good.key\"", "has expired"},
      {"not yet valid", "certificate = \"" + dir + "/future.pem\"\nkey = \"" + dir + "/good.key\"", "not valid yet"},
      {"key of another certificate", "certificate = \"" + dir + "/good.pem\"\nkey = \"" + dir + "/other.key\"",
       "does not match"},
      {"missing file", "certificate = \"" + dir + "/none.pem\"\nkey = \"" + dir + "/good.key\"", "none.pem"},
      {"not a certificate", "certificate = \"" + dir + "/junk.pem\"\nkey = \"" + dir + "/good.key\"", "junk.pem"},
      {"certificate without key", "certificate = \"" + dir + "/good.pem\"", "both certificate and key"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(agent_.dir() / "agent.log");
    agent_.extra = "[tls]\n" + c.tls + "\n";
    EXPECT_FALSE(agent_.Start());
    EXPECT_FALSE(agent_.running());
    EXPECT_TRUE(WIFEXITED(agent_.exitStatus()) && WEXITSTATUS(agent_.exitStatus()) == 1);
    EXPECT_NE(agent_.Log().find(c.says), std::string::npos) << agent_.Log();
  }
  agent_.extra = "[tls]\ncertificate = \"" + dir + "/good.pem\"\nkey = \"" + dir + "/good.key\"\n";
  ASSERT_TRUE(agent_.Start()) << agent_.Log();
  agent_.WriteClientIni("ADMIN");
  Connect();

  // The agent's own key, once others may read it, is refused as well.
  agent_.Stop();
  agent_.extra.clear();
  ASSERT_TRUE(agent_.Start()) << agent_.Log();
  agent_.Stop();
  ::chmod((agent_.dir() / "cvserverd-key.pem").c_str(), 0644);
  EXPECT_FALSE(agent_.Start());
  EXPECT_NE(agent_.Log().find("chmod 600"), std::string::npos) << agent_.Log();
}

// A relay without the keys flips one byte of the traffic: in the request
// after the login, or in either side's handshake. Each time the
// connection dies, the client reports 34821 within its timeouts, and the
// request is not executed.
TEST_F(TlsTest, AManInTheMiddleThatChangesOneByteGetsNothingDone) {
  ASSERT_TRUE(agent_.Start()) << agent_.Log();
  agent_.WriteFile("SYS/SYSTEM/TESTMOD.qrx", "exec = [\"" CVTESTMODULE_PATH "\", \"--pidfile\", \"{volume}/TESTMOD.pid\"]\n"
                                             "ready = { alive_ms = 100 }\n");
  struct Case {
    const char* what;
    bool armBeforeLogin;
    bool toServer;
    std::size_t offset;
  } cases[] = {
      {"the load request after the login", false, true, 30},
      {"the client's handshake", true, true, 100},
      {"the server's handshake", true, false, 200},
  };
  constexpr int kRequestMs = 1500, kConnectMs = 1000;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    cvtest::TamperingRelay relay(agent_.port());
    agent_.WriteClientIni("ADMIN", "", 0600, kRequestMs, kConnectMs);
    // The client reaches SRV1 only through the relay.
    std::string ini = ReadText(agent_.dir() / "client.ini");
    ini.replace(ini.find(":" + std::to_string(agent_.port())), std::to_string(agent_.port()).size() + 1,
                ":" + std::to_string(relay.port()));
    std::ofstream(agent_.dir() / "client.ini", std::ios::trunc) << ini;
    const int loginsBefore = Count(agent_.Log(), "logged in");

    std::uint32_t code = kCvOk;
    auto start = Clock::now();
    if (c.armBeforeLogin) {
      relay.Arm(c.toServer, c.offset);
      std::uint32_t h = 0;
      code = CvGetConnectionHandle("SRV1", 0, &h, nullptr);
      if (code == kCvOk) handles_.push_back(h);
      EXPECT_EQ(Count(agent_.Log(), "logged in"), loginsBefore) << "no login";
    } else {
      const std::uint32_t h = Connect();
      relay.Arm(c.toServer, c.offset);
      start = Clock::now();
      code = CvLoadModule(h, "TESTMOD ");
    }
    const auto took = Clock::now() - start;
    EXPECT_TRUE(relay.tampered());
    EXPECT_EQ(code, kCvErrNoAnswer) << agent_.Log();
    EXPECT_LT(took, std::chrono::milliseconds((kRequestMs + kConnectMs) * 11 / 10));
    EXPECT_FALSE(std::filesystem::exists(agent_.volume() / "TESTMOD.pid")) << "the module was not loaded";
    ReleaseAll();
  }
  EXPECT_NE(agent_.Log().find("TLS error"), std::string::npos) << agent_.Log();
  // The agent still serves.
  agent_.WriteClientIni("ADMIN");
  cvtest::RawClient ok(agent_.port());
  EXPECT_EQ(ok.Login("ADMIN", "admin-secret"), std::optional<std::uint32_t>(0u));
}

// What cvserverd.toml holds (salt, iterations, StoredKey, ServerKey) is no
// password: neither the text nor its keys used every way they could be.
TEST_F(TlsTest, TheStoredVerifiersDoNotLogIn) {
  agent_.users.push_back({"OLDFORM", "old-secret", false, true});
  ASSERT_TRUE(agent_.Start()) << agent_.Log();
  const std::string toml = ReadText(agent_.dir() / "agent.toml");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(toml, m, std::regex("\"(SCRAM-SHA-256\\$[^\"]+)\"")));
  const std::string stored = m[1];
  const auto verifier = cvwire::scram::ParseVerifier(stored);
  ASSERT_TRUE(verifier);
  using Bytes = std::vector<std::uint8_t>;
  auto xorWith = [](Bytes a, const Bytes& b) {
    for (std::size_t i = 0; i < a.size(); ++i) a[i] ^= b[i];
    return a;
  };
  struct Attempt {
    const char* what;
    std::function<Bytes(const std::string&)> proof;
  } attempts[] = {
      {"StoredKey taken for ClientKey",
       [&](const std::string& auth) {
         return xorWith(verifier->storedKey, cvwire::scram::Hmac(verifier->storedKey, auth));
       }},
      {"ServerKey taken for SaltedPassword",
       [&](const std::string& auth) {
         const Bytes clientKey = cvwire::scram::Hmac(verifier->serverKey, "Client Key");
         return xorWith(clientKey, cvwire::scram::Hmac(verifier->storedKey, auth));
       }},
      {"StoredKey sent as the proof", [&](const std::string&) { return verifier->storedKey; }},
  };
  cvtest::RawClient c(agent_.port());
  for (const auto& a : attempts) {
    EXPECT_EQ(c.LoginWithProof("ADMIN", a.proof), std::optional<std::uint32_t>(kCvErrLoginRefused)) << a.what;
  }
  EXPECT_TRUE(c.ClosedByPeer(2s)) << "the third refused login closes the connection";

  cvtest::RawClient d(agent_.port());
  EXPECT_EQ(d.Login("ADMIN", stored), std::optional<std::uint32_t>(kCvErrLoginRefused)) << "the text as password";
  // Through the library as well, with the verifier in the password file.
  agent_.WriteClientIni("ADMIN");
  std::ofstream(agent_.dir() / "pw-ADMIN", std::ios::trunc) << stored << "\n";
  Connect(kCvErrLoginRefused);

  // The real passwords, and a user still in the earlier form (which the
  // agent warns about).
  cvtest::RawClient e(agent_.port());
  EXPECT_EQ(e.Login("admin", "admin-secret"), std::optional<std::uint32_t>(0u));
  cvtest::RawClient f(agent_.port());
  EXPECT_EQ(f.Login("OLDFORM", "old-secret"), std::optional<std::uint32_t>(0u));
  EXPECT_NE(agent_.Log().find("user OLDFORM: the password is stored in the earlier pbkdf2-sha256 form"),
            std::string::npos);
  EXPECT_EQ(agent_.Log().find("user ADMIN: the password is stored"), std::string::npos);
}

// Unknown names get a challenge like known ones: the same salt each time,
// across restarts, and the iteration count of the real users.
TEST_F(TlsTest, UnknownUsersGetAStableDecoyChallenge) {
  ASSERT_TRUE(agent_.Start()) << agent_.Log();
  auto challenge = [&](const std::string& user) -> std::optional<cvwire::scram::ServerFirst> {
    cvtest::RawClient c(agent_.port());
    const std::string first = cvwire::scram::FormatClientFirst(user, cvwire::scram::MakeNonce());
    cvwire::Writer hello(cvwire::Type(cvwire::Msg::Hello), c.NextId());
    hello.U32(cvwire::kProtocolVersion).Str("t").Str(cvwire::kMechScram).Blob(std::vector<std::uint8_t>(first.begin(), first.end()));
    if (!c.SendBytes(hello.Frame())) return std::nullopt;
    const auto reply = c.Receive();
    if (!reply) return std::nullopt;
    cvwire::Reader r(*reply);
    if (r.U32() != 0) return std::nullopt;
    r.U32();
    r.U8();
    const auto data = r.Blob();
    return cvwire::scram::ParseServerFirst(std::string(data.begin(), data.end()));
  };
  const auto nobody = challenge("NOBODY");
  const auto admin = challenge("ADMIN");
  ASSERT_TRUE(nobody && admin);
  EXPECT_EQ(nobody->iterations, admin->iterations);
  EXPECT_EQ(nobody->salt.size(), admin->salt.size());
  EXPECT_NE(nobody->salt, admin->salt);
  EXPECT_EQ(challenge("NOBODY")->salt, nobody->salt);
  EXPECT_NE(challenge("SOMEBODY")->salt, nobody->salt);
  agent_.Stop();
  ASSERT_TRUE(agent_.Start());
  EXPECT_EQ(challenge("NOBODY")->salt, nobody->salt) << "the same after a restart";
  cvtest::RawClient c(agent_.port());
  EXPECT_EQ(c.Login("NOBODY", "guess"), std::optional<std::uint32_t>(kCvErrLoginRefused));
}

// Clients that do not speak TLS 1.3 are closed; the agent serves on.
TEST_F(TlsTest, PlainTcpOldTlsAndGarbageAreClosed) {
  ASSERT_TRUE(agent_.Start()) << agent_.Log();
  cvtest::RawClient busy(agent_.port());
  ASSERT_EQ(busy.Login("GUEST", "guest-secret"), std::optional<std::uint32_t>(0u));
  {
    // A client of protocol 1: its Hello in the clear.
    cvtest::RawClient c(agent_.port(), cvtest::RawClient::Mode::Plain);
    cvwire::Writer hello(cvwire::Type(cvwire::Msg::Hello), 1);
    hello.U32(1).Str("ADMIN").Str("old");
    EXPECT_TRUE(c.SendBytes(hello.Frame()));
    EXPECT_TRUE(c.ClosedByPeer(3s)) << "plain TCP";
  }
  {
    cvtest::RawClient c(agent_.port(), cvtest::RawClient::Mode::OldTls);
    EXPECT_FALSE(c.connected()) << "a TLS 1.2 client gets no session";
  }
  {
    cvtest::RawClient c(agent_.port(), cvtest::RawClient::Mode::Plain);
    std::vector<std::uint8_t> junk{0x16, 0x03, 0x01, 0x00, 0x10};
    for (int i = 0; i < 16; ++i) junk.push_back(static_cast<std::uint8_t>(i * 37));
    EXPECT_TRUE(c.SendBytes(junk));
    EXPECT_TRUE(c.ClosedByPeer(3s)) << "garbage that starts like a handshake";
  }
  EXPECT_NE(agent_.Log().find("not TLS"), std::string::npos) << agent_.Log();
  EXPECT_GE(Count(agent_.Log(), "TLS handshake failed"), 2) << agent_.Log();

  cvwire::Writer ping(cvwire::Type(cvwire::Msg::Ping), busy.NextId());
  ASSERT_TRUE(busy.SendBytes(ping.Frame()));
  EXPECT_TRUE(busy.Receive()) << "the logged-in client is still served";
  cvtest::RawClient fresh(agent_.port());
  EXPECT_EQ(fresh.Login("ADMIN", "admin-secret"), std::optional<std::uint32_t>(0u));
}

// A Hello of another protocol version, or with a mechanism the agent does
// not offer, gets a code and the agent's version, not silence.
TEST_F(TlsTest, OtherVersionsAndMechanismsAreRefusedWithTheAgentsVersion) {
  ASSERT_TRUE(agent_.Start()) << agent_.Log();
  struct Case {
    std::uint32_t version;
    const char* mechanism;
  } cases[] = {{1, cvwire::kMechScram}, {3, cvwire::kMechScram}, {cvwire::kProtocolVersion, "PLAIN"}};
  for (const auto& c : cases) {
    cvtest::RawClient client(agent_.port());
    cvwire::Writer hello(cvwire::Type(cvwire::Msg::Hello), 5);
    hello.U32(c.version).Str("t").Str(c.mechanism).Blob({});
    ASSERT_TRUE(client.SendBytes(hello.Frame()));
    const auto reply = client.Receive();
    ASSERT_TRUE(reply) << c.version << " " << c.mechanism;
    cvwire::Reader r(*reply);
    EXPECT_EQ(r.type(), cvwire::ReplyType(cvwire::Msg::Hello));
    EXPECT_EQ(r.U32(), cvwire::kCodeUnsupported);
    EXPECT_EQ(r.U32(), cvwire::kProtocolVersion);
    EXPECT_TRUE(r.Done());
  }
}

// The configured timeouts bound a whole operation, reconnecting included:
// against a listener that never answers, 34821 comes within Request +
// Connect + 10 %.
TEST_F(TlsTest, ASilentListenerCostsAtMostTheConfiguredTimeouts) {
  ASSERT_TRUE(agent_.Start()) << agent_.Log();
  constexpr int kRequestMs = 800, kConnectMs = 1000;
  const auto bound = std::chrono::milliseconds((kRequestMs + kConnectMs) * 11 / 10);
  cvtest::SilentServer silent;
  agent_.WriteClientIni("ADMIN", "MUTE=127.0.0.1:" + std::to_string(silent.port()) + "\n", 0600, kRequestMs,
                        kConnectMs);

  auto start = Clock::now();
  std::uint32_t h = 0;
  EXPECT_EQ(CvGetConnectionHandle("MUTE", 0, &h, nullptr), kCvErrNoAnswer);
  auto took = Clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(kRequestMs) - 50ms);
  EXPECT_LT(took, bound) << "first contact";

  // A logged-in connection whose server went away and came back silent: the
  // operation reconnects within the same bound.
  h = Connect();
  agent_.Stop();
  std::string ini = ReadText(agent_.dir() / "client.ini");
  ini.replace(ini.find("SRV1=127.0.0.1:" + std::to_string(agent_.port())),
              std::string("SRV1=127.0.0.1:" + std::to_string(agent_.port())).size(),
              "SRV1=127.0.0.1:" + std::to_string(silent.port()));
  std::ofstream(agent_.dir() / "client.ini", std::ios::trunc) << ini;
  start = Clock::now();
  EXPECT_EQ(CvLoadModule(h, "TESTMOD "), kCvErrNoAnswer);
  took = Clock::now() - start;
  EXPECT_LT(took, bound) << "reconnect";
  EXPECT_NE(FailureText().find("no TLS handshake before the timeout"), std::string::npos) << FailureText();
}

}  // namespace
