// A real cvserverd on 127.0.0.1 under attack by clients that misbehave on
// purpose: floods without reading, idle and dribbling connections, many
// addresses at once, password guessing, forged log lines, an exhausted
// descriptor table. Connections come from addresses of 127.0.0.0/8.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "agent_harness.h"
#include "corvane/client/cverrors.h"
#include "corvane/client/kscalls.h"
#include "corvane/client/ksconn.h"
#include "corvane/wire/codec.h"
#include "corvane/wire/scram.h"

namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Resident memory of a process, in KiB.
long RssKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

std::vector<std::uint8_t> Hello(std::uint32_t id, std::uint32_t version, const std::string& mechanism) {
  cvwire::Writer w(cvwire::Type(cvwire::Msg::Hello), id);
  w.U32(version).Str("t").Str(mechanism).Blob({});
  return w.Frame();
}

std::uint32_t ReplyCode(const std::optional<std::vector<std::uint8_t>>& reply) {
  if (!reply) return ~0u;
  cvwire::Reader r(*reply);
  return r.U32();
}

class Hostile : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ::signal(SIGPIPE, SIG_IGN); }
  void TearDown() override {
    for (std::uint32_t h : handles_) {
      while (CvReleaseConnection(h) == kCvOk) {
      }
    }
  }
  // The real client library's login, from 127.0.0.1.
  std::uint32_t LibraryLogin(const std::string& user = "ADMIN") {
    agent_.WriteClientIni(user);
    std::uint32_t h = 0;
    const std::uint32_t rc = CvGetConnectionHandle("SRV1", 0, &h, nullptr);
    if (rc == kCvOk) handles_.push_back(h);
    return rc;
  }
  cvtest::AgentProcess agent_;
  std::vector<std::uint32_t> handles_;
};

// A logged-in user who sends requests without ever reading the replies:
// the agent stops reading that connection once its unsent replies pass a
// bound, so its memory does not grow with them; when the client reads
// again, the connection goes on.
TEST_F(Hostile, RequestsWithoutReadingStopAtTheUnsentBound) {
  // 200 text parameters of 240 characters: a parameter list is a reply of
  // some 50 KB to a request of 16 bytes.
  for (int i = 0; i < 200; ++i) {
    agent_.extra += "[[parameter]]\nname = \"Flood " + std::to_string(i) + "\"\ntype = \"text\"\nvalue = \"" +
                    std::string(240, 'x') + "\"\n";
  }
  ASSERT_TRUE(agent_.Start()) << agent_.Log();
  cvtest::RawClient flood(agent_.port());
  ASSERT_EQ(flood.Login("GUEST", "guest-secret"), std::optional<std::uint32_t>(0u));
  const long before = RssKiB(agent_.pid());
  ASSERT_GT(before, 0);
  flood.SetSendTimeout(3000ms);
  // 4,000 requests (64 KB, which the socket takes whole) would be 200 MB
  // of replies.
  std::vector<std::uint8_t> batch;
  for (int i = 0; i < 100; ++i) {
    cvwire::Writer w(cvwire::Type(cvwire::Msg::ParameterList), 0);
    w.U32(0);
    const auto f = w.Frame();
    batch.insert(batch.end(), f.begin(), f.end());
  }
  for (int sent = 0; sent < 4000 && flood.SendBytes(batch); sent += 100) {
  }
  long peak = before;
  for (int i = 0; i < 20; ++i) {
    std::this_thread::sleep_for(100ms);
    peak = std::max(peak, RssKiB(agent_.pid()));
  }
  EXPECT_LT(peak - before, 32 * 1024) << "KiB the agent grew by under the flood";
  RecordProperty("rss_growth_kib", std::to_string(peak - before));
  std::printf("agent memory under the flood: %ld KiB more than before it\n", peak - before);

  // Others are served meanwhile.
  cvtest::RawClient other(agent_.port());
  EXPECT_EQ(other.Login("ADMIN", "admin-secret"), std::optional<std::uint32_t>(0u));

  // The flood reads: every reply comes, then the answer to one more request.
  cvwire::Writer ping(cvwire::Type(cvwire::Msg::Ping), 777);
  ASSERT_TRUE(flood.SendBytes(ping.Frame()));
  int replies = 0;
  std::optional<std::vector<std::uint8_t>> reply;
  while ((reply = flood.Receive(10s))) {
    cvwire::Reader r(*reply);
    if (r.requestId() == 777) break;
    ++replies;
  }
  ASSERT_TRUE(reply) << "the connection works after it was paused";
  EXPECT_EQ(replies, 4000) << "no request was lost while reading paused";
}

// Hellos of another version or mechanism are refusals like wrong
// passwords: the third closes the connection. Their log lines are bounded
// however many connections send them.
TEST_F(Hostile, RefusedHellosCountAndTheirLogLinesAreBounded) {
  ASSERT_TRUE(agent_.Start()) << agent_.Log();
  {
    cvtest::RawClient c(agent_.port());
    const std::vector<std::uint8_t> hellos[] = {Hello(1, 9, cvwire::kMechScram), Hello(2, 1, cvwire::kMechScram),
                                                Hello(3, cvwire::kProtocolVersion, "PLAIN")};
    for (const auto& h : hellos) {
      ASSERT_TRUE(c.SendBytes(h));
      EXPECT_EQ(ReplyCode(c.Receive()), cvwire::kCodeUnsupported);
    }
    EXPECT_TRUE(c.ClosedByPeer(5s)) << "the third refusal is the last";
  }
  // 60 connections of 3 refusals each, from several addresses.
  for (int i = 0; i < 60; ++i) {
    cvtest::RawClient c(agent_.port(), cvtest::RawClient::Mode::Tls, nullptr, "127.0.0." + std::to_string(2 + i % 6));
    ASSERT_TRUE(c.connected()) << i;
    for (std::uint32_t id = 1; id <= 3; ++id) {
      ASSERT_TRUE(c.SendBytes(Hello(id, 9, cvwire::kMechScram)));
      ASSERT_TRUE(c.Receive());
    }
    EXPECT_TRUE(c.ClosedByPeer(5s));
  }
  const std::string log = agent_.Log();
  EXPECT_LE(Count(log, "a client speaking protocol"), 42) << "183 refusals, burst of 20 per 10 s";
  EXPECT_GE(Count(log, "a client speaking protocol"), 20);
  EXPECT_EQ(LibraryLogin(), kCvOk);
}

// Bytes that never make a request do not keep a connection that has not
// logged in: the login has a deadline from accept.
TEST_F(Hostile, TheLoginDeadlineRunsFromAcceptNotFromTheLastByte) {
  agent_.serverExtra = "login_timeout_ms = 1500\nidle_timeout_ms = 600000\n";
  ASSERT_TRUE(agent_.Start()) << agent_.Log();
  cvtest::RawClient c(agent_.port());
  ASSERT_TRUE(c.connected());
  // A frame of 60,000 bytes announced, its bytes sent one at a time.
  ASSERT_TRUE(c.SendBytes({0x60, 0xEA, 0x00, 0x00}));
  bool closed = false;
  for (int i = 0; i < 100 && !closed; ++i) {
    if (!c.SendBytes({0x41})) break;
    closed = c.ClosedByPeer(100ms);
  }
  EXPECT_TRUE(closed || !c.SendBytes({0x41})) << "still open after 100 bytes over 10 s";
  EXPECT_THAT(agent_.Log(), HasSubstr("no login within 1500 ms"));
  // A plain TCP connection that says nothing at all gets the same.
  cvtest::RawClient silent(agent_.port(), cvtest::RawClient::Mode::Plain);
  ASSERT_TRUE(silent.connected());
  EXPECT_TRUE(silent.ClosedByPeer(10s));
}

// Connections that have not logged in are capped per address and in all;
// at the cap the oldest of the busiest address makes room, so a newcomer
// from another address still logs in.
TEST_F(Hostile, ConnectionsNotLoggedInAreCappedPerAddressAndInAll) {
  agent_.serverExtra = "max_unauthenticated = 12\nmax_unauthenticated_per_address = 4\n";
  ASSERT_TRUE(agent_.Start()) << agent_.Log();
  // Eight from one address: the last four are closed at once.
  std::vector<cvtest::RawClient> same;
  int refused = 0;
  for (int i = 0; i < 8; ++i) {
    same.emplace_back(agent_.port(), cvtest::RawClient::Mode::Plain, nullptr, "127.0.0.2");
    ASSERT_TRUE(same.back().connected());
    if (i >= 4 && same.back().ClosedByPeer(3s)) ++refused;
  }
  EXPECT_EQ(refused, 4);
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(same[static_cast<std::size_t>(i)].ClosedByPeer(50ms)) << i;
  EXPECT_THAT(agent_.Log(), HasSubstr("connection from 127.0.0.2 refused: 4 connections"));

  // Eight more addresses with two each: 4 + 16 > 12, the oldest of the
  // busiest address (127.0.0.2) go first.
  std::vector<cvtest::RawClient> spread;
  for (int a = 3; a <= 10; ++a) {
    for (int i = 0; i < 2; ++i) {
      spread.emplace_back(agent_.port(), cvtest::RawClient::Mode::Plain, nullptr, "127.0.0." + std::to_string(a));
      ASSERT_TRUE(spread.back().connected());
    }
  }
  int open = 0;
  for (auto& c : same)
    if (!c.ClosedByPeer(200ms)) ++open;
  for (auto& c : spread)
    if (!c.ClosedByPeer(50ms)) ++open;
  EXPECT_LE(open, 12);
  EXPECT_GE(open, 11);  // at most the one the login below displaces
  EXPECT_TRUE(same[0].ClosedByPeer(10ms)) << "the oldest of the busiest address made room";

  // Logged-in connections do not count.
  cvtest::RawClient newcomer(agent_.port(), cvtest::RawClient::Mode::Tls, nullptr, "127.0.0.20");
  ASSERT_EQ(newcomer.Login("GUEST", "guest-secret"), std::optional<std::uint32_t>(0u));
  cvtest::RawClient second(agent_.port(), cvtest::RawClient::Mode::Tls, nullptr, "127.0.0.20");
  EXPECT_EQ(second.Login("ADMIN", "admin-secret"), std::optional<std::uint32_t>(0u));
}

// Hundreds of idle connections from many addresses, and then a legitimate
// login through the client library: it gets in.
TEST_F(Hostile, HundredsOfIdleConnectionsLeaveTheLoginOpen) {
  ASSERT_TRUE(agent_.Start()) << agent_.Log();
  std::vector<cvtest::RawClient> idle;
  for (int i = 0; i < 400; ++i) {
    idle.emplace_back(agent_.port(), cvtest::RawClient::Mode::Plain, nullptr, "127.0.1." + std::to_string(1 + i % 40));
  }
  EXPECT_EQ(LibraryLogin(), kCvOk) << agent_.Log();
  // And from the busiest address itself, past its share.
  for (int i = 0; i < 20; ++i) idle.emplace_back(agent_.port(), cvtest::RawClient::Mode::Plain, nullptr, "127.0.1.1");
  cvtest::RawClient busy(agent_.port(), cvtest::RawClient::Mode::Tls, nullptr, "127.0.1.1");
  EXPECT_FALSE(busy.connected()) << "the address has its share of connections that have not logged in";
}

// With the descriptors exhausted, accept fails: the agent waits before it
// tries again (a bounded number of log lines, not one per attempt) and
// closes the oldest connection that has not logged in, so a login gets in.
TEST_F(Hostile, OutOfDescriptorsTheAgentBacksOffAndMakesRoom) {
  agent_.openFileLimit = 64;
  agent_.serverExtra = "max_unauthenticated = 1000\nmax_unauthenticated_per_address = 1000\n";
  ASSERT_TRUE(agent_.Start()) << agent_.Log();
  EXPECT_THAT(agent_.Log(), HasSubstr("open-file limit 64"));
  std::vector<cvtest::RawClient> idle;
  for (int i = 0; i < 120; ++i) idle.emplace_back(agent_.port(), cvtest::RawClient::Mode::Plain, nullptr, "127.0.2.1");
  std::this_thread::sleep_for(1s);  // the agent meets EMFILE meanwhile
  EXPECT_EQ(LibraryLogin(), kCvOk) << agent_.Log();
  const std::string log = agent_.Log();
  EXPECT_THAT(log, HasSubstr("accept: Too many open files; trying again in 10 ms, 16 connections that had not "
                             "logged in closed"));
  EXPECT_LE(Count(log, "accept: "), 40) << "one line per failed accept means a spinning loop";
}

// Guessing: wrong passwords across reconnects lock the name out for a
// while; during the lockout the right password is refused from strangers'
// addresses, but the operator's own recent address still gets in; after it
// the name logs in again.
TEST_F(Hostile, GuessedPasswordsLockTheNameOutButNotItsOwnAddress) {
  agent_.extra = "[logins]\nfree_failures = 1\nfirst_delay_ms = 50\nmax_delay_ms = 100\nuser_lockout_after = 5\n"
                 "user_lockout_ms = 2500\naddress_lockout_after = 1000\n";
  ASSERT_TRUE(agent_.Start()) << agent_.Log();
  {
    cvtest::RawClient own(agent_.port(), cvtest::RawClient::Mode::Tls, nullptr, "127.0.3.1");
    ASSERT_EQ(own.Login("ADMIN", "admin-secret"), std::optional<std::uint32_t>(0u));
  }
  for (int i = 0; i < 5; ++i) {
    cvtest::RawClient guesser(agent_.port(), cvtest::RawClient::Mode::Tls, nullptr, "127.0.3.9");
    EXPECT_EQ(guesser.Login("ADMIN", "guess-" + std::to_string(i)), std::optional<std::uint32_t>(kCvErrLoginRefused));
  }
  EXPECT_THAT(agent_.Log(), HasSubstr("user 'ADMIN' locked out for 2 s after 5 failed logins"));
  cvtest::RawClient right(agent_.port(), cvtest::RawClient::Mode::Tls, nullptr, "127.0.3.9");
  EXPECT_EQ(right.Login("ADMIN", "admin-secret"), std::optional<std::uint32_t>(kCvErrLoginRefused))
      << "the right password during the lockout, from the guesser's address";
  cvtest::RawClient stranger(agent_.port(), cvtest::RawClient::Mode::Tls, nullptr, "127.0.3.7");
  EXPECT_EQ(stranger.Login("ADMIN", "admin-secret"), std::optional<std::uint32_t>(kCvErrLoginRefused));
  EXPECT_THAT(agent_.Log(), HasSubstr("refused: locked out for another"));
  cvtest::RawClient own(agent_.port(), cvtest::RawClient::Mode::Tls, nullptr, "127.0.3.1");
  EXPECT_EQ(own.Login("ADMIN", "admin-secret"), std::optional<std::uint32_t>(0u)) << "the operator's own address";
  cvtest::RawClient other(agent_.port(), cvtest::RawClient::Mode::Tls, nullptr, "127.0.3.7");
  EXPECT_EQ(other.Login("GUEST", "guest-secret"), std::optional<std::uint32_t>(0u)) << "other names are not locked";

  std::optional<std::uint32_t> code;
  for (int i = 0; i < 40 && code != std::optional<std::uint32_t>(0u); ++i) {
    std::this_thread::sleep_for(250ms);
    cvtest::RawClient later(agent_.port(), cvtest::RawClient::Mode::Tls, nullptr, "127.0.3.7");
    code = later.Login("ADMIN", "admin-secret");
  }
  EXPECT_EQ(code, std::optional<std::uint32_t>(0u)) << "the lockout ends";
}

// Names with line breaks and terminal escapes are written escaped: no
// forged line, no escape sequence in the log.
TEST_F(Hostile, ClientTextCannotForgeLogLines) {
  ASSERT_TRUE(agent_.Start()) << agent_.Log();
  const std::string forged = "X\n[2026-01-01 00:00:00.000] [cvserverd] [info] connection 9: 'ADMIN' logged in\x1b[2K\r";
  cvtest::RawClient c(agent_.port());
  EXPECT_EQ(c.Login(forged, "whatever"), std::optional<std::uint32_t>(kCvErrLoginRefused));
  cvtest::RawClient m(agent_.port());
  ASSERT_TRUE(m.SendBytes(Hello(1, cvwire::kProtocolVersion, "PLAIN\n[info] fake\x9b" "2J")));
  EXPECT_EQ(ReplyCode(m.Receive()), cvwire::kCodeUnsupported);
  const std::string log = agent_.Log();
  EXPECT_THAT(log, Not(HasSubstr("\n[2026-01-01")));
  EXPECT_THAT(log, Not(HasSubstr("\x1b[2K")));
  EXPECT_THAT(log, Not(HasSubstr("\n[info] fake")));
  EXPECT_THAT(log, HasSubstr("'X\\n[2026-01-01"));
  EXPECT_THAT(log, HasSubstr("\\x1b[2K\\r' from 127.0.0.1 refused"));
  EXPECT_THAT(log, HasSubstr("PLAIN\\n[info] fake\\x9b2J"));
}

// An unknown name's challenge carries one of the configured users'
// iteration counts, so the count tells nothing.
TEST_F(Hostile, DecoyChallengesUseTheConfiguredIterationCounts) {
  agent_.users.clear();
  agent_.extra = "[[user]]\nname = \"ADMIN\"\noperator = true\npassword = \"" +
                 cvwire::scram::FormatVerifier(cvwire::scram::MakeVerifier("a", cvwire::kMinIterations)) +
                 "\"\n[[user]]\nname = \"GUEST\"\npassword = \"" +
                 cvwire::scram::FormatVerifier(cvwire::scram::MakeVerifier("g", cvwire::kMinIterations + 1000)) + "\"\n";
  ASSERT_TRUE(agent_.Start()) << agent_.Log();
  auto iterations = [&](const std::string& user) -> std::uint32_t {
    cvtest::RawClient c(agent_.port());
    const std::string first = cvwire::scram::FormatClientFirst(user, cvwire::scram::MakeNonce());
    cvwire::Writer w(cvwire::Type(cvwire::Msg::Hello), 1);
    w.U32(cvwire::kProtocolVersion).Str("t").Str(cvwire::kMechScram)
        .Blob(std::vector<std::uint8_t>(first.begin(), first.end()));
    if (!c.SendBytes(w.Frame())) return 0;
    const auto reply = c.Receive();
    if (!reply) return 0;
    cvwire::Reader r(*reply);
    if (r.U32() != 0) return 0;
    r.U32();
    r.U8();
    const auto blob = r.Blob();
    const auto server = cvwire::scram::ParseServerFirst(std::string(blob.begin(), blob.end()));
    return server ? server->iterations : 0;
  };
  EXPECT_EQ(iterations("ADMIN"), cvwire::kMinIterations);
  EXPECT_EQ(iterations("GUEST"), cvwire::kMinIterations + 1000);
  std::set<std::uint32_t> seen;
  for (int i = 0; i < 24; ++i) {
    const std::uint32_t n = iterations("NOBODY" + std::to_string(i));
    EXPECT_TRUE(n == cvwire::kMinIterations || n == cvwire::kMinIterations + 1000) << n;
    seen.insert(n);
  }
  EXPECT_EQ(seen.size(), 2u) << "both counts among 24 unknown names";
}

}  // namespace
