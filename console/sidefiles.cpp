#include "console/sidefiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <QFile>
#include <QRandomGenerator>
#include <cerrno>
#include <string>

namespace console {
namespace {

constexpr int kHexDigits = 8;

// Takes the lock without waiting; false when another open file holds it or
// locks are not available.
bool TryLock(int fd) {
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0)
    if (errno != EINTR) return false;
  return true;
}

// Whether name (in dir) is still the file fd has open.
bool StillNamed(int dirFd, const char* name, int fd) {
  struct stat byName {};
  struct stat byFd {};
  return ::fstatat(dirFd, name, &byName, AT_SYMLINK_NOFOLLOW) == 0 && ::fstat(fd, &byFd) == 0 &&
         byName.st_dev == byFd.st_dev && byName.st_ino == byFd.st_ino;
}

bool IsSideName(const std::string& name, const std::string& prefix) {
  if (name.size() != prefix.size() + kHexDigits || name.compare(0, prefix.size(), prefix) != 0) return false;
  return name.find_first_not_of("0123456789abcdef", prefix.size()) == std::string::npos;
}

}  // namespace

posix::UniqueFd CreateLockedBeside(const QString& dir, const QString& prefix, mode_t mode, QString& path,
                                   int* error) {
  const QByteArray folder = QFile::encodeName(dir);
  posix::UniqueFd dirFd(::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  for (int attempt = 0; attempt < 100; ++attempt) {
    // From the system's source: a generator's state would be shared by
    // processes forked after it was first used, and so would the names.
    path = QStringLiteral("%1/%2%3")
               .arg(dir, prefix)
               .arg(QRandomGenerator::system()->generate(), kHexDigits, 16, QLatin1Char('0'));
    const QByteArray native = QFile::encodeName(path);
    posix::UniqueFd fd(::open(native.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, mode));
    if (!fd) {
      *error = errno;
      if (*error != EEXIST) break;
      continue;
    }
    int locked = 0;
    while ((locked = ::flock(fd.get(), LOCK_EX)) != 0 && errno == EINTR) {
    }
    // Where the file system has no locks, a cleaner cannot lock the file
    // either and leaves it alone.
    if (locked != 0) return fd;
    // A cleaner may have taken the unlocked file for a dead writer's between
    // the creation and the lock: then it is gone, and another name is tried.
    const QByteArray base = QFile::encodeName(path.mid(dir.size() + 1));
    if (!dirFd || StillNamed(dirFd.get(), base.constData(), fd.get())) return fd;
  }
  path.clear();
  if (*error == 0) *error = EEXIST;
  return posix::UniqueFd();
}

std::vector<StaleFile> TakeStaleSideFiles(const QString& dir, const QString& prefix) {
  std::vector<StaleFile> out;
  posix::UniqueFd dirFd(::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dirFd) return out;
  // The listing gets its own descriptor: closedir closes what it was given.
  DIR* listing = ::fdopendir(::dup(dirFd.get()));
  if (!listing) return out;
  const std::string wanted = QFile::encodeName(prefix).toStdString();
  while (const dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    if (!IsSideName(name, wanted)) continue;
    posix::UniqueFd fd(
        ::openat(dirFd.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd) continue;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (!TryLock(fd.get())) continue;  // its writer is at work, or no one can tell
    // Held by us now: no writer can take it back, and its name must still be it.
    if (!StillNamed(dirFd.get(), name.c_str(), fd.get())) continue;
    out.push_back(StaleFile{dir + QLatin1Char('/') + QFile::decodeName(name.c_str()), std::move(fd)});
  }
  ::closedir(listing);
  return out;
}

int RemoveStaleSideFiles(const QString& dir, const QString& prefix) {
  int removed = 0;
  for (const StaleFile& stale : TakeStaleSideFiles(dir, prefix))
    if (::unlink(QFile::encodeName(stale.path).constData()) == 0) ++removed;
  return removed;
}

}  // namespace console
