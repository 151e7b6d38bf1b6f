#include "console/backup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <vector>

#include "console/document.h"
#include "posix/unique_fd.h"
#include "console/errors.h"

namespace console {
namespace {

[[noreturn]] void Fail(int error) { throw EFileError(ErrnoText(error)); }

}  // namespace

QString BackupName(const QString& file, const QDate& date, const QLocale& locale) {
  QString stamp = locale.toString(date, QLocale::ShortFormat);
  stamp.replace(QLatin1Char('/'), QLatin1Char('-'));
  return file + stamp + QStringLiteral(".bak");
}

void CopyNewFile(const QString& source, const QString& target) {
  posix::UniqueFd in(::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (in.get() < 0) Fail(errno);
  struct stat st {};
  if (::fstat(in.get(), &st) != 0) Fail(errno);
  if (S_ISDIR(st.st_mode)) Fail(EISDIR);
  if (!S_ISREG(st.st_mode)) throw EFileError(QStringLiteral("It is not a regular file."));
  ::fcntl(in.get(), F_SETFL, ::fcntl(in.get(), F_GETFL) & ~O_NONBLOCK);

  const QByteArray targetName = QFile::encodeName(target);
  posix::UniqueFd out(::open(targetName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600));
  if (out.get() < 0) Fail(errno);
  // From here on a failure removes what was created.
  try {
    std::vector<char> block(1 << 20);
    for (;;) {
      const ssize_t n = ::read(in.get(), block.data(), block.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        Fail(errno);
      }
      if (n == 0) break;
      for (ssize_t done = 0; done < n;) {
        const ssize_t w = ::write(out.get(), block.data() + done, static_cast<std::size_t>(n - done));
        if (w < 0) {
          if (errno == EINTR) continue;
          Fail(errno);
        }
        done += w;
      }
    }
    if (::fchmod(out.get(), st.st_mode & 07777) != 0) Fail(errno);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(out.get(), times);
    if (::fsync(out.get()) != 0) Fail(errno);
    if (out.close() != 0) Fail(errno);
  } catch (...) {
    ::unlink(targetName.constData());
    throw;
  }
}

QString BackupDoneMessage(const QString& file, const QString& backup) {
  return QStringLiteral("The file ") + file + QStringLiteral(" was backuped as ") + backup;
}

QString BackupFailedMessage(const QString& file, const QString& backup, const QString& reason) {
  return QStringLiteral("The file %1 could not be backuped as %2: %3").arg(file, backup, reason);
}

}  // namespace console
