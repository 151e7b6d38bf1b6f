// Directory logins: the agent checks a directory user with an LDAP bind as
// that user and takes operator rights from a group of its directory. The
// directory work runs on the directory workers (it may wait for the
// directory up to [directory] timeout_ms per server, and goes on to the next
// replica when one is down or silent), never on the module worker; the
// connection slot is taken afterwards on the event loop. The user's password
// goes to the directory only over TLS, or to a directory on this machine.
//
// The password crosses the client connection in the login's Hello, which
// only exists inside the connection's TLS session: Session reads no frame
// before its handshake is done.
#include <fcntl.h>
#include <spdlog/spdlog.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <memory>

#include "corvane/wire/cvdefs.h"
#include "corvane/wire/cverrors.h"
#include "corvane/directory/ldapdir.h"
#include "corvane/server/agent.h"
#include "corvane/wire/dirmech.h"
#include "corvane/wire/logtext.h"

namespace cvserver {
namespace {

using cvwire::Msg;
using cvwire::Reader;
using cvwire::Writer;

constexpr std::size_t kMaxPassword = cvwire::dirmech::kMaxPassword;

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
         });
}

// The read identity's password: a regular file of mode 0600.
bool ReadSecret(const std::string& path, std::string& out) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  struct stat st {};
  char buf[kMaxPassword + 1];
  ssize_t n = -1;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) == 0) n = ::read(fd, buf, sizeof buf);
  ::close(fd);
  if (n <= 0 || static_cast<std::size_t>(n) > kMaxPassword) return false;
  out.assign(buf, static_cast<std::size_t>(n));
  out.resize(std::min(out.size(), out.find_first_of("\r\n")));
  return !out.empty();
}

struct Verdict {
  std::uint32_t code = kCvErrLoginRefused;
  std::uint32_t uid = 0;
  bool isOperator = false;
  std::string name;  // the user's own name, for the connection table
  // The password was right but the directory's policy says it must be
  // changed first ("must be changed", "has expired"); empty otherwise.
  std::string policy;
};

// A bind that fails the way a wrong password does, on a connection of its
// own like a real user's: a name the directory does not know (or that is
// no user) costs what a wrong password costs.
void DecoyBind(const DirectoryConfig& d, cvdir::Replicas& replicas, const std::string& password) {
  std::unique_ptr<cvdir::Session> binder;
  std::string error;
  cvdir::Session::PasswordState state = cvdir::Session::PasswordState::Usable;
  replicas.Run(binder, [&](cvdir::Session& s) {
    return s.BindWithPolicy("cn=no such user,ou=decoy," + d.base, password, state);
  }, &error);
}

// Checks user/password against the directory; runs on a directory worker.
Verdict Check(const DirectoryConfig& d, cvdir::Replicas& replicas, const std::string& user,
              const std::string& password) {
  Verdict v;
  std::string secret;
  if (!d.bindDn.empty() && !ReadSecret(d.bindPasswordFile, secret)) {
    spdlog::error("[directory] bind_password_file cannot be read");
    v.code = kCvErrDirPrimaryConnection;
    return v;
  }
  std::string error;
  // The agent's own identity binds every reader session, on whichever
  // replica it lands.
  auto prepare = [&](cvdir::Session& s) -> std::uint32_t {
    if (d.bindDn.empty()) return kCvOk;
    std::string why;
    const std::uint32_t rc = s.Bind(d.bindDn, secret, &why);
    if (rc && !cvdir::Session::Lost(rc))
      spdlog::error("[directory] the agent's own bind at {} failed ({}){}", s.uri(), rc, why.empty() ? "" : ": " + why);
    return rc;
  };
  std::unique_ptr<cvdir::Session> reader, binder;
  std::string dn;
  std::vector<cvdir::Attribute> attrs;
  std::uint32_t rc = replicas.Run(
      reader, prepare,
      [&](cvdir::Session& s) {
        std::uint32_t r = s.Resolve(d.base, user, dn);
        if (r == kCvOk) r = s.Read(dn, {"objectClass", "uidNumber"}, attrs);
        return r;
      },
      &error);
  if (cvdir::Session::Lost(rc)) {
    spdlog::error("[directory] no directory server answered: {}", error);
  } else if (rc && !reader && !error.empty()) {
    spdlog::error("[directory] {}", error);
  }
  if (cvdir::Session::Lost(rc) || (rc && !reader)) {
    v.code = kCvErrDirPrimaryConnection;
    return v;
  }
  if (rc != kCvOk) {
    DecoyBind(d, replicas, password);  // no such user: refused like a wrong password, in as much time
    return v;
  }
  bool posix = false;
  for (const auto& a : attrs) {
    if (EqualNoCase(a.name, "objectClass"))
      posix = std::any_of(a.values.begin(), a.values.end(), [](const auto& c) { return EqualNoCase(c, "posixAccount"); });
    if (EqualNoCase(a.name, "uidNumber") && !a.values.empty()) {
      const std::string& t = a.values.front();
      auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), v.uid);
      if (ec != std::errc() || p != t.data() + t.size()) v.uid = 0;
    }
  }
  if (!posix || v.uid == 0) {
    DecoyBind(d, replicas, password);
    return v;
  }
  std::string why;
  cvdir::Session::PasswordState state = cvdir::Session::PasswordState::Usable;
  rc = replicas.Run(binder, [&](cvdir::Session& s) { return s.BindWithPolicy(dn, password, state, &why); }, &error);
  if (state == cvdir::Session::PasswordState::Expired) v.policy = "the password has expired";
  if (state == cvdir::Session::PasswordState::MustChange) v.policy = "the password must be changed first";
  if (!v.policy.empty()) {
    v.code = kCvErrLoginRefused;
    return v;
  }
  if (rc) {
    if (!why.empty()) spdlog::error("[directory] login of '{}' refused: {}", cvwire::LogText(user), why);
    if (cvdir::Session::Lost(rc)) spdlog::error("[directory] no directory server answered: {}", error);
    v.code = cvdir::Session::Lost(rc) ? rc : kCvErrLoginRefused;
    return v;
  }
  if (!d.operators.empty()) {
    std::string group;
    bool member = false;
    if (reader && reader->Resolve(d.base, d.operators, group) == kCvOk && reader->IsMember(group, dn, member) == kCvOk)
      v.isOperator = member;
  }
  v.name = cvdir::LeafOf(dn);
  for (auto& c : v.name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  v.code = kCvOk;
  return v;
}

}  // namespace

// The directory mechanism: the Hello carries the tree, the user's dotted
// name and the password; the check runs on the module worker and the login
// ends on the event loop in CompleteLogin or RefuseLogin.
Outcome Agent::DirectoryStart(SessionState& s, Reader& r, const std::vector<std::uint8_t>& data) {
  auto hello = cvwire::dirmech::ParseHello(data);
  if (!hello) return std::nullopt;
  s.userName = hello->user;
  s.user.reset();
  for (auto& c : s.userName) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const DirectoryConfig& d = config_.directory;
  if (!d.enabled || !EqualNoCase(hello->tree, d.tree) || hello->user.empty() || hello->password.empty()) {
    logRate_.Log(spdlog::level::warn, "directory-refused", "directory login of '{}' in tree '{}' refused",
                 cvwire::LogText(hello->user), cvwire::LogText(hello->tree));
    return RefuseLogin(s, r, kCvErrLoginRefused);
  }
  if (LockedOut(s, s.userName)) return RefuseLogin(s, r, kCvErrLoginRefused);
  const std::uint16_t type = r.type();
  const std::uint32_t requestId = r.requestId();
  // The replicas as configured now; the one that answered last is kept
  // while the configuration names the same servers.
  const cvdir::Options options{static_cast<int>(d.timeoutMs), static_cast<int>(d.timeoutMs), d.startTls, d.caFile};
  if (!directoryReplicas_ || directoryReplicas_->uris() != d.uris || directoryReplicas_->options().startTls != d.startTls ||
      directoryReplicas_->options().caFile != d.caFile || directoryReplicas_->options().requestMs != options.requestMs) {
    directoryReplicas_ = std::make_shared<cvdir::Replicas>(d.uris, options);
  }
  auto verdict = std::make_shared<Verdict>();
  // The settings go along as a copy: a reload may replace them while the
  // check runs.
  auto job = [verdict, d, replicas = directoryReplicas_, user = hello->user,
              password = std::move(hello->password)]() {
    *verdict = Check(d, *replicas, user, password);
    return std::vector<std::uint8_t>{1};
  };
  auto busy = [this, type, requestId, user = hello->user](SessionState& st, std::vector<std::uint8_t>) {
    spdlog::warn("directory login of '{}' refused: the directory workers are all busy", user);
    return RefuseLogin(st, type, requestId, kCvErrDirPrimaryConnection);
  };
  auto then = [this, verdict, type, requestId, user = hello->user](SessionState& st, std::vector<std::uint8_t>) {
    if (!verdict->policy.empty()) {
      // The password was right: no count against the name or the address.
      spdlog::warn("directory login of '{}' refused: {}", cvwire::LogText(user), verdict->policy);
      return RefuseLogin(st, type, requestId, verdict->code);
    }
    if (verdict->code != kCvOk) {
      logRate_.Log(spdlog::level::warn, "directory-refused", "directory login of '{}' refused ({})",
                   cvwire::LogText(user), verdict->code);
      if (verdict->code == kCvErrLoginRefused) Throttle(st);
      return RefuseLogin(st, type, requestId, verdict->code);
    }
    const DirectoryConfig& dc = config_.directory;
    const auto welcome = cvwire::dirmech::Encode(cvwire::dirmech::Welcome{dc.tree, dc.server});
    spdlog::info("directory user '{}' proved by the directory", cvwire::LogText(user));
    return CompleteLogin(st, type, requestId, {verdict->name, verdict->uid, verdict->isOperator},
                         std::string_view(reinterpret_cast<const char*>(welcome.data()), welcome.size()));
  };
  return Outcome::Directory(std::move(job), std::move(then), std::move(busy));
}

}  // namespace cvserver
