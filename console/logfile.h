// A log file shown without reading it into memory: the file is mapped for
// the lines on screen, and a background thread counts its line breaks into a
// sparse index (the number of breaks before every block of a fixed size), so
// that line numbers and line starts are found by a binary search and a scan
// of one block. The file may grow while it is shown; Check tells when it was
// truncated or replaced, which needs a new LogFile. Pages of the mapping that
// a truncation takes away read as zeros instead of raising SIGBUS.
//
// Line breaks are those of the editor: LF, CR LF and a lone CR. A text of n
// breaks has n + 1 lines (the last one empty when the text ends with a
// break).
#pragma once

#include <QString>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "console/document.h"
#include "console/mapguard.h"
#include "posix/unique_fd.h"

namespace console {

// One step of UTF-8 decoding at the start of bytes (not empty): the code
// point and the bytes it took. A byte that does not start a well-formed
// sequence (overlong, surrogate, beyond U+10FFFF, cut short) is U+FFFD and
// takes one byte.
struct Utf8Step {
  char32_t code;
  int length;
};
Utf8Step DecodeUtf8(std::string_view bytes);

// A line as the view draws it: at most kShownBytes of its bytes decoded, tabs
// expanded to tabWidth columns, control characters and invalid bytes as
// U+FFFD; one column per character. column[c] is the byte offset (from the
// line's start) of column c, with one more entry for the end of the shown
// bytes. cut: the line has more bytes than are shown.
struct ShownLine {
  static constexpr std::size_t kShownBytes = 16 << 10;
  QString text;
  std::vector<std::uint32_t> column;
  bool cut = false;
  // The column that holds byte offset (the last column before it).
  int ColumnOf(std::uint64_t offset) const;
};
ShownLine ShowLine(std::string_view line, std::uint64_t fullLength, int tabWidth);

// Writes a text given in pieces line by line, each line followed by style,
// exactly as WriteLines does with the whole text.
class LineWriter {
 public:
  using Out = std::function<void(std::string_view)>;
  LineWriter(LineBreak style, Out out) : brk_(LineBreakBytes(style)), out_(std::move(out)) {}
  void Feed(std::string_view piece);
  void Finish();

 private:
  std::string_view brk_;
  Out out_;
  bool skipLf_ = false;    // the last piece ended with a CR
  bool lineOpen_ = false;  // bytes written since the last break
};

// The number of line breaks in bytes; next is the byte after them (-1 at the
// end of the text), which decides whether a final CR is a break.
std::uint64_t CountBreaks(std::string_view bytes, int next);

class LogFile {
 public:
  static constexpr std::size_t kBlock = 64 << 10;

  // Opens and maps path and starts counting its lines. Throws EFileError
  // with OpenError's text. block: the index's block size (small in tests).
  explicit LogFile(const QString& path, std::size_t block = kBlock);
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;
  ~LogFile();

  const QString& Path() const { return path_; }
  // Whether the file opened is the one with this device and inode.
  bool SameFile(std::uint64_t dev, std::uint64_t inode) const { return dev == dev_ && inode == inode_; }
  std::uint64_t Size() const { return size_; }
  // The style of the first line break (CR LF for a text without any).
  LineBreak Break() const { return break_; }
  // The mapped bytes [from, to), to clipped to the size; valid while this
  // LogFile lives.
  std::string_view Bytes(std::uint64_t from, std::uint64_t to) const;
  // Reads bytes at offset with pread (no mapping involved); fewer at the end.
  std::size_t ReadAt(std::uint64_t offset, char* buffer, std::size_t size) const;
  // Lets go of the pages of [from, to) that reading them mapped in; the
  // bytes stay readable.
  void Release(std::uint64_t from, std::uint64_t to) const;

  // --- the index (any thread may count while these are asked) ---
  // Bytes whose breaks are counted, and whether that is the whole file.
  std::uint64_t IndexedBytes() const;
  bool IndexComplete() const;
  // Lines known so far: exact once the index is complete.
  std::uint64_t KnownLines() const;
  // The number of lines, once the index is complete.
  std::optional<std::uint64_t> LineCount() const;
  // The start of line (0-based), when the index reaches it or it is a few
  // thousand lines past the counted part; nullopt beyond the last line.
  std::optional<std::uint64_t> LineStart(std::uint64_t line) const;
  // The line that holds offset, when the index reaches it.
  std::optional<std::uint64_t> LineOf(std::uint64_t offset) const;
  // Blocks until the index is complete or timeoutMs passes; true when
  // complete. For tests and the bench.
  bool WaitIndexed(int timeoutMs) const;

  // --- lines by their bytes, without the index ---
  // Where the line starting at start ends (its break, or the size).
  std::uint64_t LineEnd(std::uint64_t start) const;
  // The start of the line after the one at start; Size() when it is the last.
  std::uint64_t NextLine(std::uint64_t start) const;
  // The start of the line that holds offset.
  std::uint64_t LineStartAt(std::uint64_t offset) const;
  // The start of the line before the one starting at start (0 stays 0).
  std::uint64_t PrevLine(std::uint64_t start) const;
  // The start of the last line.
  std::uint64_t LastLine() const { return LineStartAt(size_); }

  enum class Change {
    None,       // as it was
    Grown,      // more bytes, now mapped and being counted
    Truncated,  // shorter than before: open it anew
    Replaced,   // the path names another file now (rotation): open it anew
    Missing,    // nothing at the path (rotation in progress): keep showing
    Outgrown,   // grown past the mapping: open it anew, the bytes shown stay
  };
  // Looks at the file on disk and takes in what was appended.
  Change Check();

 private:
  void Scan();
  std::uint64_t BreaksBefore(std::size_t block) const;  // under mutex_
  bool CompleteLocked() const;                         // under mutex_
  std::uint64_t CountRange(std::uint64_t from, std::uint64_t to) const;
  // The offset just after the n-th break (1-based) at or after from.
  std::uint64_t AfterBreak(std::uint64_t from, std::uint64_t n) const;

  QString path_;
  posix::UniqueFd fd_;
  std::uint64_t dev_ = 0, inode_ = 0;
  std::size_t block_;
  const char* map_ = nullptr;  // reserve_ bytes; those past the size are not read
  std::uint64_t reserve_ = 0;
  std::unique_ptr<MapGuard> guard_;
  std::uint64_t size_ = 0;  // as the window thread knows it
  LineBreak break_ = LineBreak::CrLf;

  // Shared with the counting thread.
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::uint64_t> breaks_;  // breaks_[i]: breaks in blocks 0..i
  std::uint64_t scanSize_ = 0;         // the size the thread may count to
  bool stop_ = false;
  std::thread scanner_;
};

}  // namespace console
