#include "corvane/client/ini.h"

#include <cctype>
#include <fstream>
#include <sstream>

namespace cvclient {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

}  // namespace

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

bool IniFile::Parse(std::string_view text, std::size_t* errorLine) {
  sections_.clear();
  if (text.size() > kMaxIniFile) {
    if (errorLine) *errorLine = 0;
    return false;
  }
  Entries* current = nullptr;
  std::size_t lineNo = 0;
  while (!text.empty()) {
    ++lineNo;
    const auto nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    if (line.size() > kMaxIniLine) {
      if (errorLine) *errorLine = lineNo;
      return false;
    }
    line = Trim(line);
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      const auto close = line.find(']');
      if (close == std::string_view::npos) {
        if (errorLine) *errorLine = lineNo;
        return false;
      }
      const std::string_view name = Trim(line.substr(1, close - 1));
      current = nullptr;
      for (auto& [n, e] : sections_) {
        if (EqualNoCase(n, name)) current = &e;
      }
      if (!current) {
        sections_.emplace_back(std::string(name), Entries{});
        current = &sections_.back().second;
      }
      continue;
    }
    const auto eq = line.find('=');
    if (eq == std::string_view::npos || !current) continue;  // not a key line: ignored
    const std::string key(Trim(line.substr(0, eq)));
    const std::string value(Trim(line.substr(eq + 1)));
    if (key.empty()) continue;
    bool replaced = false;
    for (auto& [k, v] : *current) {
      if (EqualNoCase(k, key)) {
        v = value;
        replaced = true;
      }
    }
    if (!replaced) current->emplace_back(key, value);
  }
  return true;
}

bool IniFile::Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string text(kMaxIniFile + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  return Parse(text);
}

std::optional<std::string> IniFile::Get(std::string_view section, std::string_view key) const {
  for (const auto& [k, v] : Section(section)) {
    if (EqualNoCase(k, key)) return v;
  }
  return std::nullopt;
}

const IniFile::Entries& IniFile::Section(std::string_view section) const {
  static const Entries kEmpty;
  for (const auto& [n, e] : sections_) {
    if (EqualNoCase(n, section)) return e;
  }
  return kEmpty;
}

}  // namespace cvclient
