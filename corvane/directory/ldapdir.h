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

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

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

// One LDAP session to one directory server. Not thread-safe: callers hold
// their own lock. Owns the LDAP handle.
class Session {
 public:
  // uri: ldap://host:port; the waits bound connecting and each operation.
  static std::uint32_t Open(const std::string& uri, int connectMs, int requestMs, std::unique_ptr<Session>& out);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Simple bind; an empty dn binds anonymously.
  std::uint32_t Bind(const std::string& dn, const std::string& password);

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
  // Whether entry dn is a member (member or uniqueMember) of group dn.
  std::uint32_t IsMember(const std::string& groupDn, const std::string& memberDn, bool& member);

  // A result that means the server went away; the session should be dropped.
  static bool Lost(std::uint32_t code);

 private:
  Session(LDAP* ld, int requestMs) : ld_(ld), requestMs_(requestMs) {}
  LDAP* ld_;
  int requestMs_;
};

// Escapes a value for a search filter (RFC 4515).
std::string EscapeFilter(std::string_view value);

}  // namespace cvdir
