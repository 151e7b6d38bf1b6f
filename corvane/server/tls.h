// The agent's TLS identity: its certificate and private key, from the files
// that [tls] names or, when it names none, a key and self-signed certificate
// that the agent makes on its first start in the folder of its state file.
#pragma once

#include <asio/ssl.hpp>

#include <memory>
#include <optional>
#include <string>

#include "corvane/server/config.h"
#include "corvane/wire/auth.h"

namespace cvserver {

struct IdentityFiles {
  std::string certificate;
  std::string key;
  bool own = false;  // the agent's own pair, made when missing
};
IdentityFiles TlsFiles(const ServerConfig& config);

struct Identity {
  std::unique_ptr<asio::ssl::context> context;  // TLS 1.3 only, certificate and key loaded
  std::string fingerprint;                      // SHA-256 of the certificate, "AB:CD:..."
  // A secret that stays the same across restarts while the key does (the
  // decoy salts of unknown users are made from it).
  cvwire::Bytes secret;
  bool made = false;  // the pair was made just now
};

// Loads the identity (making the agent's own pair first when it is missing
// and make is set); nothing, with the reason in error, for an unreadable
// file, a certificate that has expired or is not yet valid, or a key that
// does not match it.
std::optional<Identity> LoadIdentity(const ServerConfig& config, std::string& error, bool make = true);

}  // namespace cvserver
