#include "profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "posix/file_lock.h"

namespace profile {

void (*detail::beforeReplace)() = nullptr;

namespace {

constexpr std::size_t kMaxFileBytes = 16u << 20;

std::string_view Trim(std::string_view s) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

// One line of the file, without its line break.
struct Line {
  std::string text;
  enum Kind { Other, Section, Entry } kind = Other;
  std::string name;  // section or key name, trimmed
  std::string value;  // entry value, trimmed
};

struct Document {
  std::vector<Line> lines;
  std::string eol = "\r\n";
  bool endsWithEol = true;
};

Line Classify(std::string text) {
  Line l;
  l.text = std::move(text);
  std::string_view t = Trim(l.text);
  if (t.empty() || t.front() == ';') return l;
  if (t.front() == '[') {
    std::size_t close = t.find(']');
    if (close != std::string_view::npos) {
      l.kind = Line::Section;
      l.name = std::string(Trim(t.substr(1, close - 1)));
    }
    return l;
  }
  std::size_t eq = t.find('=');
  if (eq == std::string_view::npos) return l;
  l.kind = Line::Entry;
  l.name = std::string(Trim(t.substr(0, eq)));
  l.value = std::string(Trim(t.substr(eq + 1)));
  return l;
}

Document Parse(std::string_view text) {
  Document doc;
  std::size_t lf = text.find('\n');
  if (lf != std::string_view::npos) doc.eol = (lf > 0 && text[lf - 1] == '\r') ? "\r\n" : "\n";
  doc.endsWithEol = text.empty() || text.back() == '\n';
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    std::string_view raw = text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
    pos = end == std::string_view::npos ? text.size() : end + 1;
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    doc.lines.push_back(Classify(std::string(raw)));
  }
  return doc;
}

std::optional<Document> Load(const std::filesystem::path& file, std::string* error) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    if (errno == ENOENT) return Document{};
    if (error) *error = file.string() + ": " + std::strerror(errno);
    return std::nullopt;
  }
  std::ostringstream s;
  s << in.rdbuf();
  std::string text = s.str();
  if (text.size() > kMaxFileBytes) {
    if (error) *error = file.string() + ": larger than 16 MiB";
    return std::nullopt;
  }
  return Parse(text);
}

Document LoadOrEmpty(const std::filesystem::path& file) {
  auto doc = Load(file, nullptr);
  return doc ? std::move(*doc) : Document{};
}

// The index range [begin, end) of the lines of section (header included).
std::optional<std::pair<std::size_t, std::size_t>> FindSection(const Document& doc, std::string_view section) {
  for (std::size_t i = 0; i < doc.lines.size(); ++i) {
    if (doc.lines[i].kind != Line::Section || !EqualsNoCase(doc.lines[i].name, section)) continue;
    std::size_t end = i + 1;
    while (end < doc.lines.size() && doc.lines[end].kind != Line::Section) ++end;
    return std::pair{i, end};
  }
  return std::nullopt;
}

std::string Unquote(std::string v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    return v.substr(1, v.size() - 2);
  return v;
}

std::string Serialize(const Document& doc) {
  std::string out;
  for (std::size_t i = 0; i < doc.lines.size(); ++i) {
    out += doc.lines[i].text;
    if (i + 1 < doc.lines.size() || doc.endsWithEol) out += doc.eol;
  }
  return out;
}

WriteResult Fail(std::string why) { return WriteResult{false, std::move(why)}; }

WriteResult ReplaceFile(const std::filesystem::path& file, const std::string& text) {
  std::filesystem::path dir = file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
  std::string tmpl = (dir / ("." + file.filename().string() + ".XXXXXX")).string();
  int fd = ::mkstemp(tmpl.data());
  if (fd < 0) return Fail(file.string() + ": cannot write: " + std::strerror(errno));
  struct stat st{};
  mode_t mode = ::stat(file.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
  ::fchmod(fd, mode);
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      std::string why = std::strerror(errno);
      ::close(fd);
      ::unlink(tmpl.c_str());
      return Fail(file.string() + ": cannot write: " + why);
    }
    p += n, left -= static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    ::unlink(tmpl.c_str());
    return Fail(file.string() + ": cannot write: " + std::strerror(errno));
  }
  if (detail::beforeReplace) detail::beforeReplace();
  if (::rename(tmpl.c_str(), file.c_str()) != 0) {
    std::string why = std::strerror(errno);
    ::unlink(tmpl.c_str());
    return Fail(file.string() + ": cannot replace: " + why);
  }
  return {};
}

bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

}  // namespace

std::string GetPrivateProfileString(std::string_view section, std::string_view key, std::string_view defaultValue,
                                    const std::filesystem::path& file) {
  Document doc = LoadOrEmpty(file);
  if (auto range = FindSection(doc, section))
    for (std::size_t i = range->first + 1; i < range->second; ++i)
      if (doc.lines[i].kind == Line::Entry && EqualsNoCase(doc.lines[i].name, key)) return Unquote(doc.lines[i].value);
  return std::string(Trim(defaultValue));
}

std::vector<std::string> GetPrivateProfileSectionNames(const std::filesystem::path& file) {
  std::vector<std::string> names;
  for (const Line& l : LoadOrEmpty(file).lines) {
    if (l.kind != Line::Section) continue;
    bool seen = false;
    for (const auto& n : names) seen = seen || EqualsNoCase(n, l.name);
    if (!seen) names.push_back(l.name);
  }
  return names;
}

std::vector<std::string> GetPrivateProfileKeys(std::string_view section, const std::filesystem::path& file) {
  Document doc = LoadOrEmpty(file);
  std::vector<std::string> keys;
  if (auto range = FindSection(doc, section))
    for (std::size_t i = range->first + 1; i < range->second; ++i)
      if (doc.lines[i].kind == Line::Entry) keys.push_back(doc.lines[i].name);
  return keys;
}

WriteResult WritePrivateProfileString(std::string_view section, std::optional<std::string_view> key,
                                      std::optional<std::string_view> value, const std::filesystem::path& file) {
  std::string_view s = Trim(section);
  if (s.empty() || HasLineBreak(section) || section.find(']') != std::string_view::npos)
    return Fail("The section name \"" + std::string(section) + "\" cannot be stored in " + file.string() + ".");
  if (key && (Trim(*key).empty() || HasLineBreak(*key) || key->find('=') != std::string_view::npos))
    return Fail("The key name \"" + std::string(*key) + "\" cannot be stored in " + file.string() + ".");
  if (value && HasLineBreak(*value))
    return Fail("A value with a line break cannot be stored in " + file.string() + ".");

  // Writers in other processes take turns from the read to the replacement,
  // so that none of them replaces the file with contents that miss another's
  // key.
  const posix::FileLock lock(file.string());
  if (!lock.Held()) return Fail(lock.LockPath() + ": cannot lock: " + std::strerror(lock.Error()));
  std::string error;
  auto loaded = Load(file, &error);
  if (!loaded) return Fail(error);
  Document& doc = *loaded;
  auto range = FindSection(doc, s);
  if (!key) {  // delete the section
    if (!range) return {};
    doc.lines.erase(doc.lines.begin() + static_cast<std::ptrdiff_t>(range->first),
                    doc.lines.begin() + static_cast<std::ptrdiff_t>(range->second));
    return ReplaceFile(file, Serialize(doc));
  }
  std::string k(Trim(*key));
  if (!range) {
    if (!value) return {};
    if (!doc.lines.empty() && !doc.endsWithEol) doc.endsWithEol = true;
    doc.lines.push_back(Classify("[" + std::string(s) + "]"));
    doc.lines.push_back(Classify(k + "=" + std::string(*value)));
    doc.endsWithEol = true;
    return ReplaceFile(file, Serialize(doc));
  }
  std::size_t lastEntry = range->first;
  for (std::size_t i = range->first + 1; i < range->second; ++i) {
    Line& l = doc.lines[i];
    if (l.kind != Line::Entry) continue;  // a new key goes after the last one, before comments
    lastEntry = i;
    if (!EqualsNoCase(l.name, k)) continue;
    if (value)
      l = Classify(l.name + "=" + std::string(*value));  // keeps the key's first spelling
    else
      doc.lines.erase(doc.lines.begin() + static_cast<std::ptrdiff_t>(i));
    return ReplaceFile(file, Serialize(doc));
  }
  if (!value) return {};
  doc.lines.insert(doc.lines.begin() + static_cast<std::ptrdiff_t>(lastEntry + 1), Classify(k + "=" + std::string(*value)));
  if (lastEntry + 1 == doc.lines.size() - 1) doc.endsWithEol = true;
  return ReplaceFile(file, Serialize(doc));
}

}  // namespace profile
