// cvserverd configuration, read from a TOML file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "corvane/server/throttle.h"
#include "corvane/wire/scram.h"

namespace cvserver {

struct UserConfig {
  std::string name;  // upper case
  cvwire::scram::Verifier verifier;
  bool legacyHash = false;  // given in the password-equivalent pbkdf2-sha256 form
  bool isOperator = false;
  std::uint32_t objectId = 0;  // assigned from the order in the file
};

struct ParameterConfig {
  std::string name;
  bool isText = false;
  std::string text;
  std::int32_t number = 0;
};

// [directory]: the LDAP directory that checks directory logins.
struct DirectoryConfig {
  bool enabled = false;
  std::vector<std::string> uris; // ldap://host:port or ldaps://host:port, replicas tried in order
  bool startTls = false;        // ldap:// servers must agree to StartTLS
  std::string caFile;           // the CA of the servers' certificates; empty: the system's trust store
  std::string base;             // the tree's [Root] entry
  std::string tree;             // upper case
  std::string server;           // this server's own object, dotted (SRV1.SALES.ACME)
  std::string operators;        // the group whose members are operators, dotted
  std::string bindDn;           // reads as this entry; anonymous when empty
  std::string bindPasswordFile; // its password, a file of mode 0600
  std::uint32_t timeoutMs = 5000;
  std::uint32_t workers = 4;    // directory logins checked at once (their own threads)
};

// [audit]: the trail of administrative actions.
struct AuditConfig {
  bool enabled = true;
  std::string file;                         // default: audit.log in the folder of the state file
  std::uint64_t maxSize = 10 * 1024 * 1024; // bytes before the file is rotated
  std::uint32_t keep = 5;                   // rotated files kept (file.1 ... file.N)
  enum class Journal { Auto, On, Off } journal = Journal::Auto;  // Auto: when stderr is the journal
  bool required = false;  // refuse administrative actions while records cannot be written
};

struct ServerConfig {
  std::string name;
  std::string listenHost = "127.0.0.1";
  std::uint16_t listenPort = 5240;
  std::string portFile;
  std::string volume;
  std::vector<std::string> searchPath;
  std::string state;
  std::uint32_t capacity = 250;
  std::uint32_t versionMajor = 0, versionMinor = 0, versionRevision = 0;
  std::string description;
  std::string company;
  std::vector<std::string> peers;
  std::uint32_t idleTimeoutMs = 300000;   // [server] idle_timeout_ms
  std::uint32_t messageQueueLimit = 16;   // [server] message_queue
  std::string autoexec;                   // [server] autoexec: command file run once at start
  std::string runDir;                     // [server] run_dir: service sockets; default <state folder>/run
  std::uint32_t serviceTimeoutMs = 30000; // [server] service_timeout_ms: longest a service request may take
  // Connections that have not logged in: the time from accept to a login,
  // how many there may be, and how many from one address (IPv6: one /64).
  std::uint32_t loginTimeoutMs = 30000;   // [server] login_timeout_ms
  std::uint32_t maxUnauthenticated = 512; // [server] max_unauthenticated
  std::uint32_t maxUnauthenticatedPerAddress = 16;  // [server] max_unauthenticated_per_address
  std::uint32_t operatorReserve = 1;      // [server] operator_reserve: slots only operators may take
  ThrottleConfig throttle;                // [logins]
  std::vector<UserConfig> users;
  std::vector<ParameterConfig> parameters;
  DirectoryConfig directory;
  AuditConfig audit;
  // [tls] certificate and key (PEM files); both empty: the agent's own
  // self-signed pair in the folder of the state file (TlsFiles()).
  std::string tlsCertificate;
  std::string tlsKey;
};

// Reads and checks the file; on failure error holds a message and the result is empty.
std::optional<ServerConfig> LoadConfig(const std::string& path, std::string& error);

}  // namespace cvserver
