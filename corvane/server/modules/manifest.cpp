#include "corvane/server/modules/manifest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <toml++/toml.h>

#include "corvane/server/modules/process.h"

namespace cvserver::modules {
namespace {

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool Fail(std::string* error, std::string text) {
  if (error) *error = std::move(text);
  return false;
}

// An array of strings, at least one element when required.
bool ReadStringArray(const toml::node& node, std::string_view key, bool nonEmpty,
                     std::vector<std::string>* out, std::string* error) {
  const toml::array* array = node.as_array();
  if (!array) return Fail(error, std::string(key) + " must be an array of strings");
  for (const toml::node& element : *array) {
    const auto* s = element.as_string();
    if (!s) return Fail(error, std::string(key) + " must hold strings only");
    if (s->get().find('\0') != std::string::npos) return Fail(error, std::string(key) + " holds a NUL");
    out->push_back(s->get());
  }
  if (nonEmpty && (out->empty() || out->front().empty()))
    return Fail(error, std::string(key) + " must name a program");
  return true;
}

bool ReadMilliseconds(const toml::node& node, std::string_view key, bool allowZero,
                      std::chrono::milliseconds* out, std::string* error) {
  const auto* integer = node.as_integer();
  if (!integer) return Fail(error, std::string(key) + " must be an integer");
  const std::int64_t value = integer->get();
  if (value < (allowZero ? 0 : 1) || value > kMaxTimeout.count())
    return Fail(error, std::string(key) + " out of range");
  *out = std::chrono::milliseconds(value);
  return true;
}

bool ParseTcpAddress(std::string_view text, TcpReady* out) {
  std::string_view host;
  std::string_view port;
  if (!text.empty() && text.front() == '[') {
    const auto close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') return false;
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else {
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos) return false;
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  if (host.empty() || port.empty() || port.size() > 5) return false;
  unsigned value = 0;
  for (char c : port) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value == 0 || value > 65535) return false;
  out->host = std::string(host);
  out->port = static_cast<std::uint16_t>(value);
  return IsNumericAddress(out->host);
}

bool ReadReady(const toml::node& node, Manifest* m, const ManifestDefaults& defaults, std::string* error) {
  const toml::table* ready = node.as_table();
  if (!ready) return Fail(error, "ready must be a table");
  const toml::node* tcp = ready->get("tcp");
  const toml::node* alive = ready->get("alive_ms");
  const toml::node* service = ready->get("service");
  if ((tcp != nullptr) + (alive != nullptr) + (service != nullptr) != 1)
    return Fail(error, "ready needs exactly one of tcp, alive_ms and service");
  for (const auto& [key, value] : *ready) {
    (void)value;
    if (key != "tcp" && key != "alive_ms" && key != "service" && key != "timeout_ms")
      return Fail(error, "unknown key ready." + std::string(key.str()));
  }
  m->readyTimeout = defaults.readyTimeout;
  if (const toml::node* timeout = ready->get("timeout_ms")) {
    if (!ReadMilliseconds(*timeout, "ready.timeout_ms", false, &m->readyTimeout, error)) return false;
  }
  if (service) {
    const auto* b = service->as_boolean();
    if (!b || !b->get()) return Fail(error, "ready.service must be true");
    m->readyService = true;
  } else if (tcp) {
    const auto* s = tcp->as_string();
    TcpReady address;
    if (!s || !ParseTcpAddress(s->get(), &address))
      return Fail(error, "ready.tcp must be \"address:port\" with a numeric address");
    m->readyTcp = address;
  } else {
    if (!ReadMilliseconds(*alive, "ready.alive_ms", true, &m->readyAlive, error)) return false;
  }
  return true;
}

bool ReadManifestTable(const toml::table& table, const ManifestDefaults& defaults, Manifest* m,
                       std::string* error) {
  m->readyTimeout = defaults.readyTimeout;
  m->stopTimeout = defaults.stopTimeout;
  bool haveExec = false;
  bool haveReady = false;
  for (const auto& [key, node] : table) {
    const std::string_view k = key.str();
    if (k == "description") {
      const auto* s = node.as_string();
      if (!s) return Fail(error, "description must be a string");
      m->description = s->get();
    } else if (k == "exec") {
      if (!ReadStringArray(node, k, true, &m->exec, error)) return false;
      haveExec = true;
    } else if (k == "preflight") {
      if (!ReadStringArray(node, k, true, &m->preflight, error)) return false;
    } else if (k == "env") {
      const toml::table* env = node.as_table();
      if (!env) return Fail(error, "env must be a table of strings");
      for (const auto& [name, value] : *env) {
        const auto* s = value.as_string();
        const std::string_view n = name.str();
        if (!s || n.empty() || n.find('=') != std::string_view::npos || n.find('\0') != std::string_view::npos ||
            s->get().find('\0') != std::string::npos)
          return Fail(error, "env." + std::string(n) + " must be a string with a plain name");
        m->env.emplace_back(std::string(n), s->get());
      }
    } else if (k == "ready") {
      if (!ReadReady(node, m, defaults, error)) return false;
      haveReady = true;
    } else if (k == "log") {
      const auto* s = node.as_string();
      if (!s || s->get().empty() || s->get().find('\0') != std::string::npos)
        return Fail(error, "log must be a file name");
      m->log = s->get();
    } else if (k == "services") {
      if (!ReadStringArray(node, k, false, &m->services, error)) return false;
      for (const auto& name : m->services) {
        if (name.empty() || name.size() > 255) return Fail(error, "services holds an empty or overlong name");
      }
    } else if (k == "stop_timeout_ms") {
      if (!ReadMilliseconds(node, k, false, &m->stopTimeout, error)) return false;
    } else if (k == "commands") {
      const toml::table* commands = node.as_table();
      if (!commands) return Fail(error, "commands must be a table");
      for (const auto& [command, action] : *commands) {
        const auto* s = action.as_string();
        const std::string_view text = Trim(command.str());
        if (text.empty()) return Fail(error, "commands holds an empty command");
        if (!s || !EqualsNoCase(s->get(), "unload"))
          return Fail(error, "commands.\"" + std::string(command.str()) + "\" must be \"unload\"");
        m->unloadCommands.emplace_back(text);
      }
    } else {
      return Fail(error, "unknown key " + std::string(k));
    }
  }
  if (!haveExec) return Fail(error, "exec is missing");
  if (!haveReady) return Fail(error, "ready is missing");
  if (m->readyService && m->services.empty()) return Fail(error, "ready.service needs services");
  return true;
}

}  // namespace

std::optional<Manifest> ParseManifest(std::string_view text, const ManifestDefaults& defaults,
                                      std::string* error) {
  if (text.size() > kMaxManifestBytes) {
    Fail(error, "manifest too large");
    return std::nullopt;
  }
  Manifest m;
#if TOML_EXCEPTIONS
  try {
    const toml::table table = toml::parse(text);
    if (!ReadManifestTable(table, defaults, &m, error)) return std::nullopt;
  } catch (const toml::parse_error& e) {
    std::string where;
    if (e.source().begin) {
      where = " at line " + std::to_string(e.source().begin.line) + " column " +
              std::to_string(e.source().begin.column);
    }
    Fail(error, std::string(e.description()) + where);
    return std::nullopt;
  }
#else
  toml::parse_result result = toml::parse(text);
  if (!result) {
    const auto& e = result.error();
    Fail(error, std::string(e.description()) + " at line " + std::to_string(e.source().begin.line) +
                    " column " + std::to_string(e.source().begin.column));
    return std::nullopt;
  }
  if (!ReadManifestTable(result.table(), defaults, &m, error)) return std::nullopt;
#endif
  return m;
}

std::vector<std::string> SplitBlanks(std::string_view text) {
  std::vector<std::string> out;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    const std::size_t start = i;
    while (i < text.size() && text[i] != ' ' && text[i] != '\t') ++i;
    if (i > start) out.emplace_back(text.substr(start, i - start));
  }
  return out;
}

std::string ExpandValue(std::string_view value, const std::string& volume, const std::vector<std::string>& args) {
  std::string joined;
  for (const auto& a : args) {
    if (!joined.empty()) joined += ' ';
    joined += a;
  }
  std::string out;
  std::size_t i = 0;
  while (i < value.size()) {
    if (value.substr(i, 8) == "{volume}") {
      out += volume;
      i += 8;
    } else if (value.substr(i, 6) == "{args}") {
      out += joined;
      i += 6;
    } else {
      out += value[i++];
    }
  }
  return out;
}

std::vector<std::string> ExpandArgv(const std::vector<std::string>& templ, const std::string& volume,
                                    const std::vector<std::string>& args) {
  std::vector<std::string> out;
  for (const auto& element : templ) {
    if (element == "{args}") {
      out.insert(out.end(), args.begin(), args.end());
    } else {
      out.push_back(ExpandValue(element, volume, args));
    }
  }
  return out;
}

std::string ToUpper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = UpperAscii(c);
  return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (UpperAscii(a[i]) != UpperAscii(b[i])) return false;
  }
  return true;
}

std::string_view Trim(std::string_view s) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view StripSuffixNoCase(std::string_view name, std::string_view suffix) {
  if (name.size() > suffix.size() && EqualsNoCase(name.substr(name.size() - suffix.size()), suffix))
    return name.substr(0, name.size() - suffix.size());
  return name;
}

std::optional<std::filesystem::path> FindInSearchPath(const std::filesystem::path& volume,
                                                      const std::vector<std::string>& searchPath,
                                                      std::string_view fileName) {
  namespace fs = std::filesystem;
  for (const auto& folder : searchPath) {
    std::error_code ec;
    fs::directory_iterator it(volume / folder, ec);
    if (ec) continue;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
      if (ec) break;
      const std::string name = it->path().filename().string();
      if (!EqualsNoCase(name, fileName)) continue;
      std::error_code statError;
      if (it->is_regular_file(statError)) return it->path();
    }
  }
  return std::nullopt;
}

std::optional<std::string> ReadBoundedFile(const std::filesystem::path& path, std::size_t maxBytes,
                                           std::string* error) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd) {
    Fail(error, std::string("cannot open: ") + std::strerror(errno));
    return std::nullopt;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    Fail(error, "not a regular file");
    return std::nullopt;
  }
  if (static_cast<std::uint64_t>(st.st_size) > maxBytes) {
    Fail(error, "larger than " + std::to_string(maxBytes) + " bytes");
    return std::nullopt;
  }
  std::string text;
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      Fail(error, std::string("read failed: ") + std::strerror(errno));
      return std::nullopt;
    }
    if (n == 0) break;
    if (text.size() + static_cast<std::size_t>(n) > maxBytes) {
      Fail(error, "larger than " + std::to_string(maxBytes) + " bytes");
      return std::nullopt;
    }
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

}  // namespace cvserver::modules
