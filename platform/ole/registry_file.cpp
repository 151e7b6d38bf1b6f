#include "ole/registry_file.h"

#include <algorithm>
#include <cstdio>

#include "ole/bstr.h"
#include "ole/registry.h"

namespace ole::reg {

std::string Fold(std::string_view name) {
  bool ascii = std::all_of(name.begin(), name.end(), [](char c) { return (c & 0x80) == 0; });
  if (!ascii) return ToUpperUtf8(name);
  std::string out(name);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

bool ValidName(std::string_view name, std::size_t maxBytes) {
  if (name.size() > maxBytes) return false;
  return std::none_of(name.begin(), name.end(),
                      [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

std::optional<std::vector<std::string>> SplitPath(std::string_view path) {
  std::vector<std::string> parts;
  if (path.empty()) return parts;
  if (path.size() > kMaxPathBytes) return std::nullopt;
  std::size_t start = 0;
  while (true) {
    std::size_t end = path.find('\\', start);
    std::string_view part = path.substr(start, end == std::string_view::npos ? end : end - start);
    if (part.empty() || !ValidName(part, kMaxNameChars)) return std::nullopt;
    parts.emplace_back(part);
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return parts;
}

const Value* Key::Find(std::string_view name) const {
  std::string f = Fold(name);
  for (const auto& v : values)
    if (Fold(v.name) == f) return &v;
  return nullptr;
}

Value& Key::Set(std::string_view name) {
  if (auto* v = const_cast<Value*>(std::as_const(*this).Find(name))) return *v;
  Value v;
  v.name = name;
  values.push_back(std::move(v));
  return values.back();
}

bool Key::Erase(std::string_view name) {
  std::string f = Fold(name);
  auto it = std::find_if(values.begin(), values.end(), [&](const Value& v) { return Fold(v.name) == f; });
  if (it == values.end()) return false;
  values.erase(it);
  return true;
}

Hive::Hive() { keys_.emplace("", Key{}); }

const Key* Hive::Find(std::string_view path) const {
  auto it = keys_.find(Fold(path));
  return it == keys_.end() ? nullptr : &it->second;
}

Key* Hive::Find(std::string_view path) { return const_cast<Key*>(std::as_const(*this).Find(path)); }

Key* Hive::Create(std::string_view path, bool* created) {
  auto parts = SplitPath(path);
  if (!parts) return nullptr;
  if (created) *created = false;
  Key* key = &keys_.at("");
  std::string spelled;
  for (const auto& part : *parts) {
    // Keep the spelling the parent was first written with.
    std::string candidate = spelled.empty() ? part : spelled + "\\" + part;
    auto [it, fresh] = keys_.try_emplace(Fold(candidate));
    if (fresh) it->second.path = candidate;
    if (fresh && created) *created = true;
    key = &it->second;
    spelled = key->path;
  }
  return key;
}

bool Hive::DeleteTree(std::string_view path, bool includeSelf) {
  std::string f = Fold(path);
  if (!keys_.count(f)) return false;
  std::string prefix = f.empty() ? std::string() : f + "\\";
  for (auto it = keys_.lower_bound(prefix); it != keys_.end() && it->first.starts_with(prefix);) {
    if (it->first.empty()) {
      ++it;
      continue;
    }
    it = keys_.erase(it);
  }
  if (includeSelf && !f.empty()) keys_.erase(f);
  return true;
}

std::vector<std::string> Hive::Children(std::string_view path) const {
  std::string f = Fold(path);
  std::string prefix = f.empty() ? std::string() : f + "\\";
  std::vector<std::string> out;
  for (auto it = keys_.lower_bound(prefix); it != keys_.end() && it->first.starts_with(prefix); ++it) {
    std::string_view rest = std::string_view(it->first).substr(prefix.size());
    if (rest.empty() || rest.find('\\') != std::string_view::npos) continue;
    std::string_view spelled = it->second.path;
    out.emplace_back(spelled.substr(spelled.rfind('\\') + 1));
  }
  return out;
}

namespace {

void AppendQuoted(std::string& out, std::string_view s) {
  out.push_back('"');
  for (char c : s) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
}

}  // namespace

std::string Hive::Serialize() const {
  std::string out = "REGEDIT4\r\n";
  for (const auto& [folded, key] : keys_) {
    if (key.path.empty() && key.values.empty()) continue;
    out += "\r\n[";
    out += kRootName;
    if (!key.path.empty()) out += "\\" + key.path;
    out += "]\r\n";
    for (const auto& v : key.values) {
      if (v.name.empty())
        out += "@";
      else
        AppendQuoted(out, v.name);
      out += "=";
      if (v.type == REG_DWORD) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x", static_cast<unsigned>(v.dword));
        out += buf;
      } else {
        AppendQuoted(out, v.text);
      }
      out += "\r\n";
    }
  }
  return out;
}

namespace {

// Reads a quoted string at s[pos] (pos at the opening quote); advances pos past
// the closing quote.
std::optional<std::string> ReadQuoted(std::string_view s, std::size_t& pos) {
  if (pos >= s.size() || s[pos] != '"') return std::nullopt;
  std::string out;
  for (++pos; pos < s.size(); ++pos) {
    char c = s[pos];
    if (c == '"') {
      ++pos;
      return out;
    }
    if (c == '\\') {
      if (++pos >= s.size()) return std::nullopt;
      c = s[pos];
      if (c != '\\' && c != '"') return std::nullopt;
    }
    out.push_back(c);
  }
  return std::nullopt;
}

std::optional<DWORD> ReadDword(std::string_view s) {
  if (s.size() != 8) return std::nullopt;
  DWORD v = 0;
  for (char c : s) {
    int d = (c >= '0' && c <= '9') ? c - '0'
            : (c >= 'a' && c <= 'f') ? c - 'a' + 10
            : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                     : -1;
    if (d < 0) return std::nullopt;
    v = (v << 4) | static_cast<DWORD>(d);
  }
  return v;
}

}  // namespace

std::optional<Hive> Parse(std::string_view text, ParseError* error) {
  auto fail = [&](std::size_t line, std::string msg) -> std::optional<Hive> {
    if (error) *error = ParseError{line, std::move(msg)};
    return std::nullopt;
  };
  if (text.size() > kMaxFileBytes) return fail(0, "file larger than 64 MiB");
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);

  Hive hive;
  Key* current = nullptr;
  bool header = false;
  std::size_t lineNo = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    std::string_view line = text.substr(pos, end == std::string_view::npos ? end : end - pos);
    pos = end == std::string_view::npos ? text.size() : end + 1;
    ++lineNo;
    if (line.size() > kMaxLineBytes) return fail(lineNo, "line longer than 1 MiB");
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string_view trimmed = line;
    while (!trimmed.empty() && (trimmed.front() == ' ' || trimmed.front() == '\t')) trimmed.remove_prefix(1);
    while (!trimmed.empty() && (trimmed.back() == ' ' || trimmed.back() == '\t')) trimmed.remove_suffix(1);
    if (trimmed.empty() || trimmed.front() == ';') continue;

    if (!header) {
      if (trimmed != "REGEDIT4") return fail(lineNo, "expected the REGEDIT4 header");
      header = true;
      continue;
    }
    if (trimmed.front() == '[') {
      if (trimmed.back() != ']') return fail(lineNo, "key line without closing ']'");
      std::string_view path = trimmed.substr(1, trimmed.size() - 2);
      if (!path.starts_with(kRootName)) return fail(lineNo, "key outside HKEY_CLASSES_ROOT");
      path.remove_prefix(kRootName.size());
      if (!path.empty()) {
        if (path.front() != '\\') return fail(lineNo, "key outside HKEY_CLASSES_ROOT");
        path.remove_prefix(1);
      }
      current = hive.Create(path);
      if (!current) return fail(lineNo, "invalid key path");
      continue;
    }
    if (!current) return fail(lineNo, "value before the first key");

    std::size_t p = 0;
    std::string name;
    if (trimmed.front() == '@') {
      p = 1;
    } else {
      auto n = ReadQuoted(trimmed, p);
      if (!n) return fail(lineNo, "malformed value name");
      if (n->empty() || !ValidName(*n, kMaxNameChars)) return fail(lineNo, "invalid value name");
      name = std::move(*n);
    }
    if (p >= trimmed.size() || trimmed[p] != '=') return fail(lineNo, "expected '=' after the value name");
    ++p;
    std::string_view data = trimmed.substr(p);
    Value v;
    v.name = name;
    if (data.starts_with("\"")) {
      std::size_t q = 0;
      auto s = ReadQuoted(data, q);
      if (!s || q != data.size()) return fail(lineNo, "malformed string value");
      if (!ValidName(*s, kMaxValueBytes)) return fail(lineNo, "string value holds a control character");
      v.type = REG_SZ;
      v.text = std::move(*s);
    } else if (data.starts_with("dword:")) {
      auto d = ReadDword(data.substr(6));
      if (!d) return fail(lineNo, "malformed dword value");
      v.type = REG_DWORD;
      v.dword = *d;
    } else {
      return fail(lineNo, "unsupported value type");
    }
    current->Set(v.name) = std::move(v);
  }
  if (!header) return fail(lineNo, "expected the REGEDIT4 header");
  return hive;
}

}  // namespace ole::reg
