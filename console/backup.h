// Make Backup: the dated backup name and the copy that never overwrites.
#pragma once

#include <QDate>
#include <QLocale>
#include <QString>

namespace console {

// The backup name of file on date: the file's full path, directly followed by
// the date in locale's short date format and ".bak", in the same folder. A
// '/' of the date format, which a file name cannot hold, is written as '-'.
QString BackupName(const QString& file, const QDate& date, const QLocale& locale = QLocale());

// Copies the file source to target, which must not exist yet: the target is
// created exclusively, gets the source's permissions and modification time,
// and is flushed to the disk. Throws EFileError with the reason alone (such
// as "File exists"); a partly written target is removed again.
void CopyNewFile(const QString& source, const QString& target);

// The messages of Make Backup.
QString BackupDoneMessage(const QString& file, const QString& backup);
QString BackupFailedMessage(const QString& file, const QString& backup, const QString& reason);

}  // namespace console
