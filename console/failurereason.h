// Why an Apache command failed: the agent appends the reason a module did
// not load to the module's log (Apache's error_log), as a dated line
// "... [cvserverd:error] ... module NAME did not load: WHY" followed by
// "module NAME output: ..." lines. The console notes where that file ended
// before a command and, when the command fails, reads what was appended.
#pragma once

#include <QString>
#include <cstdint>
#include <string_view>
#include <sys/types.h>

namespace console {

// The newest agent entry in text (lines of a log, the first one possibly cut),
// its lines joined with '\n'; empty when text holds none.
QString NewestAgentEntry(std::string_view text);

// Where a log file ended when a command began.
class ErrorLogMark {
 public:
  // At most this much of what was appended is read: an entry is at most
  // 4 KB, and the newest one is at the end.
  static constexpr std::int64_t kMaxRead = 64 << 10;

  explicit ErrorLogMark(QString path);

  const QString& Path() const { return path_; }
  // The newest agent entry appended since the mark; empty when none. A file
  // that was replaced or cut shorter meanwhile is read from its start.
  QString NewestEntry() const;
  // The entry, or a sentence that says that none was recorded.
  QString Details() const;

 private:
  QString path_;
  std::int64_t size_ = 0;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  bool existed_ = false;
};

}  // namespace console
