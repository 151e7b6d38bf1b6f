// The file shown in the main window's editor, without the widgets: which
// file it is, its line-break style, the read-only flag, the unsaved-changes
// flag and the state of the backup commands; loading in large blocks,
// saving (through FileSaver), and the file helpers both use.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace console {

enum class LineBreak { CrLf, Lf, Cr };

// The bytes of a line break: "\r\n", "\n" or "\r".
std::string_view LineBreakBytes(LineBreak style);

// Finds a text's line-break style from its first line break. The text may be
// fed in blocks of any size; a CR at the end of one block waits for the
// first byte of the next.
class LineBreakScanner {
 public:
  void Feed(std::string_view block);
  // The style of the first break seen so far.
  std::optional<LineBreak> Found() const { return found_; }
  // At the end of the text: the style found; CR LF for a text without any
  // break, as for a new file.
  LineBreak Finish();

 private:
  std::optional<LineBreak> found_;
  bool crPending_ = false;
};

// Writes text line by line, each line followed by style, the last line too.
// A line ends at CR LF, LF or a lone CR (as the editor splits lines); a text
// that ends with a break has no further line, and an empty text writes
// nothing.
void WriteLines(std::string_view text, LineBreak style, const std::function<void(std::string_view)>& out);

// The messages of file errors, naming the file and the reason.
QString OpenError(const QString& path, const QString& reason);
QString CreateError(const QString& path, const QString& reason);
QString WriteError(const QString& path, const QString& reason);
// The system's text for an errno value.
QString ErrnoText(int error);
// Fills size bytes by calling readSome(done) (read(2) for the bytes from
// done on) until they are all read or the file ends, again where a signal
// interrupted it; returns how many were read. Throws EFileError naming path.
std::size_t ReadFully(const QString& path, std::size_t size, const std::function<long(std::size_t done)>& readSome);

// A regular file opened for reading. Everything throws EFileError with
// OpenError's text.
class InputFile {
 public:
  explicit InputFile(const QString& path);
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile();

  // The size when it was opened; the file may grow while it is read.
  std::uint64_t Size() const { return size_; }
  // Up to size bytes into buffer; 0 at the end of the file.
  std::size_t Read(char* buffer, std::size_t size);
  int Descriptor() const { return fd_; }

 private:
  QString path_;
  int fd_ = -1;
  std::uint64_t size_ = 0;
};

// Where a document's text lives: the editor, or memory in the tests.
class TextStore {
 public:
  // A new text being filled; it replaces the shown text only when shown.
  // Dropping it unshown discards it.
  class Fill {
   public:
    virtual ~Fill() = default;
    // Throws EFileError when the text cannot hold more.
    virtual void Append(std::string_view bytes) = 0;
  };

  virtual ~TextStore() = default;
  // sizeHint: the expected number of bytes.
  virtual std::unique_ptr<Fill> BeginFill(std::uint64_t sizeHint) = 0;
  // Shows a filled text in place of the current one, without undo history;
  // lines typed into it get style's break. Not an edit.
  virtual void Show(std::unique_ptr<Fill> fill, LineBreak style) = 0;
  // The shown text's bytes, valid until the text changes.
  virtual std::string_view Bytes() = 0;
  virtual void SetReadOnly(bool readOnly) = 0;
  // The shown text is what the current file now holds: a store that keeps
  // an undo history notes the point that undoing can come back to.
  virtual void MarkSaved() {}
};

class Document {
 public:
  enum class Access { Editable, ReadOnly };
  // Told the bytes read so far and the file's size; false stops the load.
  using Progress = std::function<bool(std::uint64_t done, std::uint64_t total)>;

  static constexpr std::size_t kBlockSize = 4 << 20;

  explicit Document(TextStore& text) : text_(text) {}

  // Loads path in place of the shown text and makes it the current file,
  // editable or read-only, with no unsaved changes. Returns false when
  // progress stopped the load. A load that fails (EFileError) or stops
  // changes nothing: text, file, flags and line-break style stay.
  bool Load(const QString& path, Access access, const Progress& progress = {});
  // A user edit: the text now has unsaved changes.
  void Edited() { modified_ = true; }
  // An edit (an undo) brought the text back to what the file holds.
  void BackToSaved() { modified_ = false; }
  // Writes the text to the current file with the file's line breaks,
  // keeping the file's owner, permissions, attributes and links (FileSaver).
  // On failure (EFileError) the file on disk is whole and the changes stay
  // unsaved.
  void Save();
  // Writes the text to path, which becomes the current file once it has
  // been written. The unsaved-changes flag stays as it is.
  void SaveAs(const QString& path);
  // Forgets the current file and discards the text: an empty, editable
  // text without unsaved changes; a new file's line breaks are CR LF.
  void Close();

  const QString& File() const { return file_; }
  LineBreak Break() const { return break_; }
  bool ReadOnly() const { return readOnly_; }
  bool Modified() const { return modified_; }
  bool BackupEnabled() const { return backupEnabled_; }
  void SetBackupEnabled(bool enabled) { backupEnabled_ = enabled; }

 private:
  void WriteTo(const QString& path);

  TextStore& text_;
  QString file_;
  LineBreak break_ = LineBreak::CrLf;
  bool readOnly_ = false;
  bool modified_ = false;
  bool backupEnabled_ = false;
};

}  // namespace console
