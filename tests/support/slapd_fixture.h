// A private slapd on a loopback port in a temporary folder, with the test
// tree ACME under the base dc=corvane,dc=test:
//
//   o=ACME
//     ou=SALES   servers SRV1 and SRV2, users JSMITH (uidNumber 1001) and
//                ADMIN (1000)
//     ou=EMPTY   users GUEST (1002) and LOCKED (1003, locked by the password
//                policy) and the group OPERATORS (member ADMIN)
//     ou=BIG     bigCount devices OBJ00001 ... (more than the size limit, 500)
//   c=US
//     l=BOSTON
//   ou=POLICIES  the default password policy (lockout on); a strict one and
//                its users RESET (1005, must change the password first) and
//                EXPIRED (1006, password expired)
//
// Every user's password is its name in lower case followed by "-secret".
// slapd runs with its own configuration and database in the folder and is
// stopped by Stop() or the destructor, or when the thread that started it
// ends (a killed test); the system's slapd is never used.
//
// A provider (provider = true) keeps the tree for consumers with the
// syncprov overlay; a consumer (ConsumerOf) starts empty and replicates the
// provider's tree with syncrepl, refreshing and then persisting. With TLS
// files set before Start, slapd serves StartTLS on its ldap:// port and TLS
// on a second, ldaps:// port.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

class Slapd {
 public:
  explicit Slapd(int bigCount = 2000);
  ~Slapd();
  Slapd(const Slapd&) = delete;
  Slapd& operator=(const Slapd&) = delete;

  // srv1Address is SRV1's kcpNetworkAddress (host:port of the agent under test).
  bool Start(const std::string& srv1Address = "127.0.0.1:1");
  void Stop();
  bool running() const { return pid_ > 0; }

  // Before Start: keep the tree for consumers.
  bool provider = false;
  // Before Start: replicate provider's tree (a provider, started) instead of
  // loading one.
  void ConsumerOf(const Slapd& provider) { providerUri_ = provider.uri(); }
  // Before Start: the IPv4 address slapd listens on (this machine's own).
  std::string host = "127.0.0.1";
  // Before Start: slapd's debug level; "stats" logs each connection and
  // operation (binds with their names) to Log(), "none" only why it stops.
  std::string debug = "none";
  // Before Start: the server's certificate and key, and the CA file it
  // trusts (PEM files).
  std::string tlsCertificate, tlsKey, tlsCa;

  std::uint16_t port() const { return port_; }
  std::uint16_t tlsPort() const { return tlsPort_; }
  std::string uri() const;                                   // ldap://HOST:PORT
  std::string ldapsUri() const;                              // ldaps://HOST:TLSPORT
  static std::string base() { return "dc=corvane,dc=test"; }
  std::string treeUrl() const { return uri() + "/" + base(); }  // for [Trees]
  std::filesystem::path dir() const { return dir_; }
  std::string Log() const;

  // More LDIF records, added with the test tree by Start().
  std::string extraLdif;

  // Replaces one attribute of an entry as the directory's manager.
  bool Replace(const std::string& dn, const std::string& attribute, const std::string& value);
  // Adds an entry of the given object class with attribute values
  // (attribute, value pairs) as the directory's manager.
  bool Add(const std::string& dn, const std::vector<std::pair<std::string, std::string>>& values);
  // Whether the entry exists, read anonymously.
  bool Exists(const std::string& dn) const;
  // Waits (up to waitMs) until the entry exists; false when it never does.
  bool WaitFor(const std::string& dn, int waitMs) const;

 private:
  std::filesystem::path dir_;
  int bigCount_;
  pid_t pid_ = -1;
  std::uint16_t port_ = 0;
  std::uint16_t tlsPort_ = 0;
  std::string providerUri_;
};

}  // namespace testsupport
