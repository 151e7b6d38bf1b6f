// A small INI reader for client.ini: [Section] headers, KEY=VALUE lines,
// comments starting with ';' or '#'. Section and key names compare without
// regard to case; values are trimmed. The file and its lines are bounded.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cvclient {

inline constexpr std::size_t kMaxIniFile = 256 * 1024;
inline constexpr std::size_t kMaxIniLine = 4096;

class IniFile {
 public:
  using Entries = std::vector<std::pair<std::string, std::string>>;

  // Parses text; false (with the 1-based line in errorLine) for a line that
  // is too long or a section header without its ']'.
  bool Parse(std::string_view text, std::size_t* errorLine = nullptr);
  // Reads a file of at most kMaxIniFile bytes; false when it cannot be read or parsed.
  bool Load(const std::string& path);

  std::optional<std::string> Get(std::string_view section, std::string_view key) const;
  // Keys of a section in file order; empty for a missing section.
  const Entries& Section(std::string_view section) const;

 private:
  std::vector<std::pair<std::string, Entries>> sections_;
};

bool EqualNoCase(std::string_view a, std::string_view b);

}  // namespace cvclient
