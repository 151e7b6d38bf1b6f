// The registry's contents in memory, and their REGEDIT4 text form.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ole/types.h"

namespace ole::reg {

inline constexpr std::string_view kRootName = "HKEY_CLASSES_ROOT";
inline constexpr std::size_t kMaxFileBytes = 64u << 20;
inline constexpr std::size_t kMaxLineBytes = 1u << 20;
inline constexpr std::size_t kMaxNameChars = 255;   // one key name
inline constexpr std::size_t kMaxPathBytes = 4096;  // a whole key path
inline constexpr std::size_t kMaxValueBytes = 1u << 20;

struct Value {
  std::string name;  // "" is the default value
  DWORD type = 0;    // REG_SZ or REG_DWORD
  std::string text;
  DWORD dword = 0;
};

struct Key {
  std::string path;  // as first written, without the root; "" is the root
  std::vector<Value> values;

  const Value* Find(std::string_view name) const;
  Value& Set(std::string_view name);
  bool Erase(std::string_view name);
};

// The path split into key names, or nullopt when it is not a valid path
// (empty names, control characters, a name or path too long).
std::optional<std::vector<std::string>> SplitPath(std::string_view path);
// A name that may be stored: no control characters, not too long.
bool ValidName(std::string_view name, std::size_t maxBytes);

class Hive {
 public:
  Hive();

  const Key* Find(std::string_view path) const;
  Key* Find(std::string_view path);
  // Creates path and its missing parents; *created tells whether it was new.
  // Null for an invalid path.
  Key* Create(std::string_view path, bool* created = nullptr);
  // Removes path's descendants, and path itself unless it is the root.
  // False when path does not exist.
  bool DeleteTree(std::string_view path, bool includeSelf);
  // Names of the direct subkeys of path, sorted without regard to case.
  std::vector<std::string> Children(std::string_view path) const;

  std::string Serialize() const;

 private:
  std::map<std::string, Key> keys_;  // by upper-cased path
};

struct ParseError {
  std::size_t line = 0;
  std::string message;
};

// Parses REGEDIT4 text; any malformed line is an error with its number.
std::optional<Hive> Parse(std::string_view text, ParseError* error);

// Upper-cased form used to compare key and value names.
std::string Fold(std::string_view name);

}  // namespace ole::reg
