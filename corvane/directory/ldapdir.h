// Directory helpers over OpenLDAP's client library, shared by the client
// library, the agent and the tests: one LDAP session with bounded waits,
// dotted names (leaf first, relative to the tree's base entry) resolved to
// distinguished names and back, the object-class table, paged listings, and
// the mapping of LDAP results to client codes.
//
// LDAP result to client code (cverrors.h):
//   server down, connect error, timeout, unavailable, busy   34865 no directory server
//   no such object                                           -601  no object of that name
//   invalid credentials                                      35327 login refused
//   insufficient access, unwilling to perform, strong auth   34921 access violation
//   size limit, admin limit exceeded                         35198 boundary checking
//   invalid DN syntax, filter error, parameter error         34870 bad arguments
//   no memory                                                -301  out of memory
//   anything else                                            35327 failure
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "corvane/wire/cvdefs.h"
#include "corvane/wire/cverrors.h"

typedef struct ldap LDAP;

namespace cvdir {

// The longest name, attribute value and page a caller may ask for.
inline constexpr std::size_t kMaxDottedName = 514;
inline constexpr std::size_t kMaxComponents = 32;
inline constexpr int kPageSize = 200;

std::uint32_t CodeFromLdap(int ldapResult);

// Base-class name of an entry from its object classes ("KCP Server",
// "Organizational Unit", "User", ... "Unknown"); names compared ignoring case.
std::string BaseClassOf(const std::vector<std::string>& objectClasses);

// The components of a dotted name, leaf first; empty components are kept.
std::vector<std::string> SplitDotted(std::string_view dotted);
// The value of the first RDN of dn (cn=JSMITH,ou=... gives JSMITH); empty
// when dn does not parse.
std::string LeafOf(const std::string& dn);
// The dotted name of dn below base, leaf first; false when dn is not below
// (or equal to) base or does not parse. base itself gives "".
bool DottedOf(const std::string& dn, const std::string& base, std::string& dotted);

struct Attribute {
  std::string name;
  std::vector<std::string> values;
};

struct ListItem {
  std::string name;       // the subordinate's own name, one component
  std::string baseClass;  // from BaseClassOf
};
ListItem ItemFromEntry(const std::string& dn, const std::vector<std::string>& objectClasses);

// How a session reaches its server. Waits bound connecting (TCP and TLS
// handshake) and each operation. With startTls an ldap:// server must agree
// to StartTLS; ldaps:// is TLS from the start. The server's certificate is
// always verified (host name included): against caFile when given, else
// against the system's trust store.
struct Options {
  int connectMs = 5000;
  int requestMs = 10000;
  bool startTls = false;
  std::string caFile;
};

// Whether a password may be sent in an unencrypted bind to this peer: only
// to a loopback address (127.0.0.0/8, ::1, or either mapped into IPv6).
bool ClearBindAllowed(const void* sockaddr, std::size_t length);

// One LDAP session to one directory server. Not thread-safe: callers hold
// their own lock. Owns the LDAP handle.
class Session {
 public:
  // uri: ldap://host:port or ldaps://host:port. Connects (and secures the
  // connection as options say) before it returns, so that a server that is
  // down or refuses TLS fails here. error, when given, gets a line that
  // says why a connection failed.
  static std::uint32_t Open(const std::string& uri, const Options& options, std::unique_ptr<Session>& out,
                            std::string* error = nullptr);
  // The former form: no TLS options.
  static std::uint32_t Open(const std::string& uri, int connectMs, int requestMs, std::unique_ptr<Session>& out) {
    return Open(uri, Options{connectMs, requestMs, false, {}}, out);
  }
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  const std::string& uri() const { return uri_; }
  // TLS protects the connection (ldaps:// or StartTLS).
  bool encrypted() const { return encrypted_; }

  // Simple bind; an empty dn binds anonymously. A password is sent only over
  // TLS or to a loopback peer: otherwise the bind is refused (34921) and
  // error, when given, says why.
  std::uint32_t Bind(const std::string& dn, const std::string& password, std::string* error = nullptr);
  // What the directory's password policy said of a bind.
  enum class PasswordState { Usable, Expired, MustChange };
  // Bind as above that asks for the password-policy control: a password the
  // directory takes may still be due for a change (after an administrator
  // reset it), and an expired one is refused with the reason in the control.
  std::uint32_t BindWithPolicy(const std::string& dn, const std::string& password, PasswordState& state,
                               std::string* error = nullptr);

  // The distinguished name of the dotted name below base; "" and "[Root]"
  // name base itself. A component with '=' is taken as attribute=value.
  std::uint32_t Resolve(const std::string& base, std::string_view dotted, std::string& dn);
  // The attributes of dn (only those listed; all user attributes when empty).
  std::uint32_t Read(const std::string& dn, const std::vector<std::string>& names, std::vector<Attribute>& out);
  // The first entry below base matching filter (subtree); -601 when none.
  std::uint32_t FindOne(const std::string& base, const std::string& filter, std::string& dn);
  // One page of the subordinates of dn; cookie is in/out, empty first and
  // empty again after the last page.
  std::uint32_t ListPage(const std::string& dn, int pageSize, std::string& cookie, std::vector<ListItem>& out);
  // Counts the subordinates of dn, at most limit of them; more is true when
  // the count stopped at the limit (or at the server's size limit).
  std::uint32_t CountChildren(const std::string& dn, int limit, std::uint32_t& count, bool& more);
  // Whether entry dn is a member (member or uniqueMember) of group dn.
  std::uint32_t IsMember(const std::string& groupDn, const std::string& memberDn, bool& member);

  // A result that means the server went away; the session should be dropped.
  static bool Lost(std::uint32_t code);

 private:
  // Whether a password may go to this server (TLS, or this machine).
  bool MaySendPassword(std::string* error);
  Session(LDAP* ld, std::string uri, int requestMs) : ld_(ld), uri_(std::move(uri)), requestMs_(requestMs) {}
  LDAP* ld_;
  std::string uri_;
  int requestMs_;
  bool encrypted_ = false;
};

// The replicas of one directory, tried in order. The one that answered
// last is tried first by later sessions, so that a server that is down
// costs one wait, not one per operation. Safe to share between threads.
class Replicas {
 public:
  Replicas() = default;
  Replicas(std::vector<std::string> uris, Options options);
  Replicas(const Replicas& other) : uris_(other.uris_), options_(other.options_), first_(other.first_.load()) {}
  Replicas& operator=(const Replicas& other);

  const std::vector<std::string>& uris() const { return uris_; }
  const Options& options() const { return options_; }

  // A session to the first replica that connects, starting with the one that
  // answered last, leaving out the servers in skip and trying those in
  // demoted only after all others. The last failure's code when none
  // connects; error gets its reason.
  // prepare, when given, runs on each new session (a bind, say); a replica
  // that is lost during it counts as one that did not connect.
  using Prepare = std::function<std::uint32_t(Session&)>;
  std::uint32_t Open(std::unique_ptr<Session>& out, const std::vector<std::string>& skip = {},
                     const std::vector<std::string>& demoted = {}, std::string* error = nullptr,
                     const Prepare& prepare = {});

  // Runs op(session) on session, opening it when it is null; when the server
  // is lost meanwhile, opens a session to another replica and runs op again
  // there, at most once per replica. A session that was open before the call
  // may have been dropped by its server while idle: its server is tried
  // again, after the other replicas.
  template <typename Op>
  std::uint32_t Run(std::unique_ptr<Session>& session, Op&& op, std::string* error = nullptr) {
    return Run(session, Prepare{}, std::forward<Op>(op), error);
  }
  template <typename Op>
  std::uint32_t Run(std::unique_ptr<Session>& session, const Prepare& prepare, Op&& op, std::string* error);

 private:
  void Answered(const std::string& uri);
  std::vector<std::string> uris_;
  Options options_;
  std::atomic<std::size_t> first_{0};
};

template <typename Op>
std::uint32_t Replicas::Run(std::unique_ptr<Session>& session, const Prepare& prepare, Op&& op, std::string* error) {
  std::uint32_t rc = kCvErrDirPrimaryConnection;
  std::vector<std::string> lost, demoted;
  bool fresh = session == nullptr;
  for (std::size_t attempt = 0; attempt <= uris_.size(); ++attempt) {
    if (!session) {
      if ((rc = Open(session, lost, demoted, error, prepare)) != kCvOk) return rc;
      fresh = true;
    }
    rc = op(*session);
    if (!Session::Lost(rc)) return rc;
    (fresh ? lost : demoted).push_back(session->uri());
    session.reset();
  }
  return rc;
}

// Splits a list of URIs separated by blanks.
std::vector<std::string> SplitUris(std::string_view text);

// Seconds since 1970 (UTC) of an LDAP GeneralizedTime such as
// modifyTimestamp ("20261208121500Z", fractions and "+hhmm" offsets
// accepted); false when the text is not one.
bool ParseGeneralizedTime(std::string_view text, std::int64_t& seconds);

// Escapes a value for a search filter (RFC 4515).
std::string EscapeFilter(std::string_view value);

}  // namespace cvdir
