// Server parameters: the configured ones with their types, with the values
// clients set kept in an SQLite file so that they survive a restart.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "corvane/server/config.h"

struct sqlite3;

namespace cvserver {

inline constexpr std::size_t kMaxParameterText = 250;

class ParameterStore {
 public:
  struct Entry {
    std::string name;
    bool isText = false;
    std::string text;
    std::int32_t number = 0;
  };

  ParameterStore() = default;
  ~ParameterStore();
  ParameterStore(const ParameterStore&) = delete;
  ParameterStore& operator=(const ParameterStore&) = delete;

  // Opens (creating when needed) the state file and applies the values kept
  // there to the configured parameters. False with error on failure.
  bool Open(const std::string& path, const std::vector<ParameterConfig>& configured, std::string& error);
  void Close();

  // Client codes: 0, 140 wrong type, 191 unknown name, 35067 text too long.
  std::uint32_t SetText(std::string_view name, std::string_view value);
  std::uint32_t SetNumber(std::string_view name, std::int32_t value);
  // A command file's "SET name = value": a number parameter takes a decimal
  // (or 0x hex) integer, anything else is 140; a text parameter takes the text.
  std::uint32_t SetFromCommand(std::string_view name, std::string_view value);

  const std::vector<Entry>& entries() const { return entries_; }

 private:
  Entry* Find(std::string_view name);
  bool Persist(const Entry& e);
  std::vector<Entry> entries_;
  sqlite3* db_ = nullptr;
};

}  // namespace cvserver
