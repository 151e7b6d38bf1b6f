#include "corvane/server/throttle.h"

#include <algorithm>

namespace cvserver {
namespace {

// Drops the entries idle for longer than idle; when the table is still full,
// the one idle longest.
template <typename Map, typename Last>
void MakeRoom(Map& table, std::size_t max, Last last, LoginThrottle::Clock::time_point cutoff) {
  if (table.size() < max) return;
  std::erase_if(table, [&](const auto& e) { return last(e.second) < cutoff; });
  if (table.size() < max) return;
  auto oldest = std::min_element(table.begin(), table.end(),
                                 [&](const auto& a, const auto& b) { return last(a.second) < last(b.second); });
  table.erase(oldest);
}

}  // namespace

LoginThrottle::Record& LoginThrottle::Touch(Table& table, const std::string& key, Clock::time_point now) {
  auto it = table.find(key);
  if (it == table.end()) {
    MakeRoom(table, config_.maxTracked, [](const Record& r) { return std::max(r.last, r.lockedUntil); },
             now - config_.forgetAfter);
    it = table.emplace(key, Record{}).first;
  }
  Record& r = it->second;
  if (r.failures > 0 && now - r.last > config_.forgetAfter && now >= r.lockedUntil) r = Record{};
  return r;
}

bool LoginThrottle::Trusted(const std::string& user, const std::string& address, Clock::time_point now) const {
  const auto it = trusted_.find({user, address});
  return it != trusted_.end() && now < it->second;
}

LoginThrottle::Ms LoginThrottle::LockedFor(const std::string& user, const std::string& address,
                                           Clock::time_point now) {
  Ms left{0};
  if (const auto a = addresses_.find(address); a != addresses_.end() && now < a->second.lockedUntil)
    left = std::chrono::ceil<Ms>(a->second.lockedUntil - now);
  if (const auto u = users_.find(user); u != users_.end() && now < u->second.lockedUntil && !Trusted(user, address, now))
    left = std::max(left, std::chrono::ceil<Ms>(u->second.lockedUntil - now));
  return left;
}

LoginThrottle::Refusal LoginThrottle::Failed(const std::string& user, const std::string& address,
                                             Clock::time_point now) {
  Refusal out;
  Record& u = Touch(users_, user, now);
  Record& a = Touch(addresses_, address, now);
  ++u.failures;
  ++a.failures;
  u.last = a.last = now;
  const std::uint32_t worst = std::max(u.failures, a.failures);
  if (worst > config_.freeFailures) {
    const std::uint32_t doublings = std::min<std::uint32_t>(worst - config_.freeFailures - 1, 20);
    out.delay = std::min<Ms>(config_.firstDelay * (std::int64_t{1} << doublings), config_.maxDelay);
  }
  if (u.failures >= config_.userLockoutAfter && now >= u.lockedUntil) {
    u.lockedUntil = now + config_.userLockout;
    u.failures = 0;  // after the lockout the name starts over: a lockout per threshold, not per failure
    out.userLocked = true;
  }
  if (a.failures >= config_.addressLockoutAfter && now >= a.lockedUntil) {
    a.lockedUntil = now + config_.addressLockout;
    a.failures = 0;
    out.addressLocked = true;
  }
  return out;
}

void LoginThrottle::Succeeded(const std::string& user, const std::string& address, Clock::time_point now) {
  if (auto it = users_.find(user); it != users_.end() && now >= it->second.lockedUntil) users_.erase(it);
  if (auto it = addresses_.find(address); it != addresses_.end() && now >= it->second.lockedUntil)
    addresses_.erase(it);
  auto key = std::make_pair(user, address);
  if (trusted_.find(key) == trusted_.end()) {
    MakeRoom(trusted_, config_.maxTracked, [](Clock::time_point until) { return until; }, now);
  }
  trusted_[std::move(key)] = now + config_.trustedFor;
}

}  // namespace cvserver
