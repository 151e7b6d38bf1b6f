// An exclusive lock for the read-modify-write of a file that is replaced by
// rename: taken on a companion file "<path>.lock" (the file itself changes
// its inode with every write), held until the object goes. Processes that
// lock the same path take turns; the kernel lets the lock go when its holder
// dies, so a crash never leaves the file locked.
#pragma once

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <string>

#include "posix/unique_fd.h"

namespace posix {

class FileLock {
 public:
  // Blocks until the lock is held; on failure Held() is false and Error()
  // gives errno.
  explicit FileLock(const std::string& path) : path_(path + ".lock") {
    fd_.reset(::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644));
    if (!fd_) {
      error_ = errno;
      return;
    }
    while (::flock(fd_.get(), LOCK_EX) != 0) {
      if (errno == EINTR) continue;
      error_ = errno;
      fd_.reset();
      return;
    }
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  bool Held() const { return static_cast<bool>(fd_); }
  int Error() const { return error_; }
  // The companion file, for messages.
  const std::string& LockPath() const { return path_; }

 private:
  std::string path_;
  UniqueFd fd_;  // closing it lets the lock go
  int error_ = 0;
};

}  // namespace posix
