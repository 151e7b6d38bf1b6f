// Applying a configuration read anew while the agent runs (SIGHUP).
#include <spdlog/spdlog.h>

#include <memory>
#include <vector>

#include "corvane/server/agent.h"

namespace cvserver {
namespace {

const UserConfig* FindIn(const ServerConfig& config, const std::string& name) {
  for (const auto& u : config.users) {
    if (u.name == name) return &u;
  }
  return nullptr;
}

// The settings that are bound at start (sockets, files, the connection
// table, the modules' folders) and keep their old value until a restart.
std::vector<std::string> NeedRestart(const ServerConfig& running, const ServerConfig& fresh) {
  std::vector<std::string> keys;
  if (running.name != fresh.name) keys.push_back("name");
  if (running.listenHost != fresh.listenHost || running.listenPort != fresh.listenPort) keys.push_back("listen");
  if (running.portFile != fresh.portFile) keys.push_back("port_file");
  if (running.volume != fresh.volume) keys.push_back("volume");
  if (running.searchPath != fresh.searchPath) keys.push_back("search_path");
  if (running.state != fresh.state) keys.push_back("state");
  if (running.capacity != fresh.capacity) keys.push_back("capacity");
  if (running.messageQueueLimit != fresh.messageQueueLimit) keys.push_back("message_queue");
  if (running.autoexec != fresh.autoexec) keys.push_back("autoexec");
  if (running.runDir != fresh.runDir) keys.push_back("run_dir");
  bool parametersChanged = running.parameters.size() != fresh.parameters.size();
  for (std::size_t i = 0; !parametersChanged && i < fresh.parameters.size(); ++i) {
    const auto& a = running.parameters[i];
    const auto& b = fresh.parameters[i];
    parametersChanged = a.name != b.name || a.isText != b.isText || a.text != b.text || a.number != b.number;
  }
  if (parametersChanged) keys.push_back("[[parameter]]");
  return keys;
}

std::string Join(const std::vector<std::string>& uris) {
  std::string out;
  for (const auto& u : uris) out += (out.empty() ? "" : " ") + u;
  return out;
}

}  // namespace

bool Agent::Reload(const ServerConfig& fresh, std::string& error) {
  // The identity first: it is the only part that can still fail, and a
  // failure must leave everything as it was.
  auto identity = LoadIdentity(fresh, error);
  if (!identity) return false;
  const bool newIdentity = identity->fingerprint != identity_.fingerprint;
  if (identity->made) {
    const IdentityFiles files = TlsFiles(fresh);
    spdlog::info("made a key {} and a self-signed certificate {}", files.key, files.certificate);
  }
  // Sessions keep the TLS context they were made with (OpenSSL counts its
  // users); new connections get the new one.
  identity_ = std::move(*identity);

  for (const auto& key : NeedRestart(config_, fresh)) {
    spdlog::warn("configuration: a change of {} takes effect at the next start", key);
  }
  config_.users = fresh.users;
  config_.directory = fresh.directory;
  config_.tlsCertificate = fresh.tlsCertificate;
  config_.tlsKey = fresh.tlsKey;
  config_.versionMajor = fresh.versionMajor;
  config_.versionMinor = fresh.versionMinor;
  config_.versionRevision = fresh.versionRevision;
  config_.description = fresh.description;
  config_.company = fresh.company;
  config_.peers = fresh.peers;
  config_.idleTimeoutMs = fresh.idleTimeoutMs;
  config_.serviceTimeoutMs = fresh.serviceTimeoutMs;

  // Logged-in users of the file: rights as the file now gives them; users it
  // no longer names are logged out. Directory users answer to the directory.
  std::vector<std::shared_ptr<Session>> removed;
  for (const auto& [slot, weak] : sessions_) {
    auto session = weak.lock();
    if (!session || !session->state().user) continue;
    SessionState& st = session->state();
    const UserConfig* now = FindIn(config_, st.user->name);
    if (!now) {
      spdlog::warn("connection {}: user '{}' is no longer configured, logging it out", slot, st.user->name);
      removed.push_back(std::move(session));
      continue;
    }
    if (now->isOperator != st.user->isOperator) {
      spdlog::info("connection {}: '{}' {} console operator", slot, now->name, now->isOperator ? "is now" : "is no longer");
      table_.SetOperator(slot, now->isOperator);
    }
    st.user = *now;
  }
  for (auto& session : removed) session->Close();

  for (const auto& u : config_.users) {
    if (u.legacyHash) {
      spdlog::warn("user {}: the password is stored in the earlier pbkdf2-sha256 form, which works like the "
                   "password itself; replace it with the output of 'cvserverd hash-password'", u.name);
    }
  }
  spdlog::info("configuration re-read: {} users, directory {}{}", config_.users.size(),
               config_.directory.enabled ? Join(config_.directory.uris) : std::string("none"),
               newIdentity ? ", new server certificate with SHA-256 fingerprint " + identity_.fingerprint : "");
  return true;
}

}  // namespace cvserver
