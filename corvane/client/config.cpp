#include "corvane/client/config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>

#include "corvane/client/ini.h"

namespace cvclient {
namespace {

std::string Upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}

std::uint32_t Millis(const std::optional<std::string>& v, std::uint32_t fallback) {
  if (!v) return fallback;
  std::uint32_t n = 0;
  auto [p, ec] = std::from_chars(v->data(), v->data() + v->size(), n);
  if (ec != std::errc() || p != v->data() + v->size() || n == 0) return fallback;
  return std::min<std::uint32_t>(n, 600000);
}

}  // namespace

const ServerEntry* ClientConfig::Find(const std::string& name) const {
  for (const auto& s : servers) {
    if (EqualNoCase(s.name, name)) return &s;
  }
  return nullptr;
}

const TreeEntry* ClientConfig::FindTree(const std::string& name) const {
  for (const auto& t : trees) {
    if (EqualNoCase(t.name, name)) return &t;
  }
  return nullptr;
}

bool ParseTreeUrl(const std::string& url, std::string& uri, std::string& base) {
  std::size_t schemeEnd = 0;
  if (url.starts_with("ldap://"))
    schemeEnd = 7;
  else if (url.starts_with("ldaps://"))
    schemeEnd = 8;
  else
    return false;
  const std::size_t slash = url.find('/', schemeEnd);
  const std::string hostPort = url.substr(schemeEnd, slash == std::string::npos ? std::string::npos : slash - schemeEnd);
  if (hostPort.empty() || hostPort.find_first_of(" ?#@") != std::string::npos) return false;
  uri = url.substr(0, schemeEnd) + hostPort;
  base.clear();
  if (slash == std::string::npos) return true;
  const std::string rest = url.substr(slash + 1, url.find('?', slash) == std::string::npos
                                                     ? std::string::npos
                                                     : url.find('?', slash) - slash - 1);
  for (std::size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] != '%') {
      base += rest[i];
      continue;
    }
    if (i + 2 >= rest.size() || !std::isxdigit(static_cast<unsigned char>(rest[i + 1])) ||
        !std::isxdigit(static_cast<unsigned char>(rest[i + 2]))) {
      return false;
    }
    base += static_cast<char>(std::stoi(rest.substr(i + 1, 2), nullptr, 16));
    i += 2;
  }
  return base.find('\0') == std::string::npos;
}

bool ParseTreeUrls(const std::string& value, std::vector<std::string>& uris, std::string& base) {
  uris.clear();
  base.clear();
  constexpr std::size_t kMaxReplicas = 16;
  std::size_t i = 0;
  while (i < value.size()) {
    const std::size_t start = value.find_first_not_of(" \t", i);
    if (start == std::string::npos) break;
    const std::size_t end = std::min(value.find_first_of(" \t", start), value.size());
    std::string uri, b;
    if (uris.size() == kMaxReplicas || !ParseTreeUrl(value.substr(start, end - start), uri, b)) return false;
    if (!uris.empty() && b != base) return false;
    base = b;
    uris.push_back(std::move(uri));
    i = end;
  }
  return !uris.empty();
}

std::string ClientConfigPath() {
  if (const char* p = std::getenv("CORVANE_CLIENT"); p && *p) return p;
  if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x) return std::string(x) + "/corvane/client.ini";
  if (const char* h = std::getenv("HOME"); h && *h) return std::string(h) + "/.config/corvane/client.ini";
  return {};
}

ClientConfig LoadClientConfig() {
  ClientConfig c;
  IniFile ini;
  const std::string path = ClientConfigPath();
  if (path.empty() || !ini.Load(path)) return c;
  for (const auto& [name, value] : ini.Section("Servers")) {
    const auto colon = value.rfind(':');
    if (colon == std::string::npos || colon == 0) continue;
    unsigned port = 0;
    const char* b = value.data() + colon + 1;
    const char* e = value.data() + value.size();
    auto [p, ec] = std::from_chars(b, e, port);
    if (ec != std::errc() || p != e || port == 0 || port > 65535) continue;
    c.servers.push_back({Upper(name), value.substr(0, colon), static_cast<std::uint16_t>(port)});
  }
  for (const auto& [tree, url] : ini.Section("Trees")) {
    TreeEntry t{Upper(tree), {}, {}};
    if (ParseTreeUrls(url, t.uris, t.base)) c.trees.push_back(std::move(t));
  }
  c.user = ini.Get("Login", "User").value_or("");
  c.passwordFile = ini.Get("Login", "PasswordFile").value_or("");
  c.tree = ini.Get("Login", "Tree").value_or("");
  c.connectMs = Millis(ini.Get("Timeouts", "Connect"), c.connectMs);
  c.requestMs = Millis(ini.Get("Timeouts", "Request"), c.requestMs);
  c.caFile = ini.Get("Trust", "CAFile").value_or("");
  const std::string strict = ini.Get("Trust", "Strict").value_or("");
  c.strict = EqualNoCase(strict, "yes") || EqualNoCase(strict, "true") || strict == "1";
  const std::string startTls = ini.Get("Directory", "StartTLS").value_or("");
  c.directoryStartTls = EqualNoCase(startTls, "yes") || EqualNoCase(startTls, "true") || startTls == "1";
  c.directoryCaFile = ini.Get("Directory", "CAFile").value_or("");
  return c;
}

std::optional<std::string> ReadPasswordFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  std::string text;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 07777) == 0600 &&
            st.st_uid == ::geteuid() && st.st_size <= 1024;
  if (ok) {
    char buf[1025];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    ok = n >= 0;
    if (ok) text.assign(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (!ok) return std::nullopt;
  const auto nl = text.find_first_of("\r\n");
  if (nl != std::string::npos) text.resize(nl);
  if (text.empty()) return std::nullopt;
  return text;
}

}  // namespace cvclient
