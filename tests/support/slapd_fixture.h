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
//   ou=POLICIES  the default password policy (lockout on)
//
// Every user's password is its name in lower case followed by "-secret".
// slapd runs with its own configuration and database in the folder and is
// stopped by Stop() or the destructor; the system's slapd is never used.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>

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

  std::uint16_t port() const { return port_; }
  std::string uri() const;                                   // ldap://127.0.0.1:PORT
  static std::string base() { return "dc=corvane,dc=test"; }
  std::string treeUrl() const { return uri() + "/" + base(); }  // for [Trees]
  std::filesystem::path dir() const { return dir_; }
  std::string Log() const;

  // More LDIF records, added with the test tree by Start().
  std::string extraLdif;

  // Replaces one attribute of an entry as the directory's manager.
  bool Replace(const std::string& dn, const std::string& attribute, const std::string& value);

 private:
  std::filesystem::path dir_;
  int bigCount_;
  pid_t pid_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace testsupport
