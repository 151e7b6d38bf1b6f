// Files a save makes beside the file it writes (its temporary file and the
// recovery copy of the old content): created exclusively under a random
// name and locked for as long as their writer keeps them open, so that the
// ones a killed writer left behind can be told from those of a writer still
// at work and removed.
#pragma once

#include <sys/types.h>

#include <QString>
#include <vector>

#include "posix/unique_fd.h"

namespace console {

// A new file in dir named prefix and eight random hex digits, created
// exclusively and locked while the descriptor (or a duplicate of it) stays
// open; an empty descriptor, *error set, when none can be made. Where the
// file system has no locks the file is made unlocked: nothing removes it then.
posix::UniqueFd CreateLockedBeside(const QString& dir, const QString& prefix, mode_t mode, QString& path,
                                   int* error);

// A side file whose writer is gone, locked by fd (opened read-only) so that
// no one else takes it meanwhile.
struct StaleFile {
  QString path;
  posix::UniqueFd fd;
};

// The files named prefix and eight hex digits in dir that no live writer
// holds locked, each locked now by its StaleFile. Files that cannot be
// opened or locked to tell (another user's, a file system without locks)
// are left out.
std::vector<StaleFile> TakeStaleSideFiles(const QString& dir, const QString& prefix);

// Removes the files named prefix and eight hex digits in dir that no live
// writer holds locked; returns how many went. Files that cannot be opened
// or locked to tell (another user's, a file system without locks) stay.
int RemoveStaleSideFiles(const QString& dir, const QString& prefix);

}  // namespace console
