#include "support/slapd_fixture.h"

#define LDAP_DEPRECATED 0
#include <arpa/inet.h>
#include <fcntl.h>
#include <ldap.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace testsupport {
namespace {

constexpr const char* kManager = "cn=manager,dc=corvane,dc=test";
constexpr const char* kManagerPassword = "manager-secret";

std::uint16_t FreePort(const std::string& host) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ::inet_pton(AF_INET, host.c_str(), &a.sin_addr);
  socklen_t len = sizeof a;
  std::uint16_t port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    port = ntohs(a.sin_port);
  }
  ::close(fd);
  return port;
}

bool Accepts(const std::string& host, std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ::inet_pton(AF_INET, host.c_str(), &a.sin_addr);
  a.sin_port = htons(port);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

std::string User(const std::string& name, const std::string& ou, int uid, bool locked = false) {
  std::string lower = name;
  for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::ostringstream s;
  s << "dn: cn=" << name << ",ou=" << ou << ",o=ACME,dc=corvane,dc=test\n"
    << "objectClass: inetOrgPerson\nobjectClass: posixAccount\n"
    << "cn: " << name << "\nsn: " << name << "\nuid: " << lower << "\nuidNumber: " << uid
    << "\ngidNumber: 100\nhomeDirectory: /home/" << lower << "\nuserPassword: " << lower << "-secret\n"
    << (locked ? "pwdAccountLockedTime: 000001010000Z\n" : "") << "\n";
  return s.str();
}

// A user under ou=POLICIES held to the strict policy, with extra lines.
std::string PolicyUser(const std::string& name, int uid, const std::string& extra) {
  std::string lower = name;
  for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::ostringstream s;
  s << "dn: cn=" << name << ",ou=POLICIES,dc=corvane,dc=test\n"
    << "objectClass: inetOrgPerson\nobjectClass: posixAccount\n"
    << "cn: " << name << "\nsn: " << name << "\nuid: " << lower << "\nuidNumber: " << uid
    << "\ngidNumber: 100\nhomeDirectory: /home/" << lower << "\nuserPassword: " << lower << "-secret\n"
    << "pwdPolicySubentry: cn=strict,ou=POLICIES,dc=corvane,dc=test\n" << extra << "\n";
  return s.str();
}

int Run(const std::string& command) { return std::system(command.c_str()); }

}  // namespace

Slapd::Slapd(int bigCount) : bigCount_(bigCount) {
  std::string templ = (std::filesystem::temp_directory_path() / "slapd-XXXXXX").string();
  if (::mkdtemp(templ.data()) == nullptr) std::abort();
  dir_ = templ;
}

Slapd::~Slapd() {
  Stop();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::string Slapd::uri() const { return "ldap://" + host + ":" + std::to_string(port_); }
std::string Slapd::ldapsUri() const { return "ldaps://" + host + ":" + std::to_string(tlsPort_); }

std::string Slapd::Log() const {
  std::ifstream in(dir_ / "slapd.log");
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool Slapd::Start(const std::string& srv1Address) {
  const auto d = dir_.string();
  std::filesystem::create_directories(dir_ / "db");
  std::ofstream(dir_ / "slapd.conf", std::ios::trunc)
      << "include /etc/ldap/schema/core.schema\n"
         "include /etc/ldap/schema/cosine.schema\n"
         "include /etc/ldap/schema/nis.schema\n"
         "include /etc/ldap/schema/inetorgperson.schema\n"
         "include " CORVANE_SCHEMA_PATH "\n"
      << "pidfile " << d << "/slapd.pid\nargsfile " << d << "/slapd.args\n"
      << (tlsCertificate.empty() ? std::string()
                                 : "TLSCertificateFile " + tlsCertificate + "\nTLSCertificateKeyFile " + tlsKey + "\n" +
                                       (tlsCa.empty() ? std::string() : "TLSCACertificateFile " + tlsCa + "\n"))
      << "modulepath /usr/lib/ldap\nmoduleload back_mdb\nmoduleload ppolicy\n"
      << (provider ? "moduleload syncprov\n" : "")
      << "sizelimit size.soft=500 size.hard=500 size.prtotal=unlimited\n"
         "access to attrs=userPassword by self read by anonymous auth by * none\n"
         "access to * by * read\n"
         "database mdb\nmaxsize 268435456\nsuffix \"dc=corvane,dc=test\"\n"
      << "rootdn \"" << kManager << "\"\nrootpw " << kManagerPassword << "\n"
      << "directory " << d << "/db\nindex objectClass,uidNumber,cn,ou,o eq\nindex entryCSN,entryUUID eq\n"
      << "overlay ppolicy\nppolicy_default \"cn=default,ou=POLICIES,dc=corvane,dc=test\"\n";
  if (provider) std::ofstream(dir_ / "slapd.conf", std::ios::app) << "overlay syncprov\nsyncprov-checkpoint 10 1\n";
  if (!providerUri_.empty()) {
    std::ofstream(dir_ / "slapd.conf", std::ios::app)
        << "syncrepl rid=001 provider=" << providerUri_ << " bindmethod=simple binddn=\"" << kManager
        << "\" credentials=" << kManagerPassword
        << " searchbase=\"dc=corvane,dc=test\" type=refreshAndPersist retry=\"1 +\" timeout=3\n";
  }

  std::ofstream ldif(dir_ / "tree.ldif", std::ios::trunc);
  ldif << "dn: dc=corvane,dc=test\nobjectClass: dcObject\nobjectClass: organization\ndc: corvane\no: Corvane test\n\n"
       << "dn: o=ACME,dc=corvane,dc=test\nobjectClass: organization\no: ACME\n\n"
       << "dn: ou=SALES,o=ACME,dc=corvane,dc=test\nobjectClass: organizationalUnit\nou: SALES\n\n"
       << "dn: cn=SRV1,ou=SALES,o=ACME,dc=corvane,dc=test\nobjectClass: kcpServer\ncn: SRV1\n"
       << "kcpNetworkAddress: " << srv1Address << "\ndescription: Sales file server in the directory\n\n"
       << "dn: cn=SRV2,ou=SALES,o=ACME,dc=corvane,dc=test\nobjectClass: kcpServer\ncn: SRV2\n"
       << "kcpNetworkAddress: 127.0.0.1:1\ndescription: Second sales server\n\n"
       << User("JSMITH", "SALES", 1001) << User("ADMIN", "SALES", 1000)
       << "dn: ou=EMPTY,o=ACME,dc=corvane,dc=test\nobjectClass: organizationalUnit\nou: EMPTY\n\n"
       << User("GUEST", "EMPTY", 1002) << User("LOCKED", "EMPTY", 1003, true)
       << "dn: ou=POLICIES,dc=corvane,dc=test\nobjectClass: organizationalUnit\nou: POLICIES\n\n"
       << "dn: cn=default,ou=POLICIES,dc=corvane,dc=test\nobjectClass: person\nobjectClass: pwdPolicy\ncn: default\n"
       << "sn: policy\npwdAttribute: userPassword\npwdLockout: TRUE\n\n"
       // Users whose password must be changed (reset by an administrator)
       // or has expired, under a policy of their own.
       << "dn: cn=strict,ou=POLICIES,dc=corvane,dc=test\nobjectClass: person\nobjectClass: pwdPolicy\ncn: strict\n"
       << "sn: policy\npwdAttribute: userPassword\npwdMustChange: TRUE\npwdMaxAge: 86400\npwdGraceAuthNLimit: 0\n\n"
       << PolicyUser("RESET", 1005, "pwdReset: TRUE\n")
       << PolicyUser("EXPIRED", 1006, "pwdChangedTime: 20000101000000Z\n")
       << "dn: cn=OPERATORS,ou=EMPTY,o=ACME,dc=corvane,dc=test\nobjectClass: groupOfNames\ncn: OPERATORS\n"
       << "member: cn=ADMIN,ou=SALES,o=ACME,dc=corvane,dc=test\n\n"
       << "dn: c=US,dc=corvane,dc=test\nobjectClass: country\nc: US\n\n"
       << "dn: l=BOSTON,c=US,dc=corvane,dc=test\nobjectClass: locality\nl: BOSTON\n\n"
       << "dn: ou=BIG,o=ACME,dc=corvane,dc=test\nobjectClass: organizationalUnit\nou: BIG\n\n";
  for (int i = 1; i <= bigCount_; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "OBJ%05d", i);
    ldif << "dn: cn=" << name << ",ou=BIG,o=ACME,dc=corvane,dc=test\nobjectClass: device\ncn: " << name << "\n\n";
  }
  ldif << extraLdif;
  ldif.close();
  // A consumer's tree comes from its provider.
  if (providerUri_.empty() && Run("/usr/sbin/slapadd -q -f " + d + "/slapd.conf -l " + d + "/tree.ldif >" + d + "/slapadd.log 2>&1") != 0)
    return false;

  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = FreePort(host);
    tlsPort_ = tlsCertificate.empty() ? 0 : FreePort(host);
    const std::string url = "ldap://" + host + ":" + std::to_string(port_) + "/" +
                            (tlsPort_ ? " ldaps://" + host + ":" + std::to_string(tlsPort_) + "/" : "");
    const std::string conf = d + "/slapd.conf";
    const std::string log = d + "/slapd.log";
    pid_ = ::fork();
    if (pid_ == 0) {
      // A test that is killed (a timeout) takes its slapd with it.
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (fd >= 0) {
        ::dup2(fd, 1);
        ::dup2(fd, 2);
      }
      // -d keeps slapd in the foreground, so that this pid is slapd's own.
      ::execl("/usr/sbin/slapd", "slapd", "-h", url.c_str(), "-f", conf.c_str(), "-d", debug.c_str(),
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    for (int i = 0; i < 200; ++i) {
      const bool accepts = Accepts(host, port_) && (!tlsPort_ || Accepts(host, tlsPort_));
      // What accepted may be another program's listener, with slapd gone.
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      if (accepts) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    Stop();
  }
  return false;
}

void Slapd::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 400; ++i) {
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

bool Slapd::Replace(const std::string& dn, const std::string& attribute, const std::string& value) {
  LDAP* ld = nullptr;
  if (ldap_initialize(&ld, uri().c_str()) != LDAP_SUCCESS) return false;
  const int version = LDAP_VERSION3;
  ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
  berval cred{std::char_traits<char>::length(kManagerPassword), const_cast<char*>(kManagerPassword)};
  bool ok = ldap_sasl_bind_s(ld, kManager, LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, nullptr) == LDAP_SUCCESS;
  if (ok) {
    char* values[] = {const_cast<char*>(value.c_str()), nullptr};
    LDAPMod mod{};
    mod.mod_op = LDAP_MOD_REPLACE;
    mod.mod_type = const_cast<char*>(attribute.c_str());
    mod.mod_values = values;
    LDAPMod* mods[] = {&mod, nullptr};
    ok = ldap_modify_ext_s(ld, dn.c_str(), mods, nullptr, nullptr) == LDAP_SUCCESS;
  }
  ldap_unbind_ext_s(ld, nullptr, nullptr);
  return ok;
}

namespace {

// A session bound as the manager (or anonymous), closed with the object.
struct Connection {
  LDAP* ld = nullptr;
  Connection(const std::string& uri, bool manager) {
    if (ldap_initialize(&ld, uri.c_str()) != LDAP_SUCCESS) {
      ld = nullptr;
      return;
    }
    const int version = LDAP_VERSION3;
    const timeval tv{5, 0};
    ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
    ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &tv);
    ldap_set_option(ld, LDAP_OPT_TIMEOUT, &tv);
    if (!manager) return;
    berval cred{std::char_traits<char>::length(kManagerPassword), const_cast<char*>(kManagerPassword)};
    if (ldap_sasl_bind_s(ld, kManager, LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, nullptr) != LDAP_SUCCESS) {
      ldap_unbind_ext_s(ld, nullptr, nullptr);
      ld = nullptr;
    }
  }
  ~Connection() {
    if (ld) ldap_unbind_ext_s(ld, nullptr, nullptr);
  }
};

}  // namespace

bool Slapd::Add(const std::string& dn, const std::vector<std::pair<std::string, std::string>>& values) {
  Connection c(uri(), true);
  if (!c.ld) return false;
  std::vector<LDAPMod> mods(values.size());
  std::vector<std::vector<char*>> texts(values.size());
  std::vector<LDAPMod*> list;
  for (std::size_t i = 0; i < values.size(); ++i) {
    texts[i] = {const_cast<char*>(values[i].second.c_str()), nullptr};
    mods[i].mod_op = LDAP_MOD_ADD;
    mods[i].mod_type = const_cast<char*>(values[i].first.c_str());
    mods[i].mod_values = texts[i].data();
    list.push_back(&mods[i]);
  }
  list.push_back(nullptr);
  return ldap_add_ext_s(c.ld, dn.c_str(), list.data(), nullptr, nullptr) == LDAP_SUCCESS;
}

bool Slapd::Exists(const std::string& dn) const {
  Connection c(uri(), false);
  if (!c.ld) return false;
  LDAPMessage* res = nullptr;
  char* attrs[] = {const_cast<char*>(LDAP_NO_ATTRS), nullptr};
  const int rc = ldap_search_ext_s(c.ld, dn.c_str(), LDAP_SCOPE_BASE, "(objectClass=*)", attrs, 0, nullptr, nullptr,
                                   nullptr, 1, &res);
  const bool found = rc == LDAP_SUCCESS && ldap_count_entries(c.ld, res) == 1;
  if (res) ldap_msgfree(res);
  return found;
}

bool Slapd::WaitFor(const std::string& dn, int waitMs) const {
  for (int waited = 0; waited <= waitMs; waited += 50) {
    if (Exists(dn)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

}  // namespace testsupport
