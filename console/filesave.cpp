#include "console/filesave.h"

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QDir>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <vector>

#include "console/document.h"
#include "console/errors.h"
#include "console/sidefiles.h"

namespace console {
namespace {

constexpr std::size_t kWriteBuffer = 1 << 20;
constexpr std::size_t kCopyBlock = 1 << 20;

QByteArray Native(const QString& path) { return QFile::encodeName(path); }

// Where the temporary file of a save of name is made: hidden, beside it.
QString TemporaryPrefix(const QString& name) { return QStringLiteral(".%1.ww-").arg(name); }
// The recovery copy of the old content of name.
QString CopyPrefix(const QString& name) { return QStringLiteral("%1.ww-old-").arg(name); }

// The extended attribute of a recovery copy that names its file: device,
// inode and path, so that a copy is only ever put back into that file.
constexpr const char* kCopyTag = "user.webwarden32.file";

std::string CopyTag(const struct stat& st, const QString& path) {
  return std::to_string(st.st_dev) + ' ' + std::to_string(st.st_ino) + ' ' + Native(path).toStdString();
}

// The real file a path names (through a symbolic link), as the save writes it.
QString RealPath(const QString& target) {
  const QFileInfo link(target);
  if (!link.isSymLink()) return target;
  const QString canonical = link.canonicalFilePath();
  return canonical.isEmpty() ? link.symLinkTarget() : canonical;
}

QString NotRegular(const struct stat& st) {
  return S_ISDIR(st.st_mode) ? ErrnoText(EISDIR) : QStringLiteral("It is not a regular file.");
}

bool WriteAt(int fd, const char* data, std::size_t size, std::uint64_t offset, int* error) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pwrite(fd, data + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = errno;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Copies the first size bytes of from to the start of to.
bool CopyBytes(int from, int to, std::uint64_t size, int* error) {
  std::vector<char> block(kCopyBlock);
  std::uint64_t done = 0;
  while (done < size) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), size - done));
    const ssize_t n = ::pread(from, block.data(), want, static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = errno;
      return false;
    }
    if (n == 0) {
      *error = EIO;  // the file shrank under us
      return false;
    }
    if (!WriteAt(to, block.data(), static_cast<std::size_t>(n), done, error)) return false;
    done += static_cast<std::uint64_t>(n);
  }
  return true;
}

// The names of a file's extended attributes; false when they cannot be
// listed (a file system without them has none).
bool XattrNames(int fd, std::vector<std::string>& names) {
  names.clear();
  for (int attempt = 0; attempt < 10; ++attempt) {
    const ssize_t size = ::flistxattr(fd, nullptr, 0);
    if (size < 0) return errno == ENOTSUP;
    std::string list(static_cast<std::size_t>(size), '\0');
    const ssize_t got = size == 0 ? 0 : ::flistxattr(fd, list.data(), list.size());
    if (got < 0) {
      if (errno == ERANGE) continue;  // it grew meanwhile
      return false;
    }
    list.resize(static_cast<std::size_t>(got));
    for (std::size_t at = 0; at < list.size();) {
      std::size_t end = list.find('\0', at);
      if (end == std::string::npos) end = list.size();
      if (end > at) names.push_back(list.substr(at, end - at));
      at = end + 1;
    }
    return true;
  }
  return false;
}

bool XattrValue(int fd, const std::string& name, std::string& value) {
  for (int attempt = 0; attempt < 10; ++attempt) {
    const ssize_t size = ::fgetxattr(fd, name.c_str(), nullptr, 0);
    if (size < 0) return false;
    value.assign(static_cast<std::size_t>(size), '\0');
    const ssize_t got = size == 0 ? 0 : ::fgetxattr(fd, name.c_str(), value.data(), value.size());
    if (got >= 0) {
      value.resize(static_cast<std::size_t>(got));
      return true;
    }
    if (errno != ERANGE) return false;
  }
  return false;
}

// Gives to exactly the extended attributes of from (ACLs included): those
// that to got on its own, such as an ACL inherited from the folder, go.
bool CopyXattrs(int from, int to) {
  std::vector<std::string> wanted;
  std::vector<std::string> present;
  if (!XattrNames(from, wanted) || !XattrNames(to, present)) return false;
  for (const std::string& name : present)
    if (std::find(wanted.begin(), wanted.end(), name) == wanted.end() && ::fremovexattr(to, name.c_str()) != 0)
      return false;
  std::string value;
  for (const std::string& name : wanted) {
    if (!XattrValue(from, name, value)) return false;
    if (::fsetxattr(to, name.c_str(), value.data(), value.size(), 0) != 0) return false;
  }
  return true;
}

// A rename or a removal reaches the disk with its folder.
void SyncFolder(const QString& file) {
  posix::UniqueFd dir(::open(Native(QFileInfo(file).absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) ::fsync(dir.get());
}

// The recovery copies of the file real (with the tag it had) that killed
// saves left, beside it and in the recovery folder, each held locked.
std::vector<StaleFile> CopiesOf(const QString& real, const std::string& tag) {
  const QFileInfo info(real);
  std::vector<StaleFile> found = TakeStaleSideFiles(info.absolutePath(), CopyPrefix(info.fileName()));
  const QString folder = FileSaver::RecoveryFolder();
  if (!folder.isEmpty() && QFileInfo(folder).canonicalFilePath() != QFileInfo(info.absolutePath()).canonicalFilePath())
    for (StaleFile& f : TakeStaleSideFiles(folder, CopyPrefix(info.fileName()))) found.push_back(std::move(f));
  std::vector<StaleFile> out;
  std::string value;
  for (StaleFile& f : found)
    if (XattrValue(f.fd.get(), kCopyTag, value) && value == tag) out.push_back(std::move(f));
  return out;
}

}  // namespace

FileSaver::FileSaver(const QString& target) : target_(target), realTarget_(RealPath(target)) {
  if (target.isEmpty()) throw EFileError(CreateError(target, ErrnoText(ENOENT)));
  const QFileInfo info(realTarget_);
  struct stat old {};
  const bool existing = ::stat(Native(realTarget_).constData(), &old) == 0;
  if (existing && !S_ISREG(old.st_mode)) throw EFileError(CreateError(target, NotRegular(old)));
  // A file that we may not write stays as it is, whatever the folder allows.
  if (existing && ::faccessat(AT_FDCWD, Native(realTarget_).constData(), W_OK, AT_EACCESS) != 0)
    throw EFileError(CreateError(target, ErrnoText(errno)));
  if (existing) oldTag_ = CopyTag(old, realTarget_);
  buffer_.reserve(kWriteBuffer);
  // Temporary files of saves that were killed before they were renamed.
  RemoveStaleSideFiles(info.absolutePath(), TemporaryPrefix(info.fileName()));

  if (!existing) {
    // A new file gets the permissions the umask leaves.
    int error = 0;
    fd_ = CreateLockedBeside(info.absolutePath(), TemporaryPrefix(info.fileName()), 0666, sidePath_, &error);
    if (!fd_) throw EFileError(CreateError(target, ErrnoText(error)));
    return;
  }
  if (PrepareReplacement(old)) return;
  PrepareInPlace();
}

FileSaver::~FileSaver() {
  if (!done_) Undo();
}

bool FileSaver::PrepareReplacement(const struct stat& old) {
  // A second link would keep the old content under its other name.
  if (old.st_nlink != 1) return false;
  const QFileInfo info(realTarget_);
  int error = 0;
  fd_ = CreateLockedBeside(info.absolutePath(), TemporaryPrefix(info.fileName()), 0600, sidePath_, &error);
  if (!fd_) return false;  // the folder refuses new files: write in place
  const auto keeps = [&] {
    struct stat mine {};
    if (::fstat(fd_.get(), &mine) != 0) return false;
    // Owner first: changing it clears set-id bits that fchmod then restores.
    if ((mine.st_uid != old.st_uid || mine.st_gid != old.st_gid) && ::fchown(fd_.get(), old.st_uid, old.st_gid) != 0)
      return false;
    posix::UniqueFd source(::open(Native(realTarget_).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!source || !CopyXattrs(source.get(), fd_.get())) return false;
    return ::fchmod(fd_.get(), old.st_mode & 07777) == 0;
  };
  if (keeps()) return true;
  RemoveSide();
  return false;
}

void FileSaver::PrepareInPlace() {
  method_ = Method::InPlace;
  fd_.reset(::open(Native(realTarget_).constData(), O_RDWR | O_CLOEXEC | O_NOCTTY));
  if (!fd_) throw EFileError(CreateError(target_, ErrnoText(errno)));
  struct stat st {};
  if (::fstat(fd_.get(), &st) != 0) throw EFileError(CreateError(target_, ErrnoText(errno)));
  if (!S_ISREG(st.st_mode)) throw EFileError(CreateError(target_, NotRegular(st)));
  oldSize_ = static_cast<std::uint64_t>(st.st_size);

  // The old content, safe on the disk before the file is touched: beside
  // the file, else in the recovery folder. Without a copy on the disk
  // nothing is written, since a crash mid-write would leave the file torn.
  const QFileInfo info(realTarget_);
  const QString prefix = CopyPrefix(info.fileName());
  const std::string tag = CopyTag(st, realTarget_);
  int besideError = 0;
  if (CopyOldTo(info.absolutePath(), prefix, tag, &besideError)) return;
  const QString folder = RecoveryFolder();
  int elsewhereError = 0;
  if (!folder.isEmpty()) {
    // Made on first need, for the user alone.
    QDir().mkpath(QFileInfo(folder).absolutePath());
    if (::mkdir(Native(folder).constData(), 0700) != 0 && errno != EEXIST) elsewhereError = errno;
    if (elsewhereError == 0 && CopyOldTo(folder, prefix, tag, &elsewhereError)) return;
  }
  QString text = QStringLiteral(
                     "It must be rewritten in place, and there is nowhere on the disk to keep a copy of its old "
                     "content meanwhile: not in its folder (%1)")
                     .arg(ErrnoText(besideError));
  text += folder.isEmpty() ? QStringLiteral(", and there is no recovery folder (HOME is not set).")
                           : QStringLiteral(" nor in \"%1\" (%2).").arg(folder, ErrnoText(elsewhereError));
  text += QStringLiteral(" The file was not changed.");
  throw EFileError(CreateError(target_, text));
}

bool FileSaver::CopyOldTo(const QString& dir, const QString& prefix, const std::string& tag, int* error) {
  side_ = CreateLockedBeside(dir, prefix, 0600, sidePath_, error);
  if (!side_) return false;
  // Names the file the copy belongs to, for InterruptedSave; where the file
  // system keeps no attributes the copy is only found by hand.
  ::fsetxattr(side_.get(), kCopyTag, tag.data(), tag.size(), 0);
  if (CopyBytes(fd_.get(), side_.get(), oldSize_, error) && ::fsync(side_.get()) == 0) {
    SyncFolder(sidePath_);
    return true;
  }
  if (*error == 0) *error = errno;
  RemoveSide();
  return false;
}

QString FileSaver::RecoveryFolder() {
  QString base = QString::fromLocal8Bit(qgetenv("XDG_STATE_HOME"));
  if (!QDir::isAbsolutePath(base)) {
    const QString home = QString::fromLocal8Bit(qgetenv("HOME"));
    if (!QDir::isAbsolutePath(home)) return QString();
    base = home + QStringLiteral("/.local/state");
  }
  return base + QStringLiteral("/webwarden32/recovery");
}

void FileSaver::RemoveSide() {
  side_.reset();
  if (method_ == Method::Replace) fd_.reset();
  if (sidePath_.isEmpty()) return;
  ::unlink(Native(sidePath_).constData());
  sidePath_.clear();
}

bool FileSaver::Restore() {
  if (!touched_) return true;
  int error = 0;
  const bool back = side_ && CopyBytes(side_.get(), fd_.get(), oldSize_, &error);
  return back && ::ftruncate(fd_.get(), static_cast<off_t>(oldSize_)) == 0 && ::fsync(fd_.get()) == 0;
}

void FileSaver::Undo() {
  done_ = true;
  if (method_ == Method::Replace) {
    RemoveSide();
    return;
  }
  if (Restore()) {
    RemoveSide();
    SyncFolder(realTarget_);
  }
  // Otherwise the recovery file stays: it holds the only whole copy.
  side_.reset();
  fd_.reset();
}

void FileSaver::Fail(const QString& text) {
  QString message = text;
  if (method_ == Method::InPlace && touched_ && !Restore()) {
    message += QStringLiteral(" The old content could not be written back; it is kept in \"%1\".").arg(sidePath_);
    done_ = true;
    side_.reset();
    fd_.reset();
  } else {
    touched_ = false;  // restored, or never touched
    Undo();
  }
  throw EFileError(message);
}

void FileSaver::Flush() {
  if (buffer_.empty()) return;
  if (method_ == Method::InPlace) touched_ = true;
  int error = 0;
  if (!WriteAt(fd_.get(), buffer_.data(), buffer_.size(), written_, &error)) Fail(WriteError(target_, ErrnoText(error)));
  written_ += buffer_.size();
  buffer_.clear();
}

void FileSaver::Write(std::string_view bytes) {
  if (done_ || !fd_) throw EFileError(WriteError(target_, ErrnoText(EBADF)));
  if (buffer_.size() + bytes.size() > kWriteBuffer) Flush();
  if (bytes.size() >= kWriteBuffer) {
    // Large pieces go straight to the file.
    buffer_.assign(bytes.data(), bytes.size());
    Flush();
    return;
  }
  buffer_.append(bytes.data(), bytes.size());
}

void FileSaver::Commit() {
  if (done_ || !fd_) throw EFileError(WriteError(target_, ErrnoText(EBADF)));
  Flush();
  if (method_ == Method::InPlace) {
    // Up to here a shorter new content still has the old tail after it.
    touched_ = true;
    if (::ftruncate(fd_.get(), static_cast<off_t>(written_)) != 0) Fail(WriteError(target_, ErrnoText(errno)));
    if (::fsync(fd_.get()) != 0) Fail(WriteError(target_, ErrnoText(errno)));
    done_ = true;
    fd_.reset();
    RemoveSide();
    SyncFolder(realTarget_);
    RetireCopies();
    return;
  }
  if (::fsync(fd_.get()) != 0) Fail(WriteError(target_, ErrnoText(errno)));
  // The lock goes with the last descriptor: kept until the rename, so that
  // the file is never taken for a killed save's in between.
  const posix::UniqueFd lock(::dup(fd_.get()));
  if (fd_.close() != 0) Fail(WriteError(target_, ErrnoText(errno)));
  if (::rename(Native(sidePath_).constData(), Native(realTarget_).constData()) != 0)
    Fail(WriteError(target_, ErrnoText(errno)));
  sidePath_.clear();
  done_ = true;
  SyncFolder(realTarget_);
  RetireCopies();
}

void FileSaver::RetireCopies() {
  // The file is whole again: what a killed save kept of it is out of date.
  if (oldTag_.empty()) return;
  for (const StaleFile& f : CopiesOf(realTarget_, oldTag_)) ::unlink(Native(f.path).constData());
}

// --- InterruptedSave -------------------------------------------------------

std::optional<InterruptedSave> InterruptedSave::Find(const QString& target) {
  const QString real = RealPath(target);
  struct stat st {};
  if (real.isEmpty() || ::stat(Native(real).constData(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  std::optional<InterruptedSave> newest;
  timespec newestTime{};
  for (StaleFile& f : CopiesOf(real, CopyTag(st, real))) {
    struct stat copy {};
    if (::fstat(f.fd.get(), &copy) != 0) continue;
    const timespec t = copy.st_mtim;
    if (newest && (t.tv_sec < newestTime.tv_sec || (t.tv_sec == newestTime.tv_sec && t.tv_nsec <= newestTime.tv_nsec)))
      continue;
    newestTime = t;
    newest.emplace(InterruptedSave(target, real, std::move(f)));
  }
  return newest;
}

void InterruptedSave::Restore() {
  const auto fail = [this](int error) {
    throw EFileError(WriteError(target_, QStringLiteral("%1 Its old content stays in \"%2\".")
                                             .arg(ErrnoText(error), copy_.path)));
  };
  struct stat copy {};
  if (::fstat(copy_.fd.get(), &copy) != 0) fail(errno);
  posix::UniqueFd file(::open(Native(real_).constData(), O_RDWR | O_CLOEXEC | O_NOCTTY));
  if (!file) fail(errno);
  int error = 0;
  const auto size = static_cast<std::uint64_t>(copy.st_size);
  if (!CopyBytes(copy_.fd.get(), file.get(), size, &error)) fail(error);
  if (::ftruncate(file.get(), static_cast<off_t>(size)) != 0 || ::fsync(file.get()) != 0) fail(errno);
  ::unlink(Native(copy_.path).constData());
  SyncFolder(copy_.path);
  copy_.fd.reset();
}

QString InterruptedSaveQuestion(const QString& target, const QString& copy) {
  return QStringLiteral(
             "The last save of \"%1\" did not finish, so the file may be half new and half old. Its content from "
             "before that save is kept in \"%2\". Put it back?")
      .arg(target, copy);
}

}  // namespace console
