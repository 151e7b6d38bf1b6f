#include "corvane/server/config.h"

#include "corvane/directory/ldapdir.h"

#include <toml++/toml.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <limits>

namespace cvserver {
namespace {

std::string Upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}

bool ParseHostPort(const std::string& text, std::string& host, std::uint16_t& port) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  host = text.substr(0, colon);
  unsigned value = 0;
  const char* b = text.data() + colon + 1;
  const char* e = text.data() + text.size();
  auto [p, ec] = std::from_chars(b, e, value);
  if (ec != std::errc() || p != e || b == e || value > 65535) return false;
  port = static_cast<std::uint16_t>(value);
  return true;
}

bool ParseVersion(const std::string& text, ServerConfig& c) {
  std::uint32_t parts[3] = {0, 0, 0};
  std::size_t i = 0;
  const char* p = text.data();
  const char* e = p + text.size();
  while (p < e && i < 3) {
    auto [q, ec] = std::from_chars(p, e, parts[i]);
    if (ec != std::errc()) return false;
    ++i;
    p = q;
    if (p < e) {
      if (*p != '.') return false;
      ++p;
    }
  }
  if (i == 0 || p != e) return false;
  c.versionMajor = parts[0];
  c.versionMinor = parts[1];
  c.versionRevision = parts[2];
  return true;
}

std::vector<std::string> Strings(toml::node_view<toml::node> v) {
  std::vector<std::string> out;
  if (const auto* arr = v.as_array()) {
    for (const auto& n : *arr) {
      if (auto s = n.value<std::string>()) out.push_back(*s);
    }
  }
  return out;
}

bool LoadDirectory(const toml::table& root, DirectoryConfig& d, std::string& error) {
  const auto* t = root["directory"].as_table();
  if (!t) return true;
  d.enabled = true;
  // uri: one URI, several separated by blanks, or an array of them.
  if (const auto* list = (*t)["uri"].as_array()) {
    for (const auto& u : *list) {
      if (auto v = u.value<std::string>()) d.uris.push_back(*v);
    }
  } else {
    d.uris = cvdir::SplitUris((*t)["uri"].value_or(std::string()));
  }
  d.startTls = (*t)["start_tls"].value_or(false);
  d.caFile = (*t)["ca_file"].value_or(std::string());
  const std::int64_t workers = (*t)["workers"].value_or(std::int64_t{4});
  d.base = (*t)["base"].value_or(std::string());
  d.tree = Upper((*t)["tree"].value_or(std::string()));
  d.server = Upper((*t)["server"].value_or(std::string()));
  d.operators = (*t)["operators"].value_or(std::string());
  d.bindDn = (*t)["bind_dn"].value_or(std::string());
  d.bindPasswordFile = (*t)["bind_password_file"].value_or(std::string());
  const std::int64_t timeout = (*t)["timeout_ms"].value_or(std::int64_t{5000});
  const bool urisOk = !d.uris.empty() && d.uris.size() <= 16 && std::all_of(d.uris.begin(), d.uris.end(), [](const auto& u) {
    return (u.starts_with("ldap://") || u.starts_with("ldaps://")) && u.find_first_of(" \t,/?", u.find("//") + 2) ==
                                                                          std::string::npos;
  });
  if (!urisOk || d.tree.empty() || d.tree.size() > 32 || d.server.empty() || d.server.size() > 514) {
    error = "[directory] needs uri (ldap://host:port or ldaps://host:port, up to 16 of them), tree and server";
    return false;
  }
  if (!d.caFile.empty() && ::access(d.caFile.c_str(), R_OK) != 0) {
    error = "[directory] ca_file " + d.caFile + " cannot be read";
    return false;
  }
  if (workers < 1 || workers > 64) {
    error = "[directory] workers must be 1 to 64";
    return false;
  }
  d.workers = static_cast<std::uint32_t>(workers);
  if (timeout < 100 || timeout > 600000 || (!d.bindDn.empty() && d.bindPasswordFile.empty())) {
    error = "[directory] timeout_ms out of range, or bind_dn without bind_password_file";
    return false;
  }
  d.timeoutMs = static_cast<std::uint32_t>(timeout);
  return true;
}

bool LoadAudit(const toml::table& root, const std::string& state, AuditConfig& a, std::string& error) {
  if (const auto* t = root["audit"].as_table()) {
    a.enabled = (*t)["enabled"].value_or(true);
    a.file = (*t)["file"].value_or(std::string());
    const std::int64_t maxSize = (*t)["max_size"].value_or(std::int64_t{10 * 1024 * 1024});
    const std::int64_t keep = (*t)["keep"].value_or(std::int64_t{5});
    if (maxSize < 4096 || keep < 1 || keep > 1000) {
      error = "[audit] max_size must be at least 4096 and keep 1..1000";
      return false;
    }
    a.maxSize = static_cast<std::uint64_t>(maxSize);
    a.keep = static_cast<std::uint32_t>(keep);
    const auto journal = (*t)["journal"];
    if (journal.is_boolean()) {
      a.journal = journal.value_or(true) ? AuditConfig::Journal::On : AuditConfig::Journal::Off;
    } else if (journal && journal.value_or(std::string()) != "auto") {
      error = "[audit] journal must be true, false or \"auto\"";
      return false;
    }
    a.required = (*t)["required"].value_or(false);
  }
  if (a.file.empty()) {
    std::error_code ec;
    const auto abs = std::filesystem::absolute(state, ec);
    a.file = ((ec ? std::filesystem::path(state) : abs).parent_path() / "audit.log").string();
  }
  return true;
}

// [logins]: the throttle on failed logins.
bool LoadThrottle(const toml::table& root, ThrottleConfig& t, std::string& error) {
  const auto* l = root["logins"].as_table();
  if (!l) return true;
  struct Count {
    const char* key;
    std::uint32_t* value;
    std::int64_t min, max;
  };
  struct Time {
    const char* key;
    std::chrono::milliseconds* value;
    std::int64_t min, max;
  };
  const Count counts[] = {{"free_failures", &t.freeFailures, 0, 1000},
                          {"user_lockout_after", &t.userLockoutAfter, 1, 100000},
                          {"address_lockout_after", &t.addressLockoutAfter, 1, 100000}};
  const Time times[] = {{"first_delay_ms", &t.firstDelay, 0, 60000},
                        {"max_delay_ms", &t.maxDelay, 0, 60000},
                        {"user_lockout_ms", &t.userLockout, 0, 86400000},
                        {"address_lockout_ms", &t.addressLockout, 0, 86400000},
                        {"forget_after_ms", &t.forgetAfter, 1000, 86400000},
                        {"trusted_for_ms", &t.trustedFor, 0, 30LL * 86400000}};
  for (const auto& c : counts) {
    const std::int64_t v = (*l)[c.key].value_or(std::int64_t{*c.value});
    if (v < c.min || v > c.max) {
      error = std::string("[logins] ") + c.key + " must be " + std::to_string(c.min) + ".." + std::to_string(c.max);
      return false;
    }
    *c.value = static_cast<std::uint32_t>(v);
  }
  for (const auto& c : times) {
    const std::int64_t v = (*l)[c.key].value_or(std::int64_t{c.value->count()});
    if (v < c.min || v > c.max) {
      error = std::string("[logins] ") + c.key + " must be " + std::to_string(c.min) + ".." + std::to_string(c.max);
      return false;
    }
    *c.value = std::chrono::milliseconds(v);
  }
  if (t.maxDelay < t.firstDelay) {
    error = "[logins] max_delay_ms is below first_delay_ms";
    return false;
  }
  return true;
}

}  // namespace

std::optional<ServerConfig> LoadConfig(const std::string& path, std::string& error) {
  toml::table root;
  try {
    root = toml::parse_file(path);
  } catch (const toml::parse_error& e) {
    error = std::string(e.description());
    return std::nullopt;
  }
  ServerConfig c;
  const auto server = root["server"];
  c.name = Upper(server["name"].value_or(std::string()));
  if (c.name.empty() || c.name.size() >= 48) {
    error = "[server] name is missing or too long";
    return std::nullopt;
  }
  if (auto listen = server["listen"].value<std::string>()) {
    if (!ParseHostPort(*listen, c.listenHost, c.listenPort)) {
      error = "[server] listen is not host:port";
      return std::nullopt;
    }
  }
  c.portFile = server["port_file"].value_or(std::string());
  c.volume = server["volume"].value_or(std::string());
  if (!c.volume.empty()) {
    // Scripts and modules change into the volume before they resolve paths
    // in it: a relative volume would no longer lead anywhere from there.
    std::error_code ec;
    const auto absolute = std::filesystem::absolute(c.volume, ec);
    if (ec) {
      error = "[server] volume " + c.volume + ": " + ec.message();
      return std::nullopt;
    }
    c.volume = absolute.lexically_normal().string();
    if (c.volume.size() > 1 && c.volume.back() == '/') c.volume.pop_back();
  }
  c.searchPath = Strings(server["search_path"]);
  if (c.searchPath.empty()) c.searchPath.push_back("SYSTEM");
  c.state = server["state"].value_or(std::string());
  if (c.state.empty()) {
    error = "[server] state is missing";
    return std::nullopt;
  }
  const std::int64_t capacity = server["capacity"].value_or(std::int64_t{250});
  if (capacity < 1 || capacity > 65535) {
    error = "[server] capacity must be 1..65535";
    return std::nullopt;
  }
  c.capacity = static_cast<std::uint32_t>(capacity);
  if (!ParseVersion(server["version"].value_or(std::string("1.0.0")), c)) {
    error = "[server] version is not N.N.N";
    return std::nullopt;
  }
  c.description = server["description"].value_or(std::string());
  c.company = server["company"].value_or(std::string());
  for (auto& p : Strings(server["peers"])) c.peers.push_back(Upper(p));
  const std::int64_t idle = server["idle_timeout_ms"].value_or(std::int64_t{300000});
  const std::int64_t queue = server["message_queue"].value_or(std::int64_t{16});
  if (idle < 100 || idle > 86400000 || queue < 1 || queue > 1024) {
    error = "[server] idle_timeout_ms or message_queue out of range";
    return std::nullopt;
  }
  c.idleTimeoutMs = static_cast<std::uint32_t>(idle);
  c.messageQueueLimit = static_cast<std::uint32_t>(queue);
  c.autoexec = server["autoexec"].value_or(std::string());
  c.runDir = server["run_dir"].value_or(std::string());
  if (c.runDir.empty()) {
    std::error_code ec;
    const auto state = std::filesystem::absolute(c.state, ec);
    c.runDir = ((ec ? std::filesystem::path(c.state) : state).parent_path() / "run").string();
  }
  const std::int64_t serviceTimeout = server["service_timeout_ms"].value_or(std::int64_t{30000});
  if (serviceTimeout < 100 || serviceTimeout > 600000) {
    error = "[server] service_timeout_ms must be 100..600000";
    return std::nullopt;
  }
  c.serviceTimeoutMs = static_cast<std::uint32_t>(serviceTimeout);
  const std::int64_t loginTimeout = server["login_timeout_ms"].value_or(std::int64_t{30000});
  const std::int64_t unauthenticated = server["max_unauthenticated"].value_or(std::int64_t{512});
  const std::int64_t perAddress = server["max_unauthenticated_per_address"].value_or(std::int64_t{16});
  const std::int64_t reserve = server["operator_reserve"].value_or(std::int64_t{capacity > 1 ? 1 : 0});
  if (loginTimeout < 100 || loginTimeout > 600000 || unauthenticated < 1 || unauthenticated > 100000 ||
      perAddress < 1 || perAddress > unauthenticated) {
    error = "[server] login_timeout_ms, max_unauthenticated or max_unauthenticated_per_address out of range";
    return std::nullopt;
  }
  if (reserve < 0 || reserve >= capacity) {
    error = "[server] operator_reserve must be 0..capacity-1";
    return std::nullopt;
  }
  c.loginTimeoutMs = static_cast<std::uint32_t>(loginTimeout);
  c.maxUnauthenticated = static_cast<std::uint32_t>(unauthenticated);
  c.maxUnauthenticatedPerAddress = static_cast<std::uint32_t>(perAddress);
  c.operatorReserve = static_cast<std::uint32_t>(reserve);
  if (!LoadThrottle(root, c.throttle, error)) return std::nullopt;

  if (const auto* users = root["user"].as_array()) {
    std::uint32_t id = 0x01000001;
    for (const auto& node : *users) {
      const auto* t = node.as_table();
      if (!t) continue;
      UserConfig u;
      u.name = Upper((*t)["name"].value_or(std::string()));
      const std::string stored = (*t)["password"].value_or(std::string());
      auto verifier = cvwire::scram::ParseVerifier(stored);
      if (!verifier) {
        // The earlier form holds SCRAM's SaltedPassword: converted, and
        // reported at the start as password-equivalent.
        if (auto hash = cvwire::ParsePasswordHash(stored)) {
          verifier = cvwire::scram::VerifierFromSaltedPassword(hash->key, hash->salt, hash->iterations);
          u.legacyHash = true;
        }
      }
      if (u.name.empty() || !verifier) {
        error = "[[user]] " + u.name + ": name or password verifier is invalid";
        return std::nullopt;
      }
      u.verifier = std::move(*verifier);
      u.isOperator = (*t)["operator"].value_or(false);
      u.objectId = id++;
      c.users.push_back(std::move(u));
    }
  }
  if (const auto tls = root["tls"]; tls) {
    c.tlsCertificate = tls["certificate"].value_or(std::string());
    c.tlsKey = tls["key"].value_or(std::string());
    if (c.tlsCertificate.empty() != c.tlsKey.empty()) {
      error = "[tls] needs both certificate and key, or neither";
      return std::nullopt;
    }
  }
  if (const auto* params = root["parameter"].as_array()) {
    for (const auto& node : *params) {
      const auto* t = node.as_table();
      if (!t) continue;
      ParameterConfig p;
      p.name = (*t)["name"].value_or(std::string());
      const std::string type = (*t)["type"].value_or(std::string("number"));
      if (p.name.empty() || p.name.size() > 200) {
        error = "[[parameter]] without a usable name";
        return std::nullopt;
      }
      if (type == "text") {
        p.isText = true;
        p.text = (*t)["value"].value_or(std::string());
        if (p.text.size() > 250) {
          error = "[[parameter]] " + p.name + ": text too long";
          return std::nullopt;
        }
      } else if (type == "number") {
        const std::int64_t v = (*t)["value"].value_or(std::int64_t{0});
        if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::uint32_t>::max()) {
          error = "[[parameter]] " + p.name + ": number out of range";
          return std::nullopt;
        }
        p.number = static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
      } else {
        error = "[[parameter]] " + p.name + ": type must be number or text";
        return std::nullopt;
      }
      c.parameters.push_back(std::move(p));
    }
  }
  if (!LoadDirectory(root, c.directory, error)) return std::nullopt;
  if (!LoadAudit(root, c.state, c.audit, error)) return std::nullopt;
  return c;
}

}  // namespace cvserver
