// The client's configuration (client.ini at $CORVANE_CLIENT, else
// $XDG_CONFIG_HOME/corvane/client.ini, else ~/.config/corvane/client.ini).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cvclient {

struct ServerEntry {
  std::string name;  // upper case
  std::string host;
  std::uint16_t port = 0;
};

// One [Trees] line: TREE=ldap://host:port/BASE-DN, or the URLs of several
// replicas of the tree separated by blanks, tried in order (each with the
// same base).
struct TreeEntry {
  std::string name;               // upper case
  std::vector<std::string> uris;  // ldap://host:port (or ldaps://), at least one
  std::string base;               // the entry that is the tree's [Root], URL-decoded
};
// Parses an ldap:// or ldaps:// URL with a base; false when malformed.
bool ParseTreeUrl(const std::string& url, std::string& uri, std::string& base);
// Parses a [Trees] value: one or more such URLs, separated by blanks (a
// base holds commas; a blank in it is written %20), all with the same base; false when one is malformed or the bases
// differ.
bool ParseTreeUrls(const std::string& value, std::vector<std::string>& uris, std::string& base);

struct ClientConfig {
  std::vector<ServerEntry> servers;                          // [Servers], in file order
  std::vector<TreeEntry> trees;                              // [Trees], in file order
  std::string user;
  std::string passwordFile;
  std::string tree;
  // [Timeouts]: an operation that (re)opens its connection gets Connect for
  // the TCP connection and Request for the rest (TLS handshake, login, its
  // requests); one that does not gets Request.
  std::uint32_t connectMs = 5000;
  std::uint32_t requestMs = 10000;
  // [Trust] CAFile=: servers with a certificate that CA signed for their
  // host are trusted; Strict=yes: only those and the known servers.
  std::string caFile;
  bool strict = false;
  // [Directory] StartTLS=yes: every ldap:// directory server must agree to
  // StartTLS; CAFile=: the CA that signs the directory servers' certificates
  // (else the system's trust store).
  bool directoryStartTls = false;
  std::string directoryCaFile;

  const ServerEntry* Find(const std::string& name) const;
  const TreeEntry* FindTree(const std::string& name) const;
};

std::string ClientConfigPath();
// Reads the configuration; a missing or unreadable file gives an empty one.
ClientConfig LoadClientConfig();
// The password from the password file, which must be a regular file of
// mode 0600 owned by the caller; nothing when it is not.
std::optional<std::string> ReadPasswordFile(const std::string& path);

}  // namespace cvclient
