// While a SigpipeGuard lives, a SIGPIPE raised by the calling thread's own
// writes to a socket whose peer has gone is taken back instead of delivered;
// the write still fails with EPIPE. For code that writes with write() (as
// libldap does) in a process that may leave SIGPIPE at its default, which
// would end it. A SIGPIPE pending before the guard stays pending.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <ctime>

namespace posix {

class SigpipeGuard {
 public:
  SigpipeGuard() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    pendingBefore_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    blocked_ = pthread_sigmask(SIG_BLOCK, &pipe_, &old_) == 0;
  }
  ~SigpipeGuard() {
    if (!blocked_) return;
    const int saved = errno;
    sigset_t pending;
    if (!pendingBefore_ && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
      const timespec now{};
      while (sigtimedwait(&pipe_, nullptr, &now) < 0 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    errno = saved;
  }
  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

 private:
  sigset_t pipe_{};
  sigset_t old_{};
  bool pendingBefore_ = false;
  bool blocked_ = false;
};

}  // namespace posix
