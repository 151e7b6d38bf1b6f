// Saving a file so that it keeps everything it carries besides its content:
// owner and group, permissions, extended attributes and POSIX ACLs (which
// Linux keeps as extended attributes), and its hard links.
#pragma once

#include <sys/stat.h>

#include <QString>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "console/sidefiles.h"
#include "posix/unique_fd.h"

namespace console {

// Writes a file's new content, choosing how:
//
// - Replace: the content goes to a temporary file in the same folder, which
//   gets the old file's owner, group, permissions and extended attributes and
//   is flushed and renamed over it. Chosen for a new file, and for an existing
//   one when the rename keeps everything: a single link, a folder where the
//   temporary file may be made, and owner, group, permissions and every
//   extended attribute that could all be set on it.
// - InPlace: otherwise the file itself is rewritten from the start and cut to
//   the new length, so it keeps its inode. Its old content is first copied to
//   a recovery file "NAME.ww-old-XXXXXXXX" (flushed to the disk) in the same
//   folder, else, where the folder allows none or the disk has no room for
//   it, in the recovery folder ($XDG_STATE_HOME, else ~/.local/state, then
//   webwarden32/recovery); with no room there either the save is refused
//   before the file is touched. A failure writes the old content back, and
//   the recovery file is removed once the new content is on the disk. A
//   crash mid-write leaves the old content in the recovery file.
//
// The temporary file ".NAME.ww-XXXXXXXX" and the recovery file stay locked
// while their save runs; a save removes the temporary files of the same
// target that killed saves left behind (a recovery file stays: it may hold
// the only whole copy of the old content).
//
// Either way a failure leaves the old content whole and throws EFileError
// with the reason. A target reached through a symbolic link is written where
// the link points; a file that may not be written is refused before anything
// is touched. Until Commit nothing is visible at the target in Replace mode;
// a writer dropped without Commit undoes what it did.
class FileSaver {
 public:
  enum class Method { Replace, InPlace };

  explicit FileSaver(const QString& target);
  FileSaver(const FileSaver&) = delete;
  FileSaver& operator=(const FileSaver&) = delete;
  ~FileSaver();

  void Write(std::string_view bytes);
  void Commit();

  Method Chosen() const { return method_; }
  // The temporary file (Replace) or the recovery file (InPlace), while there
  // is one.
  const QString& SidePath() const { return sidePath_; }

  // Where InPlace keeps the old content when its folder cannot; empty
  // without a home folder.
  static QString RecoveryFolder();

 private:
  bool PrepareReplacement(const struct stat& old);
  void PrepareInPlace();
  // Makes the recovery file in dir, tagged with the file it belongs to, and
  // copies the old content to it.
  bool CopyOldTo(const QString& dir, const QString& prefix, const std::string& tag, int* error);
  // Removes the recovery copies killed saves left of this file.
  void RetireCopies();
  void Flush();
  // Writes the old content back (InPlace); false when that failed too.
  bool Restore();
  // Undoes everything and throws EFileError with text (and where the old
  // content is, when it could not be written back).
  [[noreturn]] void Fail(const QString& text);
  void Undo();
  void RemoveSide();

  QString target_;  // as given, for messages
  QString realTarget_;
  Method method_ = Method::Replace;
  posix::UniqueFd fd_;    // the temporary file, or the target itself
  posix::UniqueFd side_;  // InPlace: the recovery file
  QString sidePath_;
  std::string oldTag_;  // the existing file's, for its recovery copies
  std::uint64_t oldSize_ = 0;
  std::uint64_t written_ = 0;
  bool touched_ = false;  // InPlace: the target has been written to
  bool done_ = false;
  std::string buffer_;
};

// The recovery copy that an in-place save of a file left behind when it was
// killed or crashed mid-write (no save holds it any more), found beside the
// file or in the recovery folder and held while this object lives. Only a
// copy made of this very file (same device, inode and path) is found.
class InterruptedSave {
 public:
  static std::optional<InterruptedSave> Find(const QString& target);

  const QString& Copy() const { return copy_.path; }
  // Writes the copy back over the file in place, so that the file holds
  // its whole content from before that save, and removes the copy. Throws
  // EFileError (the copy stays) when that fails.
  void Restore();

 private:
  InterruptedSave(QString target, QString real, StaleFile copy)
      : target_(std::move(target)), real_(std::move(real)), copy_(std::move(copy)) {}

  QString target_;
  QString real_;
  StaleFile copy_;
};

// What the console asks before it puts an interrupted save's copy back.
QString InterruptedSaveQuestion(const QString& target, const QString& copy);

}  // namespace console
