#include "corvane/wire/cverrors.h"
#include "corvane/server/parameters.h"

#include <spdlog/spdlog.h>
#include <sqlite3.h>

#include <cctype>
#include <charconv>
#include <limits>
#include <memory>

namespace cvserver {
namespace {

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

struct StmtDeleter {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Stmt = std::unique_ptr<sqlite3_stmt, StmtDeleter>;

Stmt Prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) return nullptr;
  return Stmt(s);
}

}  // namespace

ParameterStore::~ParameterStore() { Close(); }

void ParameterStore::Close() {
  if (db_) {
    sqlite3_close(db_);
    db_ = nullptr;
  }
}

bool ParameterStore::Open(const std::string& path, const std::vector<ParameterConfig>& configured,
                          std::string& error) {
  Close();
  entries_.clear();
  for (const auto& p : configured) entries_.push_back({p.name, p.isText, p.text, p.number});
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
    error = "cannot open state file " + path + ": " + (db_ ? sqlite3_errmsg(db_) : "out of memory");
    Close();
    return false;
  }
  sqlite3_busy_timeout(db_, 2000);
  char* msg = nullptr;
  if (sqlite3_exec(db_,
                   "PRAGMA journal_mode=WAL;"
                   "CREATE TABLE IF NOT EXISTS parameter(name TEXT PRIMARY KEY COLLATE NOCASE,"
                   " is_text INTEGER NOT NULL, text_value TEXT, number_value INTEGER);",
                   nullptr, nullptr, &msg) != SQLITE_OK) {
    error = std::string("cannot prepare state file: ") + (msg ? msg : "");
    sqlite3_free(msg);
    Close();
    return false;
  }
  Stmt q = Prepare(db_, "SELECT name, is_text, text_value, number_value FROM parameter");
  if (!q) {
    error = sqlite3_errmsg(db_);
    Close();
    return false;
  }
  while (sqlite3_step(q.get()) == SQLITE_ROW) {
    const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(q.get(), 0));
    Entry* e = name ? Find(name) : nullptr;
    const bool isText = sqlite3_column_int(q.get(), 1) != 0;
    if (!e || e->isText != isText) {
      spdlog::warn("state: ignoring kept value of parameter '{}' (not configured with that type)", name ? name : "");
      continue;
    }
    if (isText) {
      const auto* t = reinterpret_cast<const char*>(sqlite3_column_text(q.get(), 2));
      e->text = t ? t : "";
      if (e->text.size() > kMaxParameterText) e->text.resize(kMaxParameterText);
    } else {
      e->number = static_cast<std::int32_t>(sqlite3_column_int64(q.get(), 3));
    }
  }
  return true;
}

ParameterStore::Entry* ParameterStore::Find(std::string_view name) {
  for (auto& e : entries_) {
    if (SameName(e.name, name)) return &e;
  }
  return nullptr;
}

bool ParameterStore::Persist(const Entry& e) {
  if (!db_) return false;
  Stmt s = Prepare(db_,
                   "INSERT INTO parameter(name, is_text, text_value, number_value) VALUES(?1, ?2, ?3, ?4)"
                   " ON CONFLICT(name) DO UPDATE SET is_text = ?2, text_value = ?3, number_value = ?4");
  if (!s) return false;
  sqlite3_bind_text(s.get(), 1, e.name.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_int(s.get(), 2, e.isText ? 1 : 0);
  if (e.isText) {
    sqlite3_bind_text(s.get(), 3, e.text.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_null(s.get(), 4);
  } else {
    sqlite3_bind_null(s.get(), 3);
    sqlite3_bind_int64(s.get(), 4, e.number);
  }
  const bool ok = sqlite3_step(s.get()) == SQLITE_DONE;
  if (!ok) spdlog::error("state: cannot keep parameter '{}': {}", e.name, sqlite3_errmsg(db_));
  return ok;
}

std::uint32_t ParameterStore::SetText(std::string_view name, std::string_view value) {
  Entry* e = Find(name);
  if (!e) return kCvErrUnknownParameter;
  if (!e->isText) return kCvErrTypeMismatch;
  if (value.size() > kMaxParameterText || value.find('\0') != std::string_view::npos) return kCvErrInvalidArgument;
  e->text = std::string(value);
  return Persist(*e) ? 0 : 518;
}

std::uint32_t ParameterStore::SetNumber(std::string_view name, std::int32_t value) {
  Entry* e = Find(name);
  if (!e) return kCvErrUnknownParameter;
  if (e->isText) return kCvErrTypeMismatch;
  e->number = value;
  return Persist(*e) ? 0 : 518;
}

std::uint32_t ParameterStore::SetFromCommand(std::string_view name, std::string_view value) {
  Entry* e = Find(name);
  if (!e) return kCvErrUnknownParameter;
  if (e->isText) return SetText(name, value);
  bool negative = false;
  std::string_view digits = value;
  if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) {
    negative = digits[0] == '-';
    digits.remove_prefix(1);
  }
  int base = 10;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits.remove_prefix(2);
  }
  std::int64_t v = 0;
  auto [p, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v, base);
  if (digits.empty() || ec != std::errc() || p != digits.data() + digits.size()) return kCvErrTypeMismatch;
  if (negative) v = -v;
  if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::uint32_t>::max()) return kCvErrTypeMismatch;
  return SetNumber(name, static_cast<std::int32_t>(static_cast<std::uint32_t>(v)));
}

}  // namespace cvserver
