#include "corvane/directory/ldapdir.h"

#define LDAP_DEPRECATED 0
#include <ldap.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <cctype>
#include <cstring>

#include "corvane/wire/cvdefs.h"
#include "corvane/wire/cverrors.h"
#include "posix/sigpipe_guard.h"

namespace cvdir {
namespace {

constexpr std::size_t kMaxValue = 64 * 1024;

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// One table maps object classes to the base-class names the control shows;
// the first row whose class the entry has wins, so specific classes come first.
struct ClassRow {
  const char* objectClass;
  const char* baseClass;
};
constexpr std::array kClassTable{
    ClassRow{"kcpServer", "KCP Server"},
    ClassRow{"posixAccount", "User"},
    ClassRow{"inetOrgPerson", "User"},
    ClassRow{"organizationalPerson", "Organizational Person"},
    ClassRow{"person", "Person"},
    ClassRow{"groupOfNames", "Group"},
    ClassRow{"groupOfUniqueNames", "Group"},
    ClassRow{"posixGroup", "Group"},
    ClassRow{"organizationalUnit", "Organizational Unit"},
    ClassRow{"organization", "Organization"},
    ClassRow{"country", "Country"},
    ClassRow{"locality", "Locality"},
    ClassRow{"organizationalRole", "Organizational Role"},
    ClassRow{"alias", "Alias"},
    ClassRow{"applicationProcess", "Application"},
    ClassRow{"applicationEntity", "Application"},
    ClassRow{"device", "Device"},
    ClassRow{"ipHost", "Computer"},
    ClassRow{"printerService", "Printer"},
    ClassRow{"printerAbstract", "Printer"},
};

// Owns a search result chain.
struct Result {
  LDAPMessage* msg = nullptr;
  ~Result() {
    if (msg) ldap_msgfree(msg);
  }
};

// Owns a parsed distinguished name.
struct ParsedDn {
  LDAPDN dn = nullptr;
  bool ok = false;
  explicit ParsedDn(const std::string& text) { ok = ldap_str2dn(text.c_str(), &dn, LDAP_DN_FORMAT_LDAPV3) == LDAP_SUCCESS; }
  ~ParsedDn() {
    if (dn) ldap_dnfree(dn);
  }
  std::size_t size() const {
    std::size_t n = 0;
    while (dn && dn[n]) ++n;
    return n;
  }
};

std::string_view View(const berval& bv) { return {bv.bv_val ? bv.bv_val : "", bv.bv_len}; }

bool SameRdn(LDAPRDN a, LDAPRDN b) {
  std::size_t i = 0;
  for (; a[i] && b[i]; ++i) {
    if (!EqualNoCase(View(a[i]->la_attr), View(b[i]->la_attr)) ||
        !EqualNoCase(View(a[i]->la_value), View(b[i]->la_value))) {
      return false;
    }
  }
  return !a[i] && !b[i];
}

std::string RdnValue(LDAPRDN rdn) {
  if (!rdn || !rdn[0] || (rdn[0]->la_flags & LDAP_AVA_BINARY)) return {};
  return std::string(View(rdn[0]->la_value));
}

std::vector<std::string> Values(LDAP* ld, LDAPMessage* e, const char* attr) {
  std::vector<std::string> out;
  berval** vals = ldap_get_values_len(ld, e, attr);
  if (!vals) return out;
  for (int i = 0; vals[i]; ++i) out.emplace_back(vals[i]->bv_val, std::min<std::size_t>(vals[i]->bv_len, kMaxValue));
  ldap_value_free_len(vals);
  return out;
}

std::string DnOf(LDAP* ld, LDAPMessage* e) {
  char* dn = ldap_get_dn(ld, e);
  if (!dn) return {};
  std::string s(dn);
  ldap_memfree(dn);
  return s;
}

timeval Tv(int ms) { return timeval{ms / 1000, (ms % 1000) * 1000}; }

// Bounds a TLS handshake on socket fd: when it has not ended within ms, the
// socket is shut down for reading, so that the handshake fails rather than
// waits on.
class HandshakeWatch {
 public:
  HandshakeWatch(int fd, int ms) : fd_(fd) {
    thread_ = std::thread([this, ms] {
      std::unique_lock lock(mutex_);
      if (!wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return done_; }) && fd_ >= 0) {
        ::shutdown(fd_, SHUT_RD);  // reading ends; writing stays, for the unbind
        fired_ = true;
      }
    });
  }
  ~HandshakeWatch() { Done(); }
  HandshakeWatch(const HandshakeWatch&) = delete;
  HandshakeWatch& operator=(const HandshakeWatch&) = delete;
  // Ends the watch (waiting for its thread); true when it had shut the
  // socket down.
  bool Done() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
    return fired_;
  }

 private:
  const int fd_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;
  bool fired_ = false;
  std::thread thread_;
};

}  // namespace

std::uint32_t CodeFromLdap(int rc) {
  switch (rc) {
    case LDAP_SUCCESS:
      return kCvOk;
    case LDAP_SERVER_DOWN:
    case LDAP_CONNECT_ERROR:
    case LDAP_TIMEOUT:
    case LDAP_TIMELIMIT_EXCEEDED:
    case LDAP_UNAVAILABLE:
    case LDAP_BUSY:
      return kCvErrDirPrimaryConnection;
    case LDAP_NO_SUCH_OBJECT:
      return kCvErrDirNoSuchEntry;
    case LDAP_INVALID_CREDENTIALS:
      return kCvErrLoginRefused;
    case LDAP_INSUFFICIENT_ACCESS:
    case LDAP_UNWILLING_TO_PERFORM:
    case LDAP_STRONG_AUTH_REQUIRED:
    case LDAP_INAPPROPRIATE_AUTH:
      return kCvErrAccessViolation;
    case LDAP_SIZELIMIT_EXCEEDED:
    case LDAP_ADMINLIMIT_EXCEEDED:
      return kCvErrBoundsCheck;
    case LDAP_INVALID_DN_SYNTAX:
    case LDAP_FILTER_ERROR:
    case LDAP_PARAM_ERROR:
      return kCvErrDirInvalidParameters;
    case LDAP_NO_MEMORY:
      return kCvErrDirOutOfMemory;
    default:
      return kCvErrFailure;
  }
}

std::string BaseClassOf(const std::vector<std::string>& classes) {
  for (const auto& row : kClassTable) {
    for (const auto& c : classes) {
      if (EqualNoCase(c, row.objectClass)) return row.baseClass;
    }
  }
  return "Unknown";
}

std::vector<std::string> SplitDotted(std::string_view dotted) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t p = dotted.find('.', start);
    out.emplace_back(dotted.substr(start, p == std::string_view::npos ? std::string_view::npos : p - start));
    if (p == std::string_view::npos) break;
    start = p + 1;
  }
  return out;
}

std::string LeafOf(const std::string& dn) {
  ParsedDn p(dn);
  if (!p.ok || p.size() == 0) return {};
  return RdnValue(p.dn[0]);
}

bool DottedOf(const std::string& dn, const std::string& base, std::string& dotted) {
  ParsedDn d(dn), b(base);
  if (!d.ok || !b.ok) return false;
  const std::size_t nd = d.size(), nb = b.size();
  if (nd < nb) return false;
  for (std::size_t i = 0; i < nb; ++i) {
    if (!SameRdn(d.dn[nd - nb + i], b.dn[i])) return false;
  }
  dotted.clear();
  for (std::size_t i = 0; i < nd - nb; ++i) {
    if (i) dotted += '.';
    dotted += RdnValue(d.dn[i]);
  }
  return true;
}

ListItem ItemFromEntry(const std::string& dn, const std::vector<std::string>& objectClasses) {
  return {LeafOf(dn), BaseClassOf(objectClasses)};
}

bool ParseGeneralizedTime(std::string_view t, std::int64_t& seconds) {
  if (t.size() < 11 || t.size() > 40) return false;
  auto number = [&](std::size_t at, std::size_t n, int& out) {
    if (at + n > t.size()) return false;
    out = 0;
    for (std::size_t i = at; i < at + n; ++i) {
      if (!std::isdigit(static_cast<unsigned char>(t[i]))) return false;
      out = out * 10 + (t[i] - '0');
    }
    return true;
  };
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!number(0, 4, year) || !number(4, 2, month) || !number(6, 2, day) || !number(8, 2, hour)) return false;
  std::size_t at = 10;
  if (at + 2 <= t.size() && number(at, 2, minute)) {
    at += 2;
    if (at + 2 <= t.size() && number(at, 2, second)) at += 2;
  }
  if (at < t.size() && (t[at] == '.' || t[at] == ',')) {
    ++at;
    const std::size_t digits = at;
    while (at < t.size() && std::isdigit(static_cast<unsigned char>(t[at]))) ++at;
    if (at == digits) return false;
  }
  int offset = 0;
  if (at < t.size() && t[at] == 'Z') {
    ++at;
  } else if (at < t.size() && (t[at] == '+' || t[at] == '-')) {
    int oh = 0, om = 0;
    if (!number(at + 1, 2, oh)) return false;
    std::size_t end = at + 3;
    if (end + 2 <= t.size() && number(end, 2, om)) end += 2;
    if (oh > 23 || om > 59) return false;
    offset = (t[at] == '+' ? 1 : -1) * (oh * 3600 + om * 60);
    at = end;
  } else {
    return false;  // a local time says nothing about the instant
  }
  if (at != t.size()) return false;
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return false;
  // Days from the civil date (proleptic Gregorian), without the C library's time zone.
  const int y = year - (month <= 2);
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const std::int64_t days = static_cast<std::int64_t>(era) * 146097 + doe - 719468;
  seconds = days * 86400 + hour * 3600 + minute * 60 + second - offset;
  return true;
}

std::string EscapeFilter(std::string_view value) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(value.size());
  for (unsigned char c : value) {
    if (c == '*' || c == '(' || c == ')' || c == '\\' || c == 0) {
      out += '\\';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool ClearBindAllowed(const void* address, std::size_t length) {
  if (!address) return false;
  sockaddr_storage ss{};
  std::memcpy(&ss, address, std::min(length, sizeof ss));
  if (ss.ss_family == AF_INET && length >= sizeof(sockaddr_in)) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&ss);
    return (ntohl(in->sin_addr.s_addr) >> 24) == 127;
  }
  if (ss.ss_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
    const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(&ss)->sin6_addr;
    if (IN6_IS_ADDR_LOOPBACK(&a)) return true;
    return IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127;
  }
  return ss.ss_family == AF_UNIX;
}

std::vector<std::string> SplitUris(std::string_view text) {
  std::vector<std::string> out;
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t start = text.find_first_not_of(" \t", i);
    if (start == std::string_view::npos) break;
    const std::size_t end = text.find_first_of(" \t", start);
    out.emplace_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    i = end == std::string_view::npos ? text.size() : end;
  }
  return out;
}

std::uint32_t Session::Open(const std::string& uri, const Options& o, std::unique_ptr<Session>& out,
                            std::string* error) {
  const posix::SigpipeGuard quiet;  // libldap writes with write()
  out.reset();
  auto fail = [&](std::uint32_t code, const std::string& why) {
    if (error) *error = uri + ": " + why;
    return code;
  };
  LDAP* ld = nullptr;
  const bool ldaps = uri.starts_with("ldaps://");
  const std::string plain = ldaps ? "ldap://" + uri.substr(8) : uri;
  if (uri.find_first_of(" \t,") != std::string::npos || ldap_initialize(&ld, plain.c_str()) != LDAP_SUCCESS || !ld)
    return fail(kCvErrDirInvalidParameters, "not an LDAP URI");
  std::unique_ptr<Session> s(new Session(ld, uri, o.requestMs));
  const int version = LDAP_VERSION3;
  const timeval connect = Tv(o.connectMs), request = Tv(o.requestMs);
  if (ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version) != LDAP_OPT_SUCCESS ||
      ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &connect) != LDAP_OPT_SUCCESS ||
      ldap_set_option(ld, LDAP_OPT_TIMEOUT, &request) != LDAP_OPT_SUCCESS ||
      ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF) != LDAP_OPT_SUCCESS) {
    return fail(kCvErrDirInvalidParameters, "LDAP options refused");
  }
  if (ldaps || o.startTls) {
    // Verify the certificate and the host name, against the CA file or the
    // system's trust store; a context of this session's own, so that other
    // sessions' settings never apply.
    const int demand = LDAP_OPT_X_TLS_DEMAND, client = 0;
    std::string ca = o.caFile;
    if (ca.empty()) {
      for (const char* bundle : {"/etc/ssl/certs/ca-certificates.crt", "/etc/pki/tls/certs/ca-bundle.crt"}) {
        if (::access(bundle, R_OK) == 0) {
          ca = bundle;
          break;
        }
      }
    }
    if (ca.empty() || ::access(ca.c_str(), R_OK) != 0)
      return fail(kCvErrDirInvalidParameters, "the CA file " + (ca.empty() ? std::string("(none)") : ca) +
                                                  " cannot be read");
    if (ldap_set_option(ld, LDAP_OPT_X_TLS_REQUIRE_CERT, &demand) != LDAP_OPT_SUCCESS ||
        ldap_set_option(ld, LDAP_OPT_X_TLS_CACERTFILE, ca.c_str()) != LDAP_OPT_SUCCESS ||
        ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &client) != LDAP_OPT_SUCCESS) {
      return fail(kCvErrDirInvalidParameters, "TLS settings refused (CA file " + ca + ")");
    }
  }
  auto reason = [&](int code) {
    std::string why = ldap_err2string(code);
    char* diag = nullptr;
    if (ldap_get_option(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &diag) == LDAP_OPT_SUCCESS && diag) {
      if (*diag) why += std::string(" (") + diag + ")";
      ldap_memfree(diag);
    }
    return why;
  };
  // The TCP connection first (bounded by the network timeout); for ldaps://
  // the handle was made for ldap:// at the same address, and TLS goes on
  // the connection below, where its handshake is bounded too.
  int rc = ldap_connect(ld);
  if (rc != LDAP_SUCCESS) return fail(kCvErrDirPrimaryConnection, "connection failed: " + reason(rc));
  if (ldaps || o.startTls) {
    ber_socket_t fd = -1;
    ldap_get_option(ld, LDAP_OPT_DESC, &fd);
    // The library's handshake waits for a server that accepted and never
    // answers: past Connect + Request the socket is shut down, which ends it.
    HandshakeWatch watch(fd, o.connectMs + o.requestMs);
    rc = ldaps ? ldap_install_tls(ld) : ldap_start_tls_s(ld, nullptr, nullptr);
    const bool late = watch.Done();
    if (rc != LDAP_SUCCESS || late) {
      return fail(kCvErrDirPrimaryConnection, std::string(ldaps ? "TLS handshake failed: " : "StartTLS failed: ") +
                                                  (late ? "no answer in time" : reason(rc)));
    }
  }
  s->encrypted_ = ldap_tls_inplace(ld) != 0;
  if ((ldaps || o.startTls) && !s->encrypted_) return fail(kCvErrDirPrimaryConnection, "no TLS on the connection");
  out = std::move(s);
  return kCvOk;
}

Session::~Session() {
  // The unbind is written even to a server that has gone.
  const posix::SigpipeGuard quiet;
  ldap_unbind_ext_s(ld_, nullptr, nullptr);
}

bool Session::Lost(std::uint32_t code) { return code == kCvErrDirPrimaryConnection; }

std::uint32_t Session::Bind(const std::string& dn, const std::string& password, std::string* error) {
  const posix::SigpipeGuard quiet;  // libldap writes with write()
  // An empty password with a name would be an unauthenticated bind, which
  // slapd accepts as anonymous: refuse it here.
  if (!dn.empty() && password.empty()) return kCvErrLoginRefused;
  if (!dn.empty() && !MaySendPassword(error)) return kCvErrAccessViolation;
  berval cred{password.size(), const_cast<char*>(password.data())};
  const int rc = ldap_sasl_bind_s(ld_, dn.empty() ? nullptr : dn.c_str(), LDAP_SASL_SIMPLE, &cred, nullptr, nullptr,
                                  nullptr);
  return CodeFromLdap(rc);
}

bool Session::MaySendPassword(std::string* error) {
  if (encrypted_) return true;
  // A password goes in the clear only to this machine.
  ber_socket_t fd = -1;
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  const bool local = ldap_get_option(ld_, LDAP_OPT_DESC, &fd) == LDAP_OPT_SUCCESS && fd >= 0 &&
                     ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
                     ClearBindAllowed(&peer, length);
  if (!local && error)
    *error = uri_ + " is neither encrypted (ldaps:// or StartTLS) nor on this machine: no password is sent to it";
  return local;
}

std::uint32_t Session::BindWithPolicy(const std::string& dn, const std::string& password, PasswordState& state,
                                      std::string* error) {
  const posix::SigpipeGuard quiet;  // libldap writes with write()
  state = PasswordState::Usable;
  if (dn.empty() || password.empty()) return kCvErrLoginRefused;
  if (!MaySendPassword(error)) return kCvErrAccessViolation;
  LDAPControl* request = nullptr;
  if (ldap_create_passwordpolicy_control(ld_, &request) != LDAP_SUCCESS) return kCvErrDirNoMemory;
  LDAPControl* serverControls[] = {request, nullptr};
  berval cred{password.size(), const_cast<char*>(password.data())};
  int id = 0;
  int rc = ldap_sasl_bind(ld_, dn.c_str(), LDAP_SASL_SIMPLE, &cred, serverControls, nullptr, &id);
  ldap_control_free(request);
  if (rc != LDAP_SUCCESS) return CodeFromLdap(rc);
  timeval wait = Tv(requestMs_);
  LDAPMessage* result = nullptr;
  const int got = ldap_result(ld_, id, LDAP_MSG_ALL, &wait, &result);
  if (got <= 0) {
    if (result) ldap_msgfree(result);
    if (got == 0) ldap_abandon_ext(ld_, id, nullptr, nullptr);
    return CodeFromLdap(got == 0 ? LDAP_TIMEOUT : LDAP_SERVER_DOWN);
  }
  int outcome = LDAP_SUCCESS;
  LDAPControl** controls = nullptr;
  rc = ldap_parse_result(ld_, result, &outcome, nullptr, nullptr, nullptr, &controls, 1);
  if (rc != LDAP_SUCCESS) {
    if (controls) ldap_controls_free(controls);
    return CodeFromLdap(rc);
  }
  if (LDAPControl* response = ldap_control_find(LDAP_CONTROL_PASSWORDPOLICYRESPONSE, controls, nullptr)) {
    ber_int_t expire = -1, grace = -1;
    LDAPPasswordPolicyError policyError = PP_noError;
    if (ldap_parse_passwordpolicy_control(ld_, response, &expire, &grace, &policyError) == LDAP_SUCCESS) {
      if (policyError == PP_passwordExpired) state = PasswordState::Expired;
      if (policyError == PP_changeAfterReset) state = PasswordState::MustChange;
    }
  }
  if (controls) ldap_controls_free(controls);
  return CodeFromLdap(outcome);
}

std::uint32_t Session::Resolve(const std::string& base, std::string_view dotted, std::string& dn) {
  const posix::SigpipeGuard quiet;  // libldap writes with write()
  dn = base;
  if (dotted.empty() || dotted == "[Root]") return kCvOk;
  if (dotted.size() > kMaxDottedName) return kCvErrDirInvalidParameters;
  const auto components = SplitDotted(dotted);
  if (components.size() > kMaxComponents) return kCvErrDirInvalidParameters;
  for (auto it = components.rbegin(); it != components.rend(); ++it) {
    const std::string& c = *it;
    if (c.empty()) return kCvErrDirNoSuchEntry;
    std::string filter, want = c;
    if (const auto eq = c.find('='); eq != std::string::npos && eq > 0) {
      const std::string attr = c.substr(0, eq);
      if (!std::all_of(attr.begin(), attr.end(), [](unsigned char ch) { return std::isalnum(ch) || ch == '-'; }))
        return kCvErrDirInvalidParameters;
      want = c.substr(eq + 1);
      filter = "(" + attr + "=" + EscapeFilter(want) + ")";
    } else {
      const std::string v = EscapeFilter(c);
      filter = "(|(o=" + v + ")(ou=" + v + ")(c=" + v + ")(l=" + v + ")(cn=" + v + ")(uid=" + v + "))";
    }
    char* attrs[] = {const_cast<char*>(LDAP_NO_ATTRS), nullptr};
    Result res;
    timeval tv = Tv(requestMs_);
    const int rc = ldap_search_ext_s(ld_, dn.c_str(), LDAP_SCOPE_ONELEVEL, filter.c_str(), attrs, 0, nullptr,
                                     nullptr, &tv, 0, &res.msg);
    if (rc != LDAP_SUCCESS && rc != LDAP_SIZELIMIT_EXCEEDED) return CodeFromLdap(rc);
    std::string found;
    for (LDAPMessage* e = ldap_first_entry(ld_, res.msg); e && found.empty(); e = ldap_next_entry(ld_, e)) {
      const std::string entryDn = DnOf(ld_, e);
      if (EqualNoCase(LeafOf(entryDn), want)) found = entryDn;
    }
    if (found.empty()) return kCvErrDirNoSuchEntry;
    dn = found;
  }
  return kCvOk;
}

std::uint32_t Session::Read(const std::string& dn, const std::vector<std::string>& names,
                            std::vector<Attribute>& out) {
  const posix::SigpipeGuard quiet;  // libldap writes with write()
  out.clear();
  std::vector<char*> attrs;
  for (const auto& n : names) attrs.push_back(const_cast<char*>(n.c_str()));
  attrs.push_back(nullptr);
  Result res;
  timeval tv = Tv(requestMs_);
  const int rc = ldap_search_ext_s(ld_, dn.c_str(), LDAP_SCOPE_BASE, "(objectClass=*)",
                                   names.empty() ? nullptr : attrs.data(), 0, nullptr, nullptr, &tv, 1, &res.msg);
  if (rc != LDAP_SUCCESS) return CodeFromLdap(rc);
  LDAPMessage* e = ldap_first_entry(ld_, res.msg);
  if (!e) return kCvErrDirNoSuchEntry;
  BerElement* ber = nullptr;
  for (char* a = ldap_first_attribute(ld_, e, &ber); a; a = ldap_next_attribute(ld_, e, ber)) {
    out.push_back({a, Values(ld_, e, a)});
    ldap_memfree(a);
  }
  if (ber) ber_free(ber, 0);
  return kCvOk;
}

std::uint32_t Session::FindOne(const std::string& base, const std::string& filter, std::string& dn) {
  const posix::SigpipeGuard quiet;  // libldap writes with write()
  char* attrs[] = {const_cast<char*>(LDAP_NO_ATTRS), nullptr};
  Result res;
  timeval tv = Tv(requestMs_);
  const int rc = ldap_search_ext_s(ld_, base.c_str(), LDAP_SCOPE_SUBTREE, filter.c_str(), attrs, 0, nullptr,
                                   nullptr, &tv, 2, &res.msg);
  if (rc != LDAP_SUCCESS && rc != LDAP_SIZELIMIT_EXCEEDED) return CodeFromLdap(rc);
  LDAPMessage* e = ldap_first_entry(ld_, res.msg);
  if (!e) return kCvErrDirNoSuchEntry;
  dn = DnOf(ld_, e);
  return kCvOk;
}

std::uint32_t Session::ListPage(const std::string& dn, int pageSize, std::string& cookie,
                                std::vector<ListItem>& out) {
  const posix::SigpipeGuard quiet;  // libldap writes with write()
  out.clear();
  berval in{cookie.size(), cookie.data()};
  LDAPControl* page = nullptr;
  if (ldap_create_page_control(ld_, pageSize, cookie.empty() ? nullptr : &in, 0, &page) != LDAP_SUCCESS)
    return kCvErrDirOutOfMemory;
  LDAPControl* controls[] = {page, nullptr};
  char* attrs[] = {const_cast<char*>("objectClass"), nullptr};
  Result res;
  timeval tv = Tv(requestMs_);
  int rc = ldap_search_ext_s(ld_, dn.c_str(), LDAP_SCOPE_ONELEVEL, "(objectClass=*)", attrs, 0, controls, nullptr,
                             &tv, 0, &res.msg);
  ldap_control_free(page);
  if (rc != LDAP_SUCCESS) return CodeFromLdap(rc);
  for (LDAPMessage* e = ldap_first_entry(ld_, res.msg); e; e = ldap_next_entry(ld_, e))
    out.push_back(ItemFromEntry(DnOf(ld_, e), Values(ld_, e, "objectClass")));
  LDAPControl** serverControls = nullptr;
  int err = LDAP_SUCCESS;
  rc = ldap_parse_result(ld_, res.msg, &err, nullptr, nullptr, nullptr, &serverControls, 0);
  if (rc != LDAP_SUCCESS) return CodeFromLdap(rc);
  cookie.clear();
  if (LDAPControl* c = ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, serverControls, nullptr)) {
    ber_int_t estimate = 0;
    berval next{0, nullptr};
    if (ldap_parse_pageresponse_control(ld_, c, &estimate, &next) == LDAP_SUCCESS) {
      cookie.assign(next.bv_val ? next.bv_val : "", next.bv_len);
      ber_memfree(next.bv_val);
    }
  }
  if (serverControls) ldap_controls_free(serverControls);
  return CodeFromLdap(err);
}

std::uint32_t Session::CountChildren(const std::string& dn, int limit, std::uint32_t& count, bool& more) {
  const posix::SigpipeGuard quiet;  // libldap writes with write()
  count = 0;
  more = false;
  char* attrs[] = {const_cast<char*>(LDAP_NO_ATTRS), nullptr};
  Result res;
  timeval tv = Tv(requestMs_);
  const int rc = ldap_search_ext_s(ld_, dn.c_str(), LDAP_SCOPE_ONELEVEL, "(objectClass=*)", attrs, 0, nullptr,
                                   nullptr, &tv, limit, &res.msg);
  if (rc != LDAP_SUCCESS && rc != LDAP_SIZELIMIT_EXCEEDED && rc != LDAP_ADMINLIMIT_EXCEEDED) return CodeFromLdap(rc);
  const int n = ldap_count_entries(ld_, res.msg);
  count = n > 0 ? static_cast<std::uint32_t>(n) : 0;
  more = rc != LDAP_SUCCESS;
  return kCvOk;
}

Replicas::Replicas(std::vector<std::string> uris, Options options)
    : uris_(std::move(uris)), options_(std::move(options)) {}

Replicas& Replicas::operator=(const Replicas& other) {
  if (this != &other) {
    uris_ = other.uris_;
    options_ = other.options_;
    first_ = other.first_.load();
  }
  return *this;
}

void Replicas::Answered(const std::string& uri) {
  for (std::size_t i = 0; i < uris_.size(); ++i) {
    if (uris_[i] == uri) first_ = i;
  }
}

std::uint32_t Replicas::Open(std::unique_ptr<Session>& out, const std::vector<std::string>& skip,
                             const std::vector<std::string>& demoted, std::string* error, const Prepare& prepare) {
  out.reset();
  auto in = [](const std::vector<std::string>& list, const std::string& u) {
    return std::find(list.begin(), list.end(), u) != list.end();
  };
  std::vector<std::string> order;
  const std::size_t first = uris_.empty() ? 0 : first_.load() % uris_.size();
  for (std::size_t i = 0; i < uris_.size(); ++i) {
    const std::string& u = uris_[(first + i) % uris_.size()];
    if (!in(skip, u) && !in(demoted, u)) order.push_back(u);
  }
  for (const auto& u : demoted) {
    if (!in(skip, u) && in(uris_, u)) order.push_back(u);
  }
  std::uint32_t rc = kCvErrDirPrimaryConnection;
  if (order.empty() && error) *error = "no directory server left to try";
  for (const auto& u : order) {
    if ((rc = Session::Open(u, options_, out, error)) == kCvOk && prepare) {
      rc = prepare(*out);
      if (rc != kCvOk) out.reset();
      if (Session::Lost(rc)) continue;
      if (rc != kCvOk) return rc;
    }
    if (rc == kCvOk) {
      Answered(u);
      return kCvOk;
    }
  }
  return rc;
}

std::uint32_t Session::IsMember(const std::string& groupDn, const std::string& memberDn, bool& member) {
  const posix::SigpipeGuard quiet;  // libldap writes with write()
  member = false;
  const std::string v = EscapeFilter(memberDn);
  const std::string filter = "(|(member=" + v + ")(uniqueMember=" + v + "))";
  char* attrs[] = {const_cast<char*>(LDAP_NO_ATTRS), nullptr};
  Result res;
  timeval tv = Tv(requestMs_);
  const int rc = ldap_search_ext_s(ld_, groupDn.c_str(), LDAP_SCOPE_BASE, filter.c_str(), attrs, 0, nullptr,
                                   nullptr, &tv, 1, &res.msg);
  if (rc != LDAP_SUCCESS) return CodeFromLdap(rc);
  member = ldap_first_entry(ld_, res.msg) != nullptr;
  return kCvOk;
}

}  // namespace cvdir
