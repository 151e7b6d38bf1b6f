// Profile (INI) files with the Windows profile-string semantics: section and
// key names match without regard to ASCII case and keep their first spelling;
// values are trimmed, and one pair of surrounding quotes is removed on read; a
// missing file, section or key reads as the default. A write replaces the
// value in place and keeps every other line, comments and the file's line
// breaks included; it replaces the whole file atomically, so a crash never
// leaves it half-written. Writes lock "<file>.lock" from the read to the
// replacement, so writers in several processes lose none of each other's keys.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace profile {

std::string GetPrivateProfileString(std::string_view section, std::string_view key, std::string_view defaultValue,
                                    const std::filesystem::path& file);
// Section names in file order, each once.
std::vector<std::string> GetPrivateProfileSectionNames(const std::filesystem::path& file);
// Key names of a section in file order.
std::vector<std::string> GetPrivateProfileKeys(std::string_view section, const std::filesystem::path& file);

struct WriteResult {
  bool ok = true;
  std::string error;  // what went wrong, for the user
  explicit operator bool() const { return ok; }
};

// Sets key in section to value, creating the file, section or key as needed.
// No value deletes the key; no key deletes the section. A name or value with a
// line break, a section name with ']', or a key name with '=' cannot be stored
// faithfully and is refused without touching the file.
WriteResult WritePrivateProfileString(std::string_view section, std::optional<std::string_view> key,
                                      std::optional<std::string_view> value, const std::filesystem::path& file);

namespace detail {
// Called after the new contents are written and before they replace the file;
// tests use it to stop the process there, as a crash would.
extern void (*beforeReplace)();
}  // namespace detail

}  // namespace profile
