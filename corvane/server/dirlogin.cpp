// Directory logins: the agent checks a directory user with an LDAP bind as
// that user and takes operator rights from a group of its directory. The
// directory work runs on the module worker (it may wait for the directory up
// to [directory] timeout_ms); the connection slot is taken afterwards on the
// event loop.
//
// The password crosses the client connection in this message, so it belongs
// inside the encrypted session only.
#include <fcntl.h>
#include <spdlog/spdlog.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <memory>

#include "corvane/client/cvdefs.h"
#include "corvane/client/cverrors.h"
#include "corvane/directory/ldapdir.h"
#include "corvane/server/agent.h"

namespace cvserver {
namespace {

using cvwire::Msg;
using cvwire::Reader;
using cvwire::Writer;

constexpr std::size_t kMaxDottedName = 514;
constexpr std::size_t kMaxPassword = 1024;
constexpr int kMaxRefusedLogins = 3;

std::vector<std::uint8_t> Refuse(std::uint32_t requestId, std::uint32_t code) {
  Writer w(cvwire::ReplyType(Msg::DirectoryLogin), requestId);
  w.U32(code);
  return w.Frame();
}

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
};

// Checks user/password against the directory; runs on the module worker.
Verdict Check(const DirectoryConfig& d, const std::string& user, const std::string& password) {
  Verdict v;
  std::unique_ptr<cvdir::Session> reader, binder;
  const int timeout = static_cast<int>(d.timeoutMs);
  if (std::uint32_t rc = cvdir::Session::Open(d.uri, timeout, timeout, reader)) {
    v.code = rc;
    return v;
  }
  if (!d.bindDn.empty()) {
    std::string secret;
    if (!ReadSecret(d.bindPasswordFile, secret)) {
      spdlog::error("[directory] bind_password_file cannot be read");
      v.code = kCvErrDirPrimaryConnection;
      return v;
    }
    if (std::uint32_t rc = reader->Bind(d.bindDn, secret)) {
      spdlog::error("[directory] the agent's own bind failed ({})", rc);
      v.code = kCvErrDirPrimaryConnection;
      return v;
    }
  }
  std::string dn;
  std::vector<cvdir::Attribute> attrs;
  std::uint32_t rc = reader->Resolve(d.base, user, dn);
  if (rc == kCvOk) rc = reader->Read(dn, {"objectClass", "uidNumber"}, attrs);
  if (cvdir::Session::Lost(rc)) {
    v.code = rc;
    return v;
  }
  if (rc != kCvOk) return v;  // no such user: refused like a wrong password
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
  if (!posix || v.uid == 0) return v;
  if ((rc = cvdir::Session::Open(d.uri, timeout, timeout, binder))) {
    v.code = rc;
    return v;
  }
  if ((rc = binder->Bind(dn, password))) {
    v.code = cvdir::Session::Lost(rc) ? rc : kCvErrLoginRefused;
    return v;
  }
  if (!d.operators.empty()) {
    std::string group;
    bool member = false;
    if (reader->Resolve(d.base, d.operators, group) == kCvOk && reader->IsMember(group, dn, member) == kCvOk)
      v.isOperator = member;
  }
  v.name = cvdir::LeafOf(dn);
  for (auto& c : v.name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  v.code = kCvOk;
  return v;
}

}  // namespace

Outcome Agent::HandleDirectoryLogin(SessionState& s, Reader& r) {
  const std::uint32_t version = r.U32();
  const std::string tree = r.Str();
  const std::string user = r.Str();
  const std::string password = r.Str();
  r.Str();  // workstation, for the log only
  if (!r.Done() || user.size() > kMaxDottedName || password.size() > kMaxPassword || tree.size() > 32)
    return std::nullopt;
  const std::uint32_t requestId = r.requestId();
  if (version != cvwire::kProtocolVersion) return Refuse(requestId, cvwire::kCodeUnsupported);
  const DirectoryConfig& d = config_.directory;
  if (!d.enabled || !EqualNoCase(tree, d.tree) || user.empty() || password.empty()) {
    spdlog::warn("directory login of '{}' in tree '{}' refused", user, tree);
    if (++s.refusedLogins >= kMaxRefusedLogins) s.closeAfterReply = true;
    return Refuse(requestId, kCvErrLoginRefused);
  }
  auto verdict = std::make_shared<Verdict>();
  auto job = [verdict, &d, user, password]() {
    *verdict = Check(d, user, password);
    return std::vector<std::uint8_t>{1};
  };
  auto then = [this, verdict, requestId, user](SessionState& st, std::vector<std::uint8_t>) {
    const DirectoryConfig& dc = config_.directory;
    if (verdict->code != kCvOk) {
      spdlog::warn("directory login of '{}' refused ({})", user, verdict->code);
      if (++st.refusedLogins >= kMaxRefusedLogins) st.closeAfterReply = true;
      return Refuse(requestId, verdict->code);
    }
    const std::uint32_t slot = table_.Take(verdict->name, verdict->uid, verdict->isOperator, st.peer);
    if (slot == 0) {
      st.closeAfterReply = true;
      return Refuse(requestId, kCvErrNoFreeSlot);
    }
    st.slot = slot;
    st.userName = verdict->name;
    st.phase = SessionState::Phase::LoggedIn;
    if (auto self = st.self.lock()) Register(slot, self);
    spdlog::info("connection {}: directory user '{}' logged in", slot, user);
    Writer w(cvwire::ReplyType(Msg::DirectoryLogin), requestId);
    w.U32(kCvOk).U16(static_cast<std::uint16_t>(slot)).U32(verdict->uid).U8(verdict->isOperator ? 1 : 0);
    w.Str(dc.tree).Str(dc.server);
    return w.Frame();
  };
  return Outcome::Later(std::move(job), std::move(then));
}

}  // namespace cvserver
