// The agent's bounds on what hostile clients cost, as plain classes: the
// failed-login throttle, repeated log lines, and peer text in the log.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "corvane/server/config.h"
#include "corvane/server/connections.h"
#include "corvane/server/lograte.h"
#include "corvane/server/throttle.h"
#include "corvane/wire/logtext.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using cvserver::LoginThrottle;
using Ms = std::chrono::milliseconds;

TEST(LoginThrottle, DelaysGrowThenTheNameIsLockedOutForAWhile) {
  cvserver::ThrottleConfig config;  // 3 free, 250 ms doubling to 8 s, name locked after 10 for 60 s
  LoginThrottle t(config);
  auto now = LoginThrottle::Clock::time_point{} + 1h;
  const Ms expected[] = {0ms, 0ms, 0ms, 250ms, 500ms, 1000ms, 2000ms, 4000ms, 8000ms};
  for (const Ms want : expected) {
    EXPECT_EQ(t.LockedFor("ADMIN", "10.0.0.9", now), 0ms);
    const auto r = t.Failed("ADMIN", "10.0.0.9", now);
    EXPECT_EQ(r.delay, want);
    EXPECT_FALSE(r.userLocked);
    now += 1s;
  }
  const auto tenth = t.Failed("ADMIN", "10.0.0.9", now);
  EXPECT_TRUE(tenth.userLocked);
  EXPECT_EQ(t.LockedFor("ADMIN", "10.0.0.9", now), 60000ms);
  EXPECT_EQ(t.LockedFor("ADMIN", "10.0.0.50", now + 30s), 30000ms) << "from any address";
  EXPECT_EQ(t.LockedFor("GUEST", "10.0.0.50", now), 0ms) << "other names are not";
  EXPECT_EQ(t.LockedFor("ADMIN", "10.0.0.50", now + 60s), 0ms) << "for a while only";
}

TEST(LoginThrottle, TheNamesOwnAddressIsNotLockedOutByStrangers) {
  cvserver::ThrottleConfig config;
  config.userLockoutAfter = 3;
  LoginThrottle t(config);
  auto now = LoginThrottle::Clock::time_point{} + 1h;
  t.Succeeded("ADMIN", "10.0.0.1", now);
  for (int i = 0; i < 3; ++i) t.Failed("ADMIN", "192.0.2.7", now);
  EXPECT_GT(t.LockedFor("ADMIN", "192.0.2.7", now), 0ms);
  EXPECT_GT(t.LockedFor("ADMIN", "192.0.2.8", now), 0ms);
  EXPECT_EQ(t.LockedFor("ADMIN", "10.0.0.1", now), 0ms) << "where the operator logged in";
}

TEST(LoginThrottle, AnAddressGuessingManyNamesIsLockedOut) {
  cvserver::ThrottleConfig config;
  config.addressLockoutAfter = 20;
  LoginThrottle t(config);
  auto now = LoginThrottle::Clock::time_point{} + 1h;
  LoginThrottle::Refusal last;
  for (int i = 0; i < 20; ++i) last = t.Failed("USER" + std::to_string(i), "192.0.2.7", now);
  EXPECT_TRUE(last.addressLocked);
  EXPECT_EQ(t.LockedFor("NOBODY", "192.0.2.7", now), config.addressLockout);
  EXPECT_EQ(t.LockedFor("USER1", "192.0.2.8", now), 0ms) << "the names were guessed once each";
  EXPECT_EQ(last.delay, config.maxDelay) << "the address's count sets the delay";
}

TEST(LoginThrottle, CountsStartOverAfterQuietOrSuccessAndTheTableIsBounded) {
  cvserver::ThrottleConfig config;
  config.maxTracked = 50;
  LoginThrottle t(config);
  auto now = LoginThrottle::Clock::time_point{} + 1h;
  for (int i = 0; i < 5; ++i) t.Failed("ADMIN", "10.0.0.9", now);
  EXPECT_GT(t.Failed("ADMIN", "10.0.0.9", now).delay, 0ms);
  t.Succeeded("ADMIN", "10.0.0.9", now);
  EXPECT_EQ(t.Failed("ADMIN", "10.0.0.9", now).delay, 0ms) << "after a success";
  for (int i = 0; i < 5; ++i) t.Failed("ADMIN", "10.0.0.9", now);
  EXPECT_EQ(t.Failed("ADMIN", "10.0.0.9", now + config.forgetAfter + 1s).delay, 0ms) << "after a quiet while";
  // Thousands of names and addresses: the oldest are forgotten, the
  // newest are still counted.
  for (int i = 0; i < 5000; ++i) t.Failed("N" + std::to_string(i), "10.1." + std::to_string(i), now + Ms(i));
  for (int i = 0; i < 3; ++i) t.Failed("N4999", "10.1.4999", now + 5s);
  EXPECT_GT(t.Failed("N4999", "10.1.4999", now + 5s).delay, 0ms);
}

TEST(LogRate, ABurstPerWindowThenTheLeftOutAreCounted) {
  cvserver::LogRate rate(3, 10s);
  auto now = cvserver::LogRate::Clock::time_point{} + 1h;
  std::uint64_t skipped = 0;
  int allowed = 0;
  for (int i = 0; i < 10; ++i) allowed += rate.Allow("hello", skipped, now + Ms(i)) ? 1 : 0;
  EXPECT_EQ(allowed, 3);
  EXPECT_TRUE(rate.Allow("other", skipped, now)) << "kinds are counted apart";
  EXPECT_TRUE(rate.Allow("hello", skipped, now + 10s));
  EXPECT_EQ(skipped, 7u);
  EXPECT_TRUE(rate.Allow("hello", skipped, now + 10s));
  EXPECT_EQ(skipped, 0u);
}

TEST(LogText, ControlsEscapesAndBrokenUtf8AreWrittenAsEscapes) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"ADMIN", "ADMIN"},
      {"a\nb\rc\td", "a\\nb\\rc\\td"},
      {"x\x1b[2Ky", "x\\x1b[2Ky"},
      {"back\\slash", "back\\\\slash"},
      {std::string("nul\0in", 6), "nul\\x00in"},
      {"del\x7f", "del\\x7f"},
      {"M\xc3\xbcller \xe6\x97\xa5", "M\xc3\xbcller \xe6\x97\xa5"},
      {"c1 \xc2\x9b" "2J", "c1 \\u009b2J"},
      {"bad \xff\xfe", "bad \\xff\\xfe"},
      {"overlong \xc0\xaf", "overlong \\xc0\\xaf"},
      {"surrogate \xed\xa0\x80", "surrogate \\xed\\xa0\\x80"},
      {"cut \xe6\x97", "cut \\xe6\\x97"},
  };
  for (const auto& c : cases) EXPECT_EQ(cvwire::LogText(c.in), c.out) << c.in;
  EXPECT_EQ(cvwire::LogText(std::string(300, 'A'), 10), "AAAAAAAAAA...");
}

TEST(ConnectionTable, TheLastSlotsAreKeptForOperators) {
  cvserver::ConnectionTable table(3, 4, 1);
  cvserver::PeerAddress peer;
  EXPECT_EQ(table.Take("U1", 1, false, peer), 1u);
  EXPECT_EQ(table.Take("U2", 2, false, peer), 2u);
  EXPECT_EQ(table.Take("U3", 3, false, peer), 0u) << "the reserve";
  EXPECT_EQ(table.Take("OP", 4, true, peer), 3u);
  EXPECT_EQ(table.Take("OP2", 5, true, peer), 0u) << "full";
  table.Free(1);
  EXPECT_EQ(table.Take("U3", 3, false, peer), 1u);
}

TEST(ServerConfig, TheVolumeIsAbsoluteAndTheLimitsAreChecked) {
  testsupport::TempDir dir;
  auto load = [&](const std::string& extra, std::string& error) {
    std::ofstream(dir.path() / "a.toml", std::ios::trunc)
        << "[server]\nname = \"S\"\nstate = \"" << (dir.path() / "s.db").string() << "\"\n" << extra;
    return cvserver::LoadConfig((dir.path() / "a.toml").string(), error);
  };
  std::string error;
  auto c = load("volume = \"vol/./SYS/\"\n", error);
  ASSERT_TRUE(c) << error;
  EXPECT_EQ(c->volume, (std::filesystem::current_path() / "vol/SYS").string());
  EXPECT_EQ(c->operatorReserve, 1u);
  EXPECT_EQ(c->loginTimeoutMs, 30000u);
  c = load("capacity = 1\n", error);
  ASSERT_TRUE(c) << error;
  EXPECT_EQ(c->operatorReserve, 0u) << "a server of one slot keeps none";
  c = load("login_timeout_ms = 2000\nmax_unauthenticated = 40\nmax_unauthenticated_per_address = 4\n"
           "operator_reserve = 3\n[logins]\nuser_lockout_ms = 5000\nfree_failures = 0\n",
           error);
  ASSERT_TRUE(c) << error;
  EXPECT_EQ(c->maxUnauthenticatedPerAddress, 4u);
  EXPECT_EQ(c->operatorReserve, 3u);
  EXPECT_EQ(c->throttle.userLockout, 5000ms);
  EXPECT_EQ(c->throttle.freeFailures, 0u);
  for (const char* bad : {"operator_reserve = 250\n", "max_unauthenticated_per_address = 600\n",
                          "login_timeout_ms = 5\n", "[logins]\nmax_delay_ms = 10\nfirst_delay_ms = 20\n",
                          "[logins]\nuser_lockout_after = 0\n"}) {
    EXPECT_FALSE(load(bad, error)) << bad;
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
