// Failed logins cost the guesser time: failures are counted per user name
// and per client address across connections; past a few free ones each
// refusal is held back for a delay that doubles, and past a threshold the
// name or the address is locked out for a while.
//
// A name's lockout is short, and it does not apply to an address the name
// logged in from recently, so that a stranger guessing an operator's
// password cannot keep the operator out of the operator's own workstation.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <utility>

namespace cvserver {

struct ThrottleConfig {
  std::uint32_t freeFailures = 3;                       // failures before refusals are held back
  std::chrono::milliseconds firstDelay{250};            // the first held-back refusal
  std::chrono::milliseconds maxDelay{8000};             // the delay doubles up to this
  std::uint32_t userLockoutAfter = 10;                  // failures of one name
  std::chrono::milliseconds userLockout{60000};
  std::uint32_t addressLockoutAfter = 30;               // failures from one address
  std::chrono::milliseconds addressLockout{900000};
  std::chrono::milliseconds forgetAfter{900000};        // a count without failures for this long starts over
  std::chrono::milliseconds trustedFor{86400000};       // a name's own address after a success
  std::size_t maxTracked = 20000;                       // names, addresses and trusted pairs, each
};

class LoginThrottle {
 public:
  using Clock = std::chrono::steady_clock;
  using Ms = std::chrono::milliseconds;
  explicit LoginThrottle(ThrottleConfig config = {}) : config_(config) {}

  // Before an attempt: zero when it may go on, else how long the name or the
  // address stays locked out.
  Ms LockedFor(const std::string& user, const std::string& address, Clock::time_point now = Clock::now());

  struct Refusal {
    Ms delay{0};               // hold the refusal back this long
    bool userLocked = false;   // this failure locked the name out
    bool addressLocked = false;
  };
  Refusal Failed(const std::string& user, const std::string& address, Clock::time_point now = Clock::now());
  // A login that succeeded: the name's and the address's counts start over
  // and the address is the name's own for a while.
  void Succeeded(const std::string& user, const std::string& address, Clock::time_point now = Clock::now());

  const ThrottleConfig& config() const { return config_; }

 private:
  struct Record {
    std::uint32_t failures = 0;
    Clock::time_point last{};
    Clock::time_point lockedUntil{};
  };
  using Table = std::map<std::string, Record>;
  Record& Touch(Table& table, const std::string& key, Clock::time_point now);
  bool Trusted(const std::string& user, const std::string& address, Clock::time_point now) const;

  ThrottleConfig config_;
  Table users_;
  Table addresses_;
  std::map<std::pair<std::string, std::string>, Clock::time_point> trusted_;  // until
};

}  // namespace cvserver
