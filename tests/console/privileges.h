// Helpers for tests of failing file operations: a process limit on file
// sizes (a full disk as write() sees it) and, for a test run as root, a
// stretch without the privilege that ignores permission bits.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>

namespace cvtest {

// Writes past limit bytes fail with EFBIG while this lives.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t limit) {
    ::getrlimit(RLIMIT_FSIZE, &old_);
    oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit lower = old_;
    lower.rlim_cur = limit;
    ::setrlimit(RLIMIT_FSIZE, &lower);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &old_);
    std::signal(SIGXFSZ, oldHandler_);
  }

 private:
  rlimit old_{};
  void (*oldHandler_)(int) = nullptr;
};

// Root passes every permission check: while this lives, a test run as root
// acts as the user "nobody" (group "nogroup"), so that a read-only folder
// refuses it too. With drop false it changes nothing, for tables of cases.
class Unprivileged {
 public:
  explicit Unprivileged(bool drop = true) {
    if (!drop || ::geteuid() != 0) return;
    dropped_ = ::setegid(65534) == 0 && ::seteuid(65534) == 0;
  }
  Unprivileged(const Unprivileged&) = delete;
  Unprivileged& operator=(const Unprivileged&) = delete;
  ~Unprivileged() {
    if (!dropped_) return;
    const bool back = ::seteuid(0) == 0 && ::setegid(0) == 0;
    static_cast<void>(back);
  }

 private:
  bool dropped_ = false;
};

}  // namespace cvtest
